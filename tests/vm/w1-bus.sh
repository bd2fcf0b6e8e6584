# SPDX-License-Identifier: MIT
# Sourced by the scripts that tests/vm/boot runs, and by the packages' own
# tests (debian/tests), with the emulated 1-Wire bus (ds2490-sim): modules
# loaded where the kernel has them as modules, the bus's sensors replaced
# whole, and waits for what the kernel's search makes of them.
devices=/sys/bus/w1/devices
: >/tmp/bus.log
# busybox has usleep; Debian's sleep takes fractions.
if command -v usleep >/dev/null; then
    pause() { usleep 20000; }
else
    pause() { sleep 0.02; }
fi

# load MODULE [PARAMETER...]
load() {
    module=$1
    shift
    [ ! -e /lib/$module.ko ] || insmod /lib/$module.ko "$@"
}
# load_bus [WIRE_PARAMETER...]: CUSE, USB/IP's host controller and the
# 1-Wire drivers, so that ds2490-sim's adapter is driven once it attaches.
load_bus() {
    for module in fuse cuse usb-common usbcore usbip-core vhci-hcd; do
        load $module
    done
    load wire "$@"
    load ds2490
    load w1_therm
}
# Waits, for 30 s at most, until the command given succeeds.
until_true() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 1500 ] || { echo "-- gave up waiting until $*"; return 1; }
        pause
    done
}
# Until no reading of ds18b20d's is under way: a reading holds w1_slave
# open, and one begun before the sensors change could answer the next
# case's first read with the last case's conversion.
settled() { ! ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q w1_slave; }
# bus LINE...: the sensors on the bus from now on, in ds2490-sim's script.
bus() {
    until_true settled
    printf '%s\n' "$@" >/tmp/bus.new
    mv /tmp/bus.new /tmp/bus
}
# Until the kernel's search has found a sensor, or dropped it.
found() { until_true [ -e $devices/$1/w1_slave ]; }
dropped() { until_true [ ! -e $devices/$1 ]; }
