# SPDX-License-Identifier: MIT
# Sourced by the scripts that tests/vm/boot runs, and by the packages' own
# tests (debian/tests), with the emulated 1-Wire bus (ds2490-sim): modules
# loaded where the kernel has them as modules, the bus's sensors replaced
# whole, and waits for what the kernel's search makes of them. A wait
# that gives up, or a step that the watchdog finds stalled, dumps the
# machine's state (dump).
devices=/sys/bus/w1/devices
: >/tmp/bus.log
rm -f /tmp/dumped
# The seconds since boot, a clock read without starting a process, and
# the kernel's lines' clock: the dump shows the kernel's lines from here.
clock() { read -r now _ </proc/uptime; now=${now%.*}; }
clock
began=$now
# pause MICROSECONDS: busybox has usleep; Debian's sleep takes fractions.
if command -v usleep >/dev/null; then
    pause() { usleep "$1"; }
else
    pause() { sleep "$(printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)))"; }
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
# step WHAT...: what the script is doing from now on, for the watchdog.
steps=0
step() {
    steps=$((steps + 1))
    echo "$steps $*" >/tmp/step
}
# alive PID: whether that process runs (not ended, nor ended and unreaped).
alive() {
    local _pid _name state
    { read -r _pid _name state _ </proc/$1/stat; } 2>/dev/null && [ "$state" != Z ]
}
# until_true [--while PID] COMMAND...: waits until COMMAND succeeds, for 30 s
# at most, or, with --while, until the process PID has ended. Checked at
# once, then at a pace that slows to 5 a second, which a loaded emulated
# Pi Zero's one core can afford beside the work waited for. Giving up is
# said, and the first time the machine's state dumped.
until_true() {
    local process= delay=20000 deadline
    [ "$1" != --while ] || { process=$2; shift 2; }
    step "waiting until $*"
    clock
    deadline=$((now + 30))
    until "$@"; do
        if [ -n "$process" ] && ! alive "$process"; then
            echo "-- gave up waiting until $*: process $process has ended"
            dump_once "process $process ended while waiting until $*"
            return 1
        fi
        clock
        if [ "$now" -ge "$deadline" ]; then
            echo "-- gave up waiting until $*"
            dump_once "30 s waiting until $*"
            return 1
        fi
        pause $delay
        [ $delay -ge 200000 ] || delay=$((delay * 2))
    done
}
# Until no reading of ds18b20d's is under way: a reading holds w1_slave
# open, and one begun before the sensors change could answer the next
# case's first read with the last case's conversion. Only the daemons'
# descriptors are listed, not every process's.
settled() {
    ! for name in $(grep -lx ds18b20d /proc/[0-9]*/comm 2>/dev/null); do
        ls -l "${name%comm}fd" 2>/dev/null
    done | grep -q w1_slave
}
# bus LINE...: the sensors on the bus from now on, in ds2490-sim's script.
bus() {
    until_true settled
    printf '%s\n' "$@" >/tmp/bus.new
    mv /tmp/bus.new /tmp/bus
}
# Until the kernel's search has found a sensor, or dropped it.
found() { until_true [ -e $devices/$1/w1_slave ]; }
dropped() { until_true [ ! -e $devices/$1 ]; }

# dump WHY: where the machine stands, on standard output: the processes
# and where each thread waits; the kernel's lines since the script began
# of USB/IP's host, the USB devices, the adapter and the 1-Wire bus, and
# every warning or worse (an oops among them), which the console's level
# hides; the tasks the kernel has blocked; the logs' last lines; and the
# emulated adapter ($sim where the script started it, which the watchdog,
# started before, finds by its name), running or not, and what it says of
# itself on SIGUSR1, where it takes that signal.
dump() {
    local task state name wchan log adapter caught size tries
    echo "=== dump: $*"
    echo "--- threads: id, state, name, where it waits"
    for task in /proc/[0-9]*/task/[0-9]*; do
        # Not the kernel's own threads: those blocked are listed below.
        [ -e "${task%/task/*}/exe" ] || continue
        { read -r _ name state _ <"$task/stat"; } 2>/dev/null || continue
        wchan=
        { read -r wchan <"$task/wchan"; } 2>/dev/null
        echo "${task##*/} $state $name $wchan"
    done
    echo "--- the kernel's lines of USB/IP, USB, ds2490 and w1, and its warnings"
    dmesg -r | awk -v began="$began" '{
            level = substr($0, 2, index($0, ">") - 2) % 8
            text = substr($0, index($0, ">") + 1)
            line = substr(text, index(text, "]") + 2)
        }
        substr(text, 2) + 0 >= began &&
            (level <= 4 || line ~ /^(vhci|usbip|ds2490|w1|usb [0-9])/) &&
            line !~ /(USB\/IP Virtual Host Controller|new USB bus registered|created sysfs)/ { print text }' |
        tail -n 80
    echo "--- the tasks the kernel has blocked (sysrq w)"
    echo w >/proc/sysrq-trigger
    # The last such list, without the frames the unwinder only guesses.
    dmesg | awk '/sysrq: Show Blocked State/ { n = 0; shown = 1; next }
        shown && !/\] +\? / { line[++n] = $0 }
        END { for (i = 1; i <= n; i++) print line[i]; if (!n) print "none" }'
    for log in /tmp/log /tmp/bus.log; do
        [ ! -s $log ] || { echo "--- $log's last lines"; tail -n 12 $log; }
    done
    adapter=${sim:-$(grep -lx ds2490-sim /proc/[0-9]*/comm 2>/dev/null | cut -d/ -f3 | head -n 1)}
    if [ -z "$adapter" ]; then
        echo "--- ds2490-sim: none runs"
    elif ! alive "$adapter"; then
        echo "--- ds2490-sim ($adapter): ended"
    else
        echo "--- ds2490-sim ($adapter): running"
        caught=$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$adapter/status)
        # SIGUSR1 is signal 10.
        if [ $((0x${caught:-0} & 0x200)) -ne 0 ]; then
            # Into its log, ending with "state ends".
            size=$(wc -c </tmp/bus.log)
            kill -USR1 "$adapter"
            tries=0
            until tail -c +$((size + 1)) /tmp/bus.log | grep -q 'state ends' || [ $tries -ge 20 ]; do
                pause 100000
                tries=$((tries + 1))
            done
            tail -c +$((size + 1)) /tmp/bus.log
        fi
    fi
    echo "=== dump ends"
}
# dump_once WHY: the dump, where none was made yet.
dump_once() {
    [ ! -e /tmp/dumped ] || { echo "-- the machine's state is dumped above"; return; }
    : >/tmp/dumped
    dump "$@"
}
# watchdog SECONDS: in the background, a step that goes on for longer
# than SECONDS (a case, a wait, one of the processes the script waits
# for) is a stall: the dump, and the machine ended, which its console
# shows, so that the test fails at once rather than at its time limit
# (the busybox machines' scripts start it).
watchdog() {
    (
        seen= since=0
        while pause 2000000; do
            { read -r current </tmp/step; } 2>/dev/null || current=
            clock
            if [ "$current" != "$seen" ]; then
                seen=$current since=$now
            elif [ $((now - since)) -ge "$1" ]; then
                dump "stalled for $1 s: ${current#* }"
                reboot -f
            fi
        done
    ) &
}
