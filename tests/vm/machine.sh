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
# kernel on MACHINE (amd64, or armel: the Pi Zero), its console on
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
    esac
    shift
    command -v "${qemu[0]}" >/dev/null || unavailable "no ${qemu[0]}"
    qemu+=(-nographic -no-reboot -kernel "$(echo "$vm"/boot/vmlinuz-*)"
           -append "console=$console quiet ${quirks}panic=-1${*:+ $*}")
}
