#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packages of scripts/package, for Debian 12 and 13: made twice, in
# the tree (where the booted systems' tests take them) and from a copy of
# it in another place, with another umask, time zone and locale, they must
# be the same bytes (diffoscope shows any difference); each must hold what
# it ships, all of it under /usr: the programs, or the daemon with its
# unit, module, udev rule and user; their manual pages, the copyright file
# and the changelog. Each release's lintian judges them as they are built.
#
# packages.sh built: the tree's build alone, into build/packages, made
# once for the tree as it is: several presets' tests need it, and any run
# of it while another makes it waits for that one and finds it made.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
releases="bookworm trixie"
ports=$(. "$source/scripts/packages" && echo "$ports")

# tree: what scripts/package builds from, the files git would commit now
# with their modes, and the releases, as one hash.
tree() {
    (cd "$source" && git ls-files -z --cached --others --exclude-standard | LC_ALL=C sort -z |
        { mapfile -d '' files; stat -c '%A %n' -- "${files[@]}"; sha256sum -- "${files[@]}"; }
        echo "$releases") | sha256sum | cut -d' ' -f1
}
built() {
    local made=$source/build/packages/.tree hash
    mkdir -p "$source/build/packages"
    exec {lock}>"$source/build/packages/.lock"
    flock "$lock"
    hash=$(tree)
    if [ "$(cat "$made" 2>/dev/null)" != "$hash" ]; then
        rm -f "$made"
        (cd "$source" && bash scripts/package $releases >/dev/null)
        echo "$hash" >"$made"
    fi
    exec {lock}>&-
}
built
[ "${1:-}" != built ] || exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What git would commit now: the tree as it is, with git's own files,
# from which scripts/package takes it; without its builds, but for the
# clean roots and the ports' packages, which it shares.
mkdir -p "$work/second/build"
(cd "$source" && . scripts/packages && copy_tree "$work/second")
cp -a "$source/.git" "$work/second/"
ln -s "$source/build/roots" "$source/build/vm" "$work/second/build/"
(cd "$work/second" && umask 002 && TZ=Pacific/Chatham LC_ALL=C.UTF-8 \
    bash scripts/package $releases >/dev/null)

# contents PACKAGE: its files, sorted.
contents() {
    case $1 in
    ds18b20-tools) printf '%s\n' usr/bin/tempmean usr/bin/tempwatch \
        usr/share/doc/ds18b20-tools/changelog.gz usr/share/doc/ds18b20-tools/copyright \
        usr/share/man/man1/tempmean.1.gz usr/share/man/man1/tempwatch.1.gz ;;
    ds18b20d) printf '%s\n' usr/lib/modules-load.d/ds18b20d.conf \
        usr/lib/systemd/system/ds18b20d.service usr/lib/sysusers.d/ds18b20d.conf \
        usr/lib/udev/rules.d/60-ds18b20d.rules \
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
for release in $releases; do
    first=$source/build/packages/$release
    second=$work/second/build/packages/$release
    for package in ds18b20-tools ds18b20d; do
        for arch in "$(dpkg --print-architecture)" $ports; do
            deb=$(echo "$first/${package}"_*_"$arch".deb)
            name=$(basename "$deb")
            [ -f "$deb" ] || { fail "no $release $package for $arch"; continue; }
            cmp -s "$deb" "$second/$name" || {
                fail "$name differs between two builds:"
                diffoscope --no-progress "$deb" "$second/$name" || true
            }
            [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$name is not for $arch"
            files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | LC_ALL=C sort)
            [ "$files" = "$(contents "$package")" ] || fail "$name holds:"$'\n'"$files"
            echo "$name: $(dpkg-deb -f "$deb" Depends); $(stat -c %s "$deb") bytes"
        done
    done
done
exit $failed
