# The daemon on the emulated board (run by tests/vm/boot): a reading
# through /dev/ds18b20 beside a direct read of the w1_slave file it
# serves, from a w1 tree that answers at once; the daemon's peak memory;
# and what it does while nobody reads.
[ ! -e /lib/fuse.ko ] || insmod /lib/fuse.ko
insmod /lib/cuse.ko
mkdir -p /w1/28-0316a279e1ff
printf '72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=23125\n' \
    >/w1/28-0316a279e1ff/w1_slave
ds18b20d --w1-devices /w1 2>/tmp/log &
daemon=$!
until grep -q ready /tmp/log; do
    kill -0 $daemon 2>/dev/null || { echo "the daemon ended before it was ready:"; cat /tmp/log; exit 1; }
    usleep 20000
done

for round in 1 2 3; do
    reads file /w1/28-0316a279e1ff/w1_slave 2000
    reads device /dev/ds18b20 2000
done
echo "daemon peak memory: $(awk '/^VmHWM/ { print $2, $3 }' /proc/$daemon/status)"

# Idle: the CPU time (clock ticks) and context switches of all its threads
# ("TICKS SWITCHES"), before and after 10 s without a reader.
idle() {
    awk '{ cpu += $14 + $15 } END { printf "%d ", cpu }' /proc/$daemon/task/*/stat
    cat /proc/$daemon/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'
}
before=$(idle)
sleep 10
after=$(idle)
echo "daemon idle 10 s: before $before after $after"
kill -TERM $daemon
wait $daemon
