#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packages of scripts/package: made twice, from two copies of the tree
# in two places, one after the other and with another umask, time zone and
# locale, they must be the same bytes (diffoscope shows any difference);
# each must pass lintian with no error or warning, and hold what it ships:
# the programs, or the daemon with its unit, module and udev rule; their
# manual pages, the copyright file and the changelog.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# What git would commit now: the tree as it is, without its builds.
copy() {
    mkdir "$work/$1"
    (cd "$source" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 cp --parents -t "$work/$1")
}
copy first
copy second
(cd "$work/first" && bash scripts/package >/dev/null)
(cd "$work/second" && umask 002 && TZ=Pacific/Chatham LC_ALL=C.UTF-8 \
    bash scripts/package >/dev/null)

# contents PACKAGE: its files, sorted.
contents() {
    case $1 in
    ds18b20-tools) printf '%s\n' usr/bin/tempmean usr/bin/tempwatch \
        usr/share/doc/ds18b20-tools/changelog.gz usr/share/doc/ds18b20-tools/copyright \
        usr/share/man/man1/tempmean.1.gz usr/share/man/man1/tempwatch.1.gz ;;
    ds18b20d) printf '%s\n' usr/lib/modules-load.d/ds18b20d.conf \
        usr/lib/systemd/system/ds18b20d.service usr/lib/udev/rules.d/60-ds18b20d.rules \
        usr/sbin/ds18b20d usr/share/doc/ds18b20d/changelog.gz usr/share/doc/ds18b20d/copyright \
        usr/share/doc/ds18b20d/examples/ds18b20-10bit.rules \
        usr/share/man/man8/ds18b20d.8.gz ;;
    esac
}

failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}
for package in ds18b20-tools ds18b20d; do
    for arch in "$(dpkg --print-architecture)" armhf armel; do
        name=${package}_0.1.0_$arch.deb
        deb=$work/first/build/packages/$name
        [ -f "$deb" ] || { fail "no $name"; continue; }
        cmp -s "$deb" "$work/second/build/packages/$name" || {
            fail "$name differs between two builds:"
            diffoscope --no-progress "$deb" "$work/second/build/packages/$name" || true
        }
        lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian on $name"
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$name is not for $arch"
        files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | LC_ALL=C sort)
        [ "$files" = "$(contents "$package")" ] || fail "$name holds:"$'\n'"$files"
        echo "$name: $(dpkg-deb -f "$deb" Depends); $(stat -c %s "$deb") bytes"
    done
done
exit $failed
