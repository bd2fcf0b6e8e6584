// SPDX-License-Identifier: MIT
// ds2490-sim: a 1-Wire bus for the kernel's own w1 drivers to run on. It
// is a DS2490 USB adapter (the kernel's ds2490 module drives it) with
// DS18B20s behind it, served over USB/IP and attached through the kernel's
// vhci_hcd with no network: a socket pair, one end handed to the kernel.
// Everything above the adapter is the kernel's: search, Match ROM, Convert
// T, Read Scratchpad, CRC, retries, strong pull-up and resolution.
//
//   ds2490-sim SCRIPT LOG
//
// The script has a line a sensor: its name as the kernel gives it, maybe
// "parasite" (powered from the bus: a conversion needs the strong
// pull-up), then its answers, one a conversion, in turn, and then from the
// first again. "#" starts a comment.
//   28-0316a279e1ff: 23.125, -10.125, 0x0191
//   28-0316a279e200 parasite: 21.5
// An answer is a temperature or a register value, taken at the resolution
// the sensor is set to, with the datasheet's conversion time for it; that
// followed by "bad-crc" (every read of its scratchpad is corrupted),
// "bad-crc-once" (only the first) or "late 1200ms" (the data that the host
// sends the adapter for the next read of the scratchpad is answered that
// late, in ms or s: past ds2490's 1 s timeout, the driver gives the
// transfer up and cancels it). Or "power-on" (the sensor lost power: its
// scratchpad is as at power-on, its resolution as its EEPROM says);
// "absent 3s" (no presence for that long, then back as from power-on);
// "zeros" (the data line held low through the next read of the
// scratchpad: nine zero bytes); or "stuck 5s" (the adapter stops answering
// the host for that long). The script is read again when it is replaced
// (rename another file over it), so sensors can leave and come back.
//
// The log gets a line a conversion asked for, "SECONDS convert NAME", one
// when its register is in the scratchpad, "SECONDS converted NAME 0191",
// one when a sensor stops answering and when it is back ("absent",
// "back"), one when the adapter is stuck and answers again ("stuck",
// "unstuck"), and one when a read of the scratchpad is to be answered late
// ("late"), with the monotonic clock's seconds.
//
// On SIGUSR1 it goes on, and the log gets its state: the seconds, "state
// alive", the FIFOs' counts and the last command; the adapter stuck, the
// read waiting for bytes and the unlinks held for their submits, where
// there are; the last 16 requests, oldest first, each with the seconds it
// came, its seqnum, what it is and what it got; and "state ends":
//   812.503311 state alive, FIFO out 0 in 9, last command 0x1074
//   812.503311 state stuck until 815.200000
//   812.503311 state read 1205 waiting for 9 bytes
//   812.503311 state unlink 1207 held for 1206
//   811.302114 request 1201 submit ep0 out 0 bytes setup 40 01 74 10 09 00 00 00: answered 0, 0 bytes
//   811.302190 request 1202 submit ep1 in 32 bytes: answered 0, 16 bytes
//   811.302251 request 1203 submit ep2 out 9 bytes: answered 0, 9 bytes, 1.200 s late
//   811.302251 request 1204 unlink of 1203: answered 0
//   811.302400 request 1205 submit ep3 in 9 bytes: waiting
//   811.302470 request 1207 unlink of 1206: held
//   812.503311 state ends
// A request is "being answered" (a late one), "waiting" (a read), "held"
// (an unlink), "unlinked, not answered" (a submit), or "answered STATUS"
// (and a submit's bytes given or taken, and how late).
#include "bus.h"
#include "usbip.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fputs("usage: ds2490-sim SCRIPT LOG\n", stderr);
        return 1;
    }
    FILE *log = fopen(argv[2], "a");
    if (log == nullptr) {
        perror(argv[2]);
        return 1;
    }
    if (!bus_start(argv[1], log)) {
        perror(argv[1]);
        return 1;
    }
    usbip_dump_on_signal(log);
    const int fd = usbip_attach();
    if (fd < 0) {
        perror("ds2490-sim: attaching to vhci_hcd");
        return 1;
    }
    // Until the kernel lets the device go.
    while (usbip_serve(fd)) {
    }
    return 0;
}
