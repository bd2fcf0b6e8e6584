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
# the kernel's command line.
machine() {
    local console quirks=
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
