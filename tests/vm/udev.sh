# SPDX-License-Identifier: MIT
# The example rule that runs DS18B20s at 10 bits, under the real
# systemd-udevd: a sensor found at start, one found late and one that comes
# back at its EEPROM's 12 bits are each set to 10 bits when the kernel
# finds them, and ds18b20d and tempmean read through them.
dmesg -n 1
. /lib/w1-bus.sh
watchdog 120
a=28-0316a279e1ff
b=28-0316a279e200

# Once the kernel has found the sensor and udev has set it, what the sensor
# itself says.
bits() {
    found $1
    until_true grep -qx 10 $devices/$1/resolution
    echo "$1: $(cat $devices/$1/resolution) bits"
}

mkdir -p /run/udev
systemd-udevd --daemon 2>/tmp/udevd.log
udevadm control --ping
# A search every second, and a sensor gone for two dropped.
load_bus timeout=1 slave_ttl=2
bus "$a: 21.3125"
ds2490-sim /tmp/bus /tmp/bus.log &
sim=$!
bits $a
ds18b20d --check 2>&1
ds18b20d 2>/tmp/log &
until_true --while $! grep -qs ready /tmp/log
echo "tempmean: $(tempmean 2>&1)"
bus "$a: 21.3125" "$b: -10.125"
bits $b
bus "$b: -10.125"
dropped $a
bus "$a: 21.3125" "$b: -10.125"
bits $a
