# SPDX-License-Identifier: MIT
# The README's board path in a booted Debian system, run by tests/system/boot
# on each boot: the packages installed with apt as the README says, then
# their own tests (debian/tests) run by autopkgtest, "installed" on the
# first boot, "rebooted" and "removed" on the next. On Debian 12 an upgrade
# from 0.1.0 comes first. Each case prints "-- NAME: STATUS", then standard
# output and standard error as they come.
here=/var/lib/board-test
cd $here
arch=$(dpkg --print-architecture)
# This build's packages and source; 0.1.0's, where they are given.
tools=$(ls $here/ds18b20-tools_*_$arch.deb | grep -v _0.1.0_)
daemon=$(ls $here/ds18b20d_*_$arch.deb | grep -v _0.1.0_)
source=$(ls $here/ds18b20-tools_*.dsc)
# The Pi Zero has no clock: tar finds every file's time in the future.
[ -d src ] || dpkg-source -x $source src >$here/dpkg-source.log 2>&1 ||
    { cat $here/dpkg-source.log; exit 1; }
cd src
. debian/tests/board.sh
# Each step's time, for the test's report.
mark=$(date +%s.%N)
took() {
    now=$(date +%s.%N)
    echo "$1: $(echo "$now $mark" | awk '{ printf "%.1f s", $1 - $2 }')" >>$here/times
    mark=$now
}
# The packages' tests, by autopkgtest's null runner in this system, which
# is a machine of its own, thrown away after, and booted again by this
# script between the parts: the restrictions that say so are the null
# runner's to ignore. A test that has not ended in 5 minutes (three
# times the Pi Zero's slowest) has failed. Its summary, and where it
# fails, its log.
autopkgtests() {
    set -- $(printf -- '--test-name=%s ' "$@")
    autopkgtest --no-built-binaries --timeout-test=300 --summary-file=$tmp/summary \
        --ignore-restrictions=isolation-machine,breaks-testbed,needs-reboot \
        "$@" $source -- null >$tmp/autopkgtest.log 2>&1
    status=$?
    echo "-- autopkgtest: $status"
    cat $tmp/summary
    [ $status = 0 ] || cat $tmp/autopkgtest.log
}

boot=$(($(cat $here/boots 2>/dev/null || echo 0) + 1))
echo $boot >$here/boots
echo "boot $boot: $(cut -d' ' -f1 /proc/uptime) s to its test" >>$here/times
# An upgrade from 0.1.0, whose maintainer scripts were written by hand:
# the unit stays enabled and restarts on the new daemon, nothing is left
# masked, the user is kept.
if [ $boot = 1 ] && [ -e $here/ds18b20d_0.1.0_$arch.deb ]; then
    echo "== upgraded from 0.1.0"
    plug
    run "apt install of 0.1.0" quietly apt install -y $here/ds18b20-tools_0.1.0_$arch.deb $here/ds18b20d_0.1.0_$arch.deb
    run "a reading" reading
    pid=$(systemctl show -P MainPID ds18b20d.service)
    uid=$(id -u _ds18b20d)
    run "apt install of this build" quietly apt install -y $tools $daemon
    took "upgraded from 0.1.0"
    run "the versions" dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\n' ds18b20-tools ds18b20d
    run "the unit" sh -c "systemctl is-enabled ds18b20d.service; systemctl is-active ds18b20d.service;
        [ \$(systemctl show -P MainPID ds18b20d.service) != $pid ] && echo restarted"
    run "the user" sh -c "[ \$(id -u _ds18b20d) = $uid ] && echo kept"
    run "the unit's links" find /etc/systemd/system -name 'ds18b20d*' -printf '%p -> %l\n'
    unplug
fi
if [ $boot = 1 ]; then
    echo "== installed with apt"
    run "apt install" quietly apt install -y $tools $daemon
    took "apt install"
    # The build's packages where apt finds them, as a board finds them in
    # an archive, for the tests' reinstalls.
    (cd $here && apt-ftparchive packages . >Packages) 2>/dev/null
    echo "deb [trusted=yes] file:$here ./" >/etc/apt/sources.list.d/board-test.list
    quietly apt-get update -o Dir::Etc::SourceList=/etc/apt/sources.list.d/board-test.list -o Dir::Etc::SourceParts=-
    autopkgtests installed
    took "autopkgtest installed"
    echo reboot >$here/status
    exit
fi
echo "== after a reboot"
autopkgtests rebooted removed
took "autopkgtest rebooted removed"
echo done >$here/status
