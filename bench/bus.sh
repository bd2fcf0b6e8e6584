# tempmean through ds18b20d on the emulated bus (run by tests/vm/boot),
# at 12 bits and at 10: for each, w1_therm's conversion wait, a direct
# read of w1_slave as the daemon makes it, and a run of tempmean.
dmesg -n 1
. /lib/w1-bus.sh
a=28-0316a279e1ff
# A search every second, only until the sensor is found.
load_bus timeout=1
bus "$a: 23.125"
ds2490-sim /tmp/bus /tmp/bus.log &
found $a
# No searches while the bus is timed: each would hold the bus for a
# while, at a moment no run chooses.
echo 0 >$devices/w1_bus_master1/w1_master_search
ds18b20d 2>/tmp/log &
until_true grep -q ready /tmp/log

for bits in 12 10; do
    echo $bits >$devices/$a/resolution
    echo "bits $bits conv_time $(cat $devices/$a/conv_time)"
    reads file $devices/$a/w1_slave 5
    reads program tempmean
done
