# SPDX-License-Identifier: MIT
# ds18b20d on a real kernel's CUSE, in the emulated machine: its refusals,
# the device and who may read it, the programs' readings through it, the
# sensor chosen, failed readings as the programs report them, and its ends.
# Each case prints "-- NAME: STATUS", standard output, then standard error
# with "2> " before each line, repeated lines counted.
w1=/w1
a=28-0316a279e1ff
b=28-0316a279e200
mkdir $w1
: >/tmp/log

run() {
    name=$1
    shift
    "$@" >/tmp/out 2>/tmp/err
    echo "-- $name: $?"
    cat /tmp/out
    sed 's/^/2> /' /tmp/err | uniq -c
}
# slave NAME TEXT: the sensor NAME on the bus, its w1_slave saying TEXT.
slave() {
    mkdir -p $w1/$1
    printf "$2" >$w1/$1/w1_slave
}
# Starts the daemon with the given arguments and waits until it says it
# is ready.
start() {
    readies=$(grep -c ready /tmp/log)
    ds18b20d --w1-devices $w1 "$@" 2>>/tmp/log &
    daemon=$!
    until [ "$(grep -c ready /tmp/log)" -gt "$readies" ]; do
        kill -0 $daemon 2>/dev/null || return
        usleep 20000
    done
}
ended() {
    wait $daemon
    echo "-- ended: $?"
    until [ ! -e /dev/ds18b20 ]; do usleep 20000; done
    echo "/dev/ds18b20 is gone"
}
as_user() {
    su -s /bin/sh nobody -c "$*"
}
T23='72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 10 57 t=23125\n'
BELOW='5e ff 4b 46 7f ff 02 10 b6 : crc=b6 YES\n5e ff 4b 46 7f ff 02 10 b6 t=-10125\n'
T85='50 05 4b 46 7f ff 10 10 bd : crc=bd YES\n50 05 4b 46 7f ff 10 10 bd t=85000\n'
POWER_ON='50 05 4b 46 7f ff 0c 10 1c : crc=1c YES\n50 05 4b 46 7f ff 0c 10 1c t=85000\n'
NO='ff ff ff ff ff ff ff ff ff : crc=c9 NO\nff ff ff ff ff ff ff ff ff t=-62\n'
BAD_CRC='72 01 4b 46 7f ff 0e 11 57 : crc=57 YES\n72 01 4b 46 7f ff 0e 11 57 t=23125\n'

run "no cuse module" ds18b20d
insmod /lib/fuse.ko
insmod /lib/cuse.ko
run "not root" as_user ds18b20d
run "a DS18S20 named" ds18b20d --sensor 10-000801b5a3f1
run "an argument too many" ds18b20d --check extra
run "check, nothing on the bus" ds18b20d --check --w1-devices $w1
slave 10-000801b5a3f1 "$NO"
run "check, a DS18S20 only" ds18b20d --check --w1-devices $w1
slave $a "$T23"
run "check" ds18b20d --check --w1-devices $w1

start
run "the device" stat -c '%A %U' /dev/ds18b20
run "the daemon's user" stat -c %U /proc/$daemon
run "a second instance" ds18b20d --w1-devices $w1
run "tempmean as any user" as_user tempmean
run "a read of 1 byte" sh -c 'head -c 1 /dev/ds18b20 | od -An -tx1'
slave $a "$BELOW"
run "below zero" tempmean
slave $a "$T85"
run "a real 85.00" tempmean
slave $a "$POWER_ON"
run "the power-on value" tempmean
slave $a "$NO"
run "the CRC check failed" tempmean
slave $a "$BAD_CRC"
run "a CRC that does not fit" tempmean
slave $a ""
run "an empty read" tempmean
slave $a "72 01 4b 46 7f ff 0e 10 57 : crc=57 YES\n72 01"
run "cut short" tempmean
slave $a "$T23"
run "tempwatch" sh -c "LD_PRELOAD=/usr/lib/libfaketime.so.1 FAKETIME='+0 x1000' tempwatch | head -n 3"
slave $b "$BELOW"
run "two sensors" tempmean
rm -r $w1/$a $w1/$b
run "none" tempmean
slave $a "$T23"
run "one back" tempmean

# Killed mid-read: w1_slave is a FIFO that the test holds open, so the
# daemon's read of it is under way once the open returns.
rm $w1/$a/w1_slave
mkfifo $w1/$a/w1_slave
tempmean >/tmp/out 2>/tmp/err &
reader=$!
exec 3>$w1/$a/w1_slave
kill -KILL $daemon
wait $reader
echo "-- tempmean, its daemon killed mid-read: $?"
sed 's/^/2> /' /tmp/err | uniq -c
exec 3>&-
ended
rm $w1/$a/w1_slave
slave $a "$T23"

slave $b "$BELOW"
start --sensor $b
run "the one named" tempmean
rm -r $w1/$b
run "the one named, gone" tempmean
kill -TERM $daemon
ended

# The simulated sensor stands in for w1_therm: each reading waits for its
# conversion, and the answers change from one reading to the next.
# sim ANSWER...: the sensor's answers, in turn, at /sim.
sim() {
    umount /sim 2>/dev/null
    printf '%s\n' "$@" >/tmp/answers
    : >/tmp/sim.log
    ds18b20-sim --w1 /tmp/answers /tmp/sim.log /sim
}
# Waits until the sensor has been asked for N readings.
asked() {
    tries=0
    until [ "$(wc -l </tmp/sim.log)" -ge "$1" ]; do
        tries=$((tries + 1))
        [ $tries -lt 1000 ] || { echo "-- the sensor was not asked for reading $1"; return 1; }
        usleep 20000
    done
}
mkdir /sim
# tempmean's 20 readings: a NO and an empty read among good ones.
nine="25.00 25.00 25.00 25.00 25.00 25.00 25.00 25.00 25.00"
sim $nine "85.00 crc NO" $nine "25.00 bytes 0"
start --w1-devices /sim
run "failed readings left out" tempmean
sim "23.00 after 3s"
head -c 2 /dev/ds18b20 >/dev/null &
first=$!
asked 1
head -c 2 /dev/ds18b20 >/dev/null &
second=$!
asked 2
kill -0 $first && echo "-- a second reading begins while the first is under way"
wait $first $second
sim "23.00 after 1s"
head -c 2 /dev/ds18b20 | od -An -tx1 >/tmp/out &
reader=$!
asked 1
kill -TERM $daemon
wait $reader
echo "-- stopped mid-read, the reading still served: $?"
cat /tmp/out
ended
echo "-- the daemons' log"
cat /tmp/log
