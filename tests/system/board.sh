# SPDX-License-Identifier: MIT
# The README's board path in a booted Debian system, run by tests/system/boot
# on each boot: the packages installed with apt, the hardened unit and the
# programs with a DS18B20 on the emulated bus that the kernel's ds2490 and
# w1_therm drive; then after a reboot, the unit's stop, restart and kill,
# a reinstall, dpkg's remove and purge, and apt's purge. Each case prints
# "-- NAME: STATUS", then standard output and standard error as they come.
here=/var/lib/board-test
cd $here
. ./w1-bus.sh
a=28-0316a279e1ff
arch=$(dpkg --print-architecture)
# This build's packages; 0.1.0's, where they are given, to upgrade from.
tools=$(ls ./ds18b20-tools_*_$arch.deb | grep -v _0.1.0_)
daemon=$(ls ./ds18b20d_*_$arch.deb | grep -v _0.1.0_)
export DEBIAN_FRONTEND=noninteractive

run() {
    name=$1
    shift
    "$@" >/tmp/out 2>&1
    echo "-- $name: $?"
    cat /tmp/out
}
as_user() { runuser -u user -- "$@"; }
# apt and dpkg, their progress kept out of the output unless they fail.
quietly() {
    "$@" >$here/apt.log 2>&1 && return
    status=$?
    tail -n 20 $here/apt.log
    return $status
}
# Each step's time, for the test's report.
mark=$(date +%s.%N)
took() {
    now=$(date +%s.%N)
    echo "$1: $(echo "$now $mark" | awk '{ printf "%.1f s", $1 - $2 }')" >>$here/times
    mark=$now
}
# The sensor plugged in: the adapter on the USB bus, which udev gives its
# driver, and at 9 bits, kept in its EEPROM, so that a reading takes a
# tenth of a second. The bus is searched every second, and a sensor that
# stops answering dropped after two: seconds, where the defaults take 100.
# wire is loaded here, as udevd may not have read the options yet.
plug() {
    echo "options wire timeout=1 slave_ttl=2" >/etc/modprobe.d/board-test.conf
    modprobe wire
    modprobe vhci-hcd
    bus "$a: 23.125"
    ./ds2490-sim /tmp/bus /tmp/bus.log &
    found $a
    echo 9 >$devices/$a/resolution
    echo save >$devices/$a/eeprom_cmd
}
# What runs of ds18b20d: its process and its device.
running() {
    grep -lx ds18b20d /proc/[0-9]*/comm 2>/dev/null | sed 's/.*/a ds18b20d process/'
    [ ! -e /dev/ds18b20 ] || echo /dev/ds18b20
}
# What there is of it: that, the package's files, what dpkg and systemd
# keep of it, and its user.
traces() {
    running
    dpkg-deb --fsys-tarfile $daemon | tar -t | sed -n 's|^\.\(/.*[^/]\)$|\1|p' |
        while read -r file; do [ ! -e "$file" ] || echo "$file"; done
    find /etc /var/lib/systemd /var/lib/dpkg/info -name '*ds18b20d*' | sort
    getent passwd _ds18b20d | cut -d: -f1,6,7
}
# The daemon's own lines in the journal since the mark: a daemon of this
# build's, started anew, whatever the install or upgrade logged before.
mark_journal() {
    journalctl -n 1 -o export | sed -n 's/^__CURSOR=//p' >$here/cursor
}
journal() {
    journalctl --sync
    # --cursor, not --after-cursor: systemd 252's skips the first match
    # after a cursor that is not one.
    journalctl -q -o cat --cursor="$(cat $here/cursor)" _SYSTEMD_UNIT=ds18b20d.service
}
# One reading through the device, its register's two bytes.
reading() { as_user sh -c 'head -c 2 /dev/ds18b20 | od -An -tx1'; }
active() {
    [ "$(systemctl show -P ActiveState ds18b20d.service)" = active ] && [ -e /dev/ds18b20 ]
}
readings() {
    run "ds18b20d --check, as a user" as_user ds18b20d --check
    run "tempmean, as a user" as_user tempmean
}

boot=$(($(cat $here/boots 2>/dev/null || echo 0) + 1))
echo $boot >$here/boots
echo "boot $boot: $(cut -d' ' -f1 /proc/uptime) s to its test" >>$here/times
if [ $boot = 1 ]; then
    plug
fi
# An upgrade from 0.1.0, whose maintainer scripts were written by hand:
# the unit stays enabled and restarts on the new daemon, nothing is left
# masked, the user is kept.
if [ $boot = 1 ] && [ -e ./ds18b20d_0.1.0_$arch.deb ]; then
    echo "== upgraded from 0.1.0"
    run "apt install of 0.1.0" quietly apt install -y ./ds18b20-tools_0.1.0_$arch.deb ./ds18b20d_0.1.0_$arch.deb
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
fi
if [ $boot = 1 ]; then
    echo "== installed"
    run "apt install" quietly apt install -y $tools $daemon
    took "apt install"
    run "the packages" dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' ds18b20-tools ds18b20d
    run "the user" sh -c 'getent passwd _ds18b20d | cut -d: -f1,6,7; id -gn _ds18b20d'
    run "the unit" sh -c 'systemctl is-enabled ds18b20d.service; systemctl is-active ds18b20d.service'
    run "the device" stat -c '%A %U %G' /dev/ds18b20
    pid=$(systemctl show -P MainPID ds18b20d.service)
    run "the daemon" sh -c "stat -c %U /proc/$pid;
        grep -E '^(Cap(Inh|Prm|Eff|Bnd|Amb)|NoNewPrivs|Seccomp):' /proc/$pid/status"
    run "the unit's exposure" sh -c 'systemd-analyze security ds18b20d.service | tail -n 1'
    run "systemd-analyze verify" systemd-analyze verify ds18b20d.service
    # A unit ordered after ds18b20d reads as soon as it starts.
    cp board-reader.service /etc/systemd/system/
    systemctl daemon-reload
    mark_journal
    systemctl stop ds18b20d.service
    run "a unit after ds18b20d" sh -c 'systemctl start board-reader.service; cat board-reader.out'
    took "installed, checked"

    echo "== the sensor"
    readings
    faketime=$(echo /usr/lib/*/faketime/libfaketime.so.1)
    run "tempwatch, as a user" as_user sh -c \
        "LD_PRELOAD=$faketime FAKETIME='+0 x1000' tempwatch | head -n 3"
    # One read the kernel's retries mend, one that fails every try, and
    # one the sensor does not answer, among good readings.
    nine="25, 25, 25, 25, 25, 25, 25, 25, 25"
    eight="25, 25, 25, 25, 25, 25, 25, 25"
    bus "$a: $nine, 25 bad-crc-once, 85 bad-crc, $eight, absent 700ms"
    run "failed readings left out" as_user tempmean
    until_true grep -q "back $a" /tmp/bus.log
    bus
    dropped $a
    run "the sensor gone" as_user tempmean
    bus "$a: 21.5"
    found $a
    run "the sensor back" as_user tempmean
    run "the daemon's journal" journal
    took "the sensor"
    echo reboot >$here/status
    exit
fi

echo "== after a reboot"
run "modules loaded at boot" journalctl -q -b -o cat -t systemd-modules-load
run "the unit" systemctl is-active ds18b20d.service
run "the device" stat -c '%A %U %G' /dev/ds18b20
run "udev's rule for it" sh -c 'udevadm test /sys/class/cuse/ds18b20 2>&1 | grep -F 60-ds18b20d.rules'
plug
readings
took "after a reboot"

echo "== stop, restart, kill"
run "stopped" sh -c 'systemctl stop ds18b20d.service; systemctl is-active ds18b20d.service'
run "after it" running
run "restarted" sh -c 'systemctl restart ds18b20d.service; systemctl is-active ds18b20d.service'
run "a reading" reading
kill -KILL "$(systemctl show -P MainPID ds18b20d.service)"
until_true active
run "killed, and brought back" systemctl show -P NRestarts ds18b20d.service
run "a reading" reading
took "stop, restart, kill"

echo "== reinstall, remove, purge"
run "reinstalled" quietly apt install -y --reinstall $daemon
took "apt install --reinstall"
run "after it" systemctl is-active ds18b20d.service
run "a reading" reading
run "dpkg -r" quietly dpkg -r ds18b20d
took "dpkg -r"
run "after it" traces
run "dpkg --purge" quietly dpkg --purge ds18b20d
took "dpkg --purge"
run "after it" traces
quietly apt install -y $daemon
took "apt install"
run "installed again, a reading" reading
run "apt-get purge" quietly apt-get purge -y ds18b20d
took "apt-get purge"
run "after it" traces
took "what is left"
echo done >$here/status
