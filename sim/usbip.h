// SPDX-License-Identifier: MIT
// The emulated adapter's USB/IP side: the requests that vhci_hcd sends over
// its socket, each a 48-byte big-endian header, answered by the DS2490
// (ds2490.h) as the protocol and the real device would:
// - a submit gets its RET_SUBMIT, at once (or as late as the script asks,
//   and after the host's unlink of it); a bulk IN with nothing to give
//   waits until there is (one at a time, as ds2490 sends them);
// - an unlink of a waiting read gets RET_UNLINK -ECONNRESET, and the read
//   nothing more;
// - an unlink of a submit not yet seen (vhci_hcd sends its queued submits
//   before its queued unlinks, so a submit cancelled in between comes after
//   its unlink) is held, and when the submit comes it is not done, and gets
//   that RET_UNLINK -ECONNRESET instead of a RET_SUBMIT;
// - an unlink of a submit already answered gets status 0. Its driver has
//   given the transfer up whatever it was told, and each of ds2490's
//   exchanges starts and ends with empty FIFOs, so the FIFOs are emptied,
//   as the device's reset would: a transfer done late leaves nothing there
//   for the next.
// - a stuck adapter (bus.h) answers nothing until it is back; then what came
//   meanwhile fails (-EPIPE), and the unlinks among it are answered as
//   above.
#ifndef SIM_USBIP_H
#define SIM_USBIP_H

#include <cstdio>

// Hands one end of a socket pair to vhci_hcd as a full-speed device on its
// first port: the other end, to serve. -1 where it cannot (errno says why).
int usbip_attach();

// On SIGUSR1, the state (ds2490-sim.cpp says what) into log, between two
// requests or while a request waits: when the adapter waits for the socket,
// sleeps while stuck or before a late answer.
void usbip_dump_on_signal(std::FILE *log);

// Serves what comes next on the socket: one request, or, when the adapter
// is back from being stuck, what came meanwhile. False when the socket has
// ended or failed.
bool usbip_serve(int fd);

#endif
