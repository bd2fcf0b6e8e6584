# tempmean through ds18b20d on the emulated bus (run by tests/vm/boot), at
# 12 bits and at 10, for this daemon and, where the machine has one, the
# daemon it is compared with (ds18b20d-before): for each, a direct read of
# w1_slave as the daemon makes it (a conversion cycle: w1_therm's wait
# and the bus), one read of the device after a pause, tempmean alone, and
# four tempmeans at once.
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

for daemon in ds18b20d ds18b20d-before; do
    command -v $daemon >/dev/null || continue
    : >/tmp/log
    $daemon 2>/tmp/log &
    pid=$!
    until_true grep -q ready /tmp/log
    for bits in 12 10; do
        echo $bits >$devices/$a/resolution
        echo "daemon $daemon bits $bits conv_time $(cat $devices/$a/conv_time)"
        reads file $devices/$a/w1_slave 5
        until_true settled
        reads device /dev/ds18b20 1
        reads program tempmean
        until_true settled
        reads program sh -c 'for i in 1 2 3 4; do tempmean >/dev/null & done; wait'
    done
    kill -TERM $pid
    wait $pid
done
