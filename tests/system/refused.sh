#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Where user namespaces are refused, as the kernel refuses them in a
# chroot, making a booted system's root ends at once with unshare's
# reason and the step that needed it, rather than waiting for a namespace
# that never comes.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "a chroot needs root"; exit 77; }
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/root"
status=0
said=$(timeout 120 unshare --mount --propagation private sh -c '
    mount --rbind / "$1" && exec chroot "$1" env SYSTEM_DIR="$2" bash "$3/tests/system/root" amd64' \
    sh "$work/root" "$work/systems" "$top" 2>&1) || status=$?
expected="unshare: unshare failed: Operation not permitted
root: no user namespace for mmdebstrap: unshare ended first (its reason is above)"
if [ "$status" != 1 ] || [ "$said" != "$expected" ]; then
    echo "FAILED: with user namespaces refused, root ended with status $status (124: timed out) and said:"
    echo "$said"
    exit 1
fi
