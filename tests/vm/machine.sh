# SPDX-License-Identifier: MIT
# Sourced by tests/vm/boot and tests/system/boot: the emulated machines, on
# Debian's own kernel from tests/vm/fetch in $vm, for $arch.

# unavailable WHY...: no machine can start here. That is said, and the
# test skipped (77), or failed under CI=true.
unavailable() {
    echo "the emulated $arch machine cannot start here: $*"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

# machine MACHINE [PARAMETER...]: qemu=(...), the emulator that boots the
# kernel on MACHINE (amd64; armel: the Pi Zero; arm64: a Cortex-A53, the
# Pi 3's and Zero 2 W's core, on qemu's generic board), its console on
# standard output, ending at the first reboot; each PARAMETER is added to
# the kernel's command line. emulated=MACHINE.
machine() {
    local console quirks=
    emulated=$1
    case $1 in
    amd64)
        qemu=(qemu-system-x86_64 -M pc -m 512)
        console=ttyS0
        ;;
    armel)
        # The Pi Zero. Its power-domain driver faults on a register the
        # emulator lacks, and the kernel would panic.
        qemu=(qemu-system-arm -M raspi0 -dtb "$(echo "$vm"/usr/lib/linux-image-*/bcm2835-rpi-zero.dtb)")
        console=ttyAMA0
        quirks="cryptomgr.notests initcall_blacklist=bcm2835_power_driver_init "
        ;;
    arm64)
        qemu=(qemu-system-aarch64 -M virt -cpu cortex-a53 -m 512)
        console=ttyAMA0
        ;;
    esac
    shift
    command -v "${qemu[0]}" >/dev/null || unavailable "no ${qemu[0]}"
    qemu+=(-nographic -no-reboot -kernel "$(echo "$vm"/boot/vmlinuz-*)"
           -append "console=$console quiet ${quirks}panic=-1${*:+ $*}")
}

# kernel_modules: the fetched kernel's modules directory, where Debian 12
# (/lib/modules) or Debian 13 (/usr/lib/modules) puts it.
kernel_modules() {
    local dir
    for dir in "$vm"/lib/modules/* "$vm"/usr/lib/modules/*; do
        [ ! -d "$dir" ] || { echo "$dir"; return; }
    done
    echo "no kernel modules under $vm" >&2
    return 1
}

# copy_module NAME FILE: the module of that name (either spelling, - or _)
# into FILE, uncompressed for busybox's insmod: Debian 13's are .ko.xz.
# Fails where the kernel has none; built_in NAME says whether it is in
# the kernel itself.
copy_module() {
    local file
    file=$(find "$(kernel_modules)/kernel" \( -name "$1.ko" -o -name "$1.ko.xz" \
        -o -name "${1//_/-}.ko" -o -name "${1//_/-}.ko.xz" \) | head -n 1)
    case $file in
    "") return 1 ;;
    *.xz) xz -dc "$file" >"$2" ;;
    *) cp "$file" "$2" ;;
    esac
}
built_in() {
    grep -Eq "/(${1//_/-}|${1//-/_})\.ko$" "$(kernel_modules)/modules.builtin"
}

# fetched_busybox: the static busybox, in /bin (Debian 12) or /usr/bin (13).
fetched_busybox() {
    ls "$vm"/bin/busybox "$vm"/usr/bin/busybox 2>/dev/null | head -n 1
}

# run_machine CONSOLE [PARAMETER...]: runs the machine ("${qemu[@]}" and
# each PARAMETER) until it ends, its console into CONSOLE. One that says
# nothing for $VM_SILENCE s (180), or runs for $VM_TIMEOUT s (600), is
# ended, and CONSOLE.stalled says why and what its emulator shows of it
# (machine_state): a machine whose own clock has stopped cannot say it.
run_machine() {
    local console=$1 monitor=$1.qmp emulator watcher
    shift
    : >"$console"
    "${qemu[@]}" "$@" -qmp "unix:$monitor,server=on,wait=off" </dev/null >>"$console" 2>&1 &
    emulator=$!
    (
        set +e
        quiet=0 size=0 ran=0
        while sleep 5; do
            ran=$((ran + 5))
            now=$(stat -c %s "$console") || now=
            if [ "$now" != "$size" ]; then
                size=$now quiet=0
            else
                quiet=$((quiet + 5))
            fi
            [ $quiet -lt "${VM_SILENCE:-180}" ] && [ $ran -lt "${VM_TIMEOUT:-600}" ] && continue
            {
                echo "the emulated $arch machine's console said nothing for $quiet s, after $ran s"
                machine_state "$monitor" || echo "its emulator did not answer"
            } >"$console.stalled" 2>&1
            kill $emulator
            break
        done
    ) &
    watcher=$!
    wait $emulator || true
    kill $watcher 2>/dev/null || true
    wait $watcher 2>/dev/null || true
}

# machine_state SOCKET: what the emulator, through its QMP socket, shows of
# its machine: whether it runs, and where its core is; on the Pi Zero,
# also its system timer. The kernel's only clock event there is a compare
# register matched against the counter's low 32 bits, which the emulator
# runs on the host's clock; one written after the counter has passed it
# (the emulator preempted between the kernel's read of the counter and
# its write of the compare) matches 71 minutes later, and until then the
# kernel sleeps.
machine_state() {
    python3 - "$1" "$emulated" <<'PYTHON'
import json, re, socket, sys

qmp = socket.socket(socket.AF_UNIX)
qmp.settimeout(10)
qmp.connect(sys.argv[1])
replies = qmp.makefile("rw")


def ask(command, **arguments):
    replies.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
    replies.flush()
    while True:
        reply = json.loads(replies.readline())
        if "return" in reply or "error" in reply:
            return reply.get("return", reply.get("error"))


def monitor(line):
    return ask("human-monitor-command", **{"command-line": line})


json.loads(replies.readline())
ask("qmp_capabilities")
print("the emulator:", ask("query-status")["status"])
registers = monitor("info registers")
# x86-64's RIP, AArch64's PC, ARM's R15.
pc = re.search(r"\bRIP=([0-9a-f]+)", registers) or re.search(r"\b(?:PC|R15)=([0-9a-f]+)", registers)
if pc:
    print(f"its core at {int(pc.group(1), 16):#x}")
if sys.argv[2] == "armel":
    # CS, CLO, CHI, C0..C3; the kernel uses compare 3.
    words = [int(word, 16) for line in monitor("xp /7wx 0x20003000").splitlines()
             for word in line.split(":", 1)[1].split()]
    status, counter, compare = words[0], words[1], words[6]
    print(f"its system timer: counter {counter:#010x}, compare 3 {compare:#010x}", end="")
    if status & 8:
        print(": matched, its interrupt pending")
    else:
        print(f": next match in {((compare - counter) & 0xffffffff) / 1e6:.3f} s")
PYTHON
}
