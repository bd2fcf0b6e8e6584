# SPDX-License-Identifier: MIT
# ds18b20d on a real kernel's CUSE and 1-Wire drivers, in the emulated
# machine, with DS18B20s on an emulated bus adapter (ds2490-sim) that the
# kernel's ds2490 and w1_therm drive: its refusals, why no sensor is found,
# the device, who may read it, what a read of each size gets and which
# opens it refuses, the programs' readings through it, the sensor chosen,
# failed readings as the programs report them, sensors that leave and come
# back through the kernel's search, reads at the sensor's pace (readers at
# once, a stuck adapter, Ctrl-C), and the daemon's ends.
# Each case prints "-- NAME: STATUS", standard output, then standard error
# with "2> " before each line, repeated lines counted.
dmesg -n 1
. /lib/w1-bus.sh
# A step (a case, a wait) longer than this is a stall: the dump, and the
# machine ended.
watchdog 120
a=28-0316a279e1ff
b=28-0316a279e200
s=10-000801b5a3f1
: >/tmp/log

run() {
    name=$1
    shift
    step "the case $name"
    "$@" >/tmp/out 2>/tmp/err
    echo "-- $name: $?"
    cat /tmp/out
    sed 's/^/2> /' /tmp/err | uniq -c
}
# At 10 bits, kept in its EEPROM as a user would keep it, a conversion
# takes 190 ms rather than 750: longer than tempmean's pause, as at 12.
fast() {
    echo 10 >$devices/$1/resolution
    echo save >$devices/$1/eeprom_cmd
}
# The bus's log from here on is the next case's; since_mark EVENT counts
# that event's lines since, and marked EVENT N says whether there are N.
mark() { echo mark >>/tmp/bus.log; }
since_mark() { awk -v event="$1" '/^mark$/ { n = 0 } $2 == event { n++ } END { print n }' /tmp/bus.log; }
marked() { [ "$(since_mark "$1")" -ge "$2" ]; }
# Starts the daemon with the given arguments and waits until it says it
# is ready, or has ended.
start() {
    lines=$(wc -l </tmp/log)
    ds18b20d "$@" 2>>/tmp/log &
    daemon=$!
    until_true --while $daemon logged_since $lines ready
}
# logged_since N WORD: whether the daemons' log has WORD after line N.
logged_since() { tail -n +$(($1 + 1)) /tmp/log | grep -q "$2"; }
ended() {
    step "waiting for ds18b20d ($daemon) to end"
    wait $daemon
    echo "-- ended: $?"
    until_true [ ! -e /dev/ds18b20 ] && echo "/dev/ds18b20 is gone"
}
as_user() {
    su -s /bin/sh nobody -c "$*"
}

run "no cuse module" ds18b20d
mknod /dev/cuse c 10 203
run "a /dev/cuse that cannot be opened" ds18b20d
rm /dev/cuse
load fuse
load cuse
run "not root" as_user ds18b20d
run "a DS18S20 named" ds18b20d --sensor $s
run "an argument too many" ds18b20d --check extra

# Why no sensor is found: no 1-Wire driver, no bus master, an empty bus,
# and a bus with only a sensor of another kind.
run "check, no 1-Wire driver" ds18b20d --check
for module in usb-common usbcore usbip-core vhci-hcd; do
    load $module
done
# A search every second, and a sensor that stops answering dropped after
# two: seconds, where the defaults take 100.
load wire timeout=1 slave_ttl=2
load ds2490
load w1_therm
run "check, no bus master" ds18b20d --check
bus
ds2490-sim /tmp/bus /tmp/bus.log &
sim=$!
until_true [ -e $devices/w1_bus_master1 ]
run "check, nothing on the bus" ds18b20d --check
bus "$s: 20.5"
found $s
run "check, a DS18S20 only" ds18b20d --check
bus "$s: 20.5" "$a: 23.125"
found $a
run "check, at 12 bits" ds18b20d --check
fast $a
run "check, at 10 bits" ds18b20d --check

start
run "the device" stat -c '%A %U' /dev/ds18b20
run "the daemon's user" stat -c %U /proc/$daemon
run "a second instance" ds18b20d
run "tempmean as any user" as_user tempmean
# Each read takes one reading: a read of 1 byte gets the low byte, of 2 or
# more the register's two.
for size in 1 2 8; do
    run "a read of size $size" sh -c "dd if=/dev/ds18b20 bs=$size count=1 status=none | od -An -tx1"
done
# Only for reading, even for root, whom the device's mode does not stop.
for mode in "read-only <" "write-only >" "read-write <>"; do
    run "opened ${mode% *}" sh -c "true ${mode#* }/dev/ds18b20"
done
bus "$s: 20.5" "$a: -10.125"
run "below zero" tempmean
bus "$s: 20.5" "$a: 85"
run "a real 85.00" tempmean
bus "$s: 20.5" "$a: power-on"
run "the power-on value" tempmean
# w1_therm's own check for it gives no text instead.
until_true settled
echo 1 >$devices/$a/features
run "the power-on value, w1_therm checking for it" tempmean
echo 0 >$devices/$a/features
bus "$s: 20.5" "$a: 23 bad-crc"
run "the CRC fails on every try" tempmean
# One read the kernel's retries mend, one that fails every try, and one
# whose nine bytes are zeros, which pass the CRC: two failures, and the mean
# of the rest. Good readings at both ends, so that the conversion after the
# last case's last read, if it takes the first answer, changes nothing;
# with w1_therm waiting 750 ms for each conversion, as at 12 bits, so that
# each of tempmean's reads, however late a loaded machine wakes it, comes
# within the conversion under way and misses none. (Not at 12 bits: the
# last case's scratchpad fails its CRC, so its resolution cannot be set.)
nine="25, 25, 25, 25, 25, 25, 25, 25, 25"
seven="25, 25, 25, 25, 25, 25, 25"
bus "$s: 20.5" "$a: $nine, 25 bad-crc-once, 85 bad-crc, $seven, zeros, 25"
echo 750 >$devices/$a/conv_time
run "failed readings left out" tempmean
echo 190 >$devices/$a/conv_time
bus "$s: 20.5" "$a: 23"
run "tempwatch" sh -c "LD_PRELOAD=/usr/lib/libfaketime.so.1 FAKETIME='+0 x1000' tempwatch | head -n 3"
bus "$s: 20.5" "$a: 23" "$b parasite: -10.125"
found $b
run "two sensors" tempmean
bus "$s: 20.5"
dropped $a
dropped $b
run "none left" tempmean
bus "$s: 20.5" "$a: 23"
found $a
run "one back" tempmean

# A hundred readers at once: each answered by a conversion that ended
# after its read began, as the bus's log says when each ended and with
# what, every conversion a value of its own; and when reads stop, one more
# conversion at most, while the kernel's search drops the sensor.
values=$(seq -s ', ' 1 32)
bus "$s: 20.5" "$a: $values"
mark
readers=
for i in $(seq 100); do
    timed-read /dev/ds18b20 >/tmp/read.$i &
    readers="$readers $!"
done
wait $readers
after=$(since_mark convert)
bus "$s: 20.5"
dropped $a
echo "-- a hundred readers at once"
cat /tmp/read.* >/tmp/reads
awk 'NR == FNR && /^mark$/ { for (v in ended) delete ended[v] }
    NR == FNR && $2 == "converted" { ended[$4] = ended[$4] " " $1 }
    NR == FNR { next }
    {
        n = split(ended[$3], at, " ")
        for (i = 1; i <= n && !(at[i] + 0 > $1 + 0 && at[i] + 0 < $2 + 0); i++) {}
        if (i <= n) fresh++; else print "not from a conversion that ended during it: " $0
    }
    END { print fresh + 0 " answered, each by a conversion that ended during it" }' /tmp/bus.log /tmp/reads
[ $(($(since_mark convert) - after)) -le 1 ] && more="at most one" || more="more than one"
echo "conversions after the last read: $more"
bus "$s: 20.5" "$a: 23"
found $a

# A stuck adapter, the kernel's search stopped so that it keeps the
# sensor: a signal ends a waiting tempmean at once, with nothing said of
# the bus (SIGTERM: a shell's background job ignores Ctrl-C's SIGINT, and
# the kernel interrupts a read alike for either); a read fails at its
# bound while the adapter is still stuck; and the first read after it is
# right.
echo 0 >$devices/w1_bus_master1/w1_master_search
stuck="stuck 9s"
for i in $(seq 31); do stuck="$stuck, 23"; done
bus "$s: 20.5" "$a: $stuck"
mark
tempmean >/tmp/out 2>/tmp/err &
reader=$!
until_true marked stuck 1
# Quietly: the shell would say "Terminated".
{ kill -TERM $reader; wait $reader; } 2>/dev/null
echo "-- tempmean ended by a signal, the adapter stuck: $?"
echo "the stuck bus in the log: $(grep -c "bus did not answer" /tmp/log) lines"
run "a read, the adapter stuck" dd if=/dev/ds18b20 bs=2 count=1 status=none
echo "unstuck since: $(since_mark unstuck)"
until_true marked unstuck 1
run "the first read after it" sh -c "dd if=/dev/ds18b20 bs=2 count=1 status=none | od -An -tx1"
# A transfer answered past ds2490's timeout, once the driver has given it
# up and cancelled it: the data sent for a read of the scratchpad. The
# read it belongs to fails as a failed transfer (w1_therm takes the buffer
# that the transfer left as it was, nine zero bytes whose CRC fits), and
# the reading after it is right: nothing of the late one is left.
late="24 late 1200ms"
for i in $(seq 7); do late="$late, 23"; done
bus "$s: 20.5" "$a: $late"
run "a transfer answered late, and the reading after it" sh -c \
    "for i in 1 2; do dd if=/dev/ds18b20 bs=2 count=1 status=none | od -An -tx1; done"
echo -1 >$devices/w1_bus_master1/w1_master_search
kill -TERM $daemon
ended

# Powered from the bus, through the kernel's strong pull-up.
bus "$s: 20.5" "$a: 23" "$b parasite: -10.125"
found $b
fast $b
start --sensor $b
run "the one named, parasite-powered" tempmean
bus "$s: 20.5" "$a: 23"
dropped $b
run "the one named, gone" tempmean
kill -TERM $daemon
ended

# Readings that the kernel keeps under way for a second: two readers at
# once share one, and a stop and a kill come in the middle of one, once
# the conversion after the two, which nobody waits for, has ended.
echo 1000 >$devices/$a/conv_time
bus "$s: 20.5" "$a: 23"
start
mark
head -c 2 /dev/ds18b20 | od -An -tx1 >/tmp/first &
first=$!
head -c 2 /dev/ds18b20 | od -An -tx1 >/tmp/second &
wait $first $!
echo "-- two readers at once: $(since_mark converted) conversion"
sort /tmp/first /tmp/second
until_true marked converted 2
# A hundred reads waiting at once, as readings take a second: each has
# its place in the table, and its answer.
readers=
for i in $(seq 100); do
    head -c 2 /dev/ds18b20 | od -An -tx1 >/tmp/read.$i &
    readers="$readers $!"
done
wait $readers
echo "-- a hundred reads waiting at once"
cat /tmp/read.* | sort | uniq -c
until_true settled
mark
head -c 2 /dev/ds18b20 | od -An -tx1 >/tmp/out &
reader=$!
until_true marked convert 1
kill -TERM $daemon
wait $reader
echo "-- stopped mid-read, the reading still served: $?"
cat /tmp/out
ended
start
mark
tempmean >/tmp/out 2>/tmp/err &
reader=$!
until_true marked convert 1
kill -KILL $daemon
wait $reader
echo "-- tempmean, its daemon killed mid-read: $?"
sed 's/^/2> /' /tmp/err | uniq -c
ended

# Reads as a driver answers them, at 10 bits again: in non-blocking mode
# and with poll(); with a signal that does not end the reader; after
# another program's bulk conversion; through SIGHUP; and through a stop.
echo 190 >$devices/$a/conv_time
start
# A non-blocking read asks for an answer, which poll() waits for: from the
# first conversion after the read, as the bus's log says, and kept for
# the next read; then a blocking read waits for a reading as ever.
bus "$s: 20.5" "$a: 30"
run "a non-blocking read, poll() and reads after it" \
    device-calls nonblocking /dev/ds18b20 /tmp/times
read asked woke </tmp/times
echo "conversions that ended between the read and poll() waking: $(awk -v from=$asked \
    -v to=$woke '$2 == "converted" && $1 > from && $1 < to { n++ } END { print n + 0 }' \
    /tmp/bus.log)"
# A descriptor closed as its answer is prepared: that reading is the last,
# while the kernel's search drops the sensor.
until_true settled
mark
run "a non-blocking read, the descriptor closed" device-calls asked /dev/ds18b20
bus "$s: 20.5"
dropped $a
echo "conversions after it: $(since_mark convert)"
bus "$s: 20.5" "$a: 30"
found $a
# Ctrl-Z, then fg, while tempmean waits on a conversion of 3 s.
stopped() { [ "$(cut -d ' ' -f 3 /proc/$1/stat)" = T ]; }
bus "$s: 20.5" "$a: 23"
echo 3000 >$devices/$a/conv_time
mark
tempmean >/tmp/out 2>/tmp/err &
reader=$!
until_true marked convert 1
kill -STOP $reader
until_true stopped $reader
echo 190 >$devices/$a/conv_time
kill -CONT $reader
wait $reader
echo "-- tempmean stopped and continued mid-read: $?"
cat /tmp/out
sed 's/^/2> /' /tmp/err | uniq -c
# A bulk conversion that another program started, of 21.50, then the
# sensor at 30.00: one ended, and one under way (the DS18S20's conversion
# made 2 s long, so that the read comes in it).
bulk=$devices/w1_bus_master1/therm_bulk_read
bulk_running() { [ "$(cat $bulk)" = -1 ]; }
bus "$s: 20.5" "$a: 21.5"
echo trigger >$bulk
bus "$s: 20.5" "$a: 30"
run "a read after a bulk conversion" sh -c "dd if=/dev/ds18b20 bs=2 count=1 status=none | od -An -tx1"
echo 2000 >$devices/$s/conv_time
bus "$s: 20.5" "$a: 21.5"
echo trigger >$bulk &
trigger=$!
until_true bulk_running
bus "$s: 20.5" "$a: 30"
run "a read during a bulk conversion" sh -c "dd if=/dev/ds18b20 bs=2 count=1 status=none | od -An -tx1"
wait $trigger
# The DS18S20's result read, so that no bulk result is left on the bus.
cat $devices/$s/w1_slave >/dev/null
echo "bulk results left: $(cat $bulk)"
kill -HUP $daemon
run "a read after SIGHUP" sh -c "dd if=/dev/ds18b20 bs=2 count=1 status=none | od -An -tx1"
# SIGTERM while a read waits on a stuck adapter: a read after it fails at
# once, the one waiting still ends at once on SIGINT, which its program
# handles, and then the daemon ends.
echo 0 >$devices/w1_bus_master1/w1_master_search
bus "$s: 20.5" "$a: $stuck"
mark
rm -f /tmp/go
device-calls interrupted /dev/ds18b20 /tmp/go >/tmp/interrupted &
reader=$!
until_true marked stuck 1
kill -TERM $daemon
until_true grep -q stopping /proc/$daemon/task/*/comm
run "a read after SIGTERM" device-calls read /dev/ds18b20
touch /tmp/go
wait $reader
echo "-- a read waiting through the stop, then SIGINT: $?"
cat /tmp/interrupted
ended
until_true marked unstuck 1
echo -1 >$devices/w1_bus_master1/w1_master_search
bus "$s: 20.5" "$a: 23"

# What no kernel of today writes in w1_slave, written by hand: older
# kernels' NO, a CRC that does not fit the bytes, and a text cut short.
slave() {
    mkdir -p /w1/w1_bus_master1 /w1/$a
    printf "$1" >/w1/$a/w1_slave
}
slave 'ff ff ff ff ff ff ff ff ff : crc=c9 NO\nff ff ff ff ff ff ff ff ff t=-62\n'
start --w1-devices /w1
run "the CRC check said NO" tempmean
slave '72 01 4b 46 7f ff 0e 11 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 11 57 t=23125\n'
run "a CRC that does not fit" tempmean
slave '72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01'
run "cut short" tempmean
kill -TERM $daemon
ended
echo "-- the daemons' log"
cat /tmp/log
