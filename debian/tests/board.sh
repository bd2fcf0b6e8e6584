# SPDX-License-Identifier: MIT
# Sourced from the source tree's top by debian/tests/board and by the
# booted systems' tests: the cases, the emulated sensor and the daemon's
# traces.
. tests/vm/w1-bus.sh
a=28-0316a279e1ff
tmp=${AUTOPKGTEST_TMP:-/tmp}
export DEBIAN_FRONTEND=noninteractive

# run NAME COMMAND...: "-- NAME: STATUS", then what it wrote, both streams.
run() {
    name=$1
    shift
    "$@" >$tmp/case 2>&1
    echo "-- $name: $?"
    cat $tmp/case
}
as_user() { runuser -u nobody -- "$@"; }
# apt and dpkg, their progress kept out of the output unless they fail.
quietly() {
    "$@" >$tmp/apt.log 2>&1 && return
    status=$?
    tail -n 20 $tmp/apt.log
    return $status
}
# The sensor plugged in: the adapter on the USB bus, which udev gives its
# driver, and at 9 bits, kept in its EEPROM, so that a reading takes a
# tenth of a second. The bus is searched every second, and a sensor that
# stops answering dropped after two: seconds, where the defaults take 100.
# wire is loaded here, as udevd may not have read the options yet.
plug() {
    [ -x $tmp/ds2490-sim ] ||
        g++ -std=c++17 -I ds18b20d -o $tmp/ds2490-sim sim/ds2490-sim.cpp sim/usbip.cpp \
            sim/ds2490.cpp sim/bus.cpp ds18b20d/w1.cpp || exit 1
    echo "options wire timeout=1 slave_ttl=2" >/etc/modprobe.d/board-test.conf
    modprobe wire
    modprobe vhci-hcd
    bus "$a: 23.125"
    $tmp/ds2490-sim /tmp/bus /tmp/bus.log </dev/null >$tmp/sim.log 2>&1 &
    sim=$!
    found $a
    echo 9 >$devices/$a/resolution
    echo save >$devices/$a/eeprom_cmd
}
# Unplugged, the adapter gone, for the next to be the bus's first again.
unplug() {
    # Quietly: the shell would say "Terminated".
    { kill $sim && wait $sim; } 2>/dev/null
    dropped w1_bus_master1
}
# One reading through the device, its register's two bytes.
reading() { as_user sh -c 'head -c 2 /dev/ds18b20 | od -An -tx1'; }
readings() {
    run "ds18b20d --check, as a user" as_user ds18b20d --check
    run "tempmean, as a user" as_user tempmean
}
active() {
    [ "$(systemctl show -P ActiveState ds18b20d.service)" = active ] && [ -e /dev/ds18b20 ]
}
# What runs of ds18b20d: its process and its device.
running() {
    grep -lx ds18b20d /proc/[0-9]*/comm 2>/dev/null | sed 's/.*/a ds18b20d process/'
    [ ! -e /dev/ds18b20 ] || echo /dev/ds18b20
}
