#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The install step finds what is missing, whether none, some or all of a
# set is installed, and not as root it names what is missing and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages
installed="dpkg bash"
mixed="dpkg no-such-package-here bash"
fail() {
    echo "FAILED: $*"
    exit 1
}
[ -z "$(missing_packages installed)" ] || fail "installed packages counted as missing"
[ "$(missing_packages mixed)" = no-such-package-here ] || fail "a missing package not found"
install_packages installed || fail "asked to install what is there"

as_user=()
[ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if said=$("${as_user[@]}" bash -c '. scripts/packages; mixed="$1"; install_packages mixed' \
        install_step "$mixed" 2>&1); then
    fail "not as root, a missing package was let pass"
fi
[ "$said" = "packages: not installed, and installing them needs root: no-such-package-here" ] ||
    fail "not as root, it said: $said"
