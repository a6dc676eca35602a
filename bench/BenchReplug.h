// A board that comes back: how long from its replug to bridging again. velmor-bridge's whole
// bridge (THeadlessBridge) in process, through the program's own libftd2xx-ftdi1.so, Debian's
// libftdi1 and libusb-1.0, to an emulated FT2232H that is pulled out and plugged back in again,
// each replug's "add" event reaching the bridge through udev's monitor as the kernel's would. The
// clock runs from the replug (the chip added, its event sent) until the bridge says "Bridging";
// ends with one line:
//
//   replug ft2232h: to bridging p50 210.3 ms p95 340.2 ms (event p50 10.3 ms p95 19.8 ms,
//   opened p50 160.2 ms p95 283.8 ms) over 10, first attempt opened 10 of 10
//
// (on one line), or "replug ft2232h: failed (why)". "event" is until udev's monitor handed the
// "add" on; "opened" until the bridge said the device was opened again (the reopening's open and
// set-up, slow under umockdev), the rest of the way to bridging being the handshake; "first attempt
// opened" counts the replugs whose board opened at the bridge's first attempt after the event,
// without the short retries that follow one.
//
// umockdev's preload has to be in a process from its start: RunReplugs runs the benchmark again
// with it (and kReplugVariable set) and relays what that child prints; the child calls
// MeasureReplugs.
#pragma once

namespace bench
{

inline constexpr const char *kReplugVariable = "VELMOR_BENCH_REPLUG";

// In the child: Count replugs measured and their line printed; the exit status.
int MeasureReplugs(int Count);
// In the parent: the child run and its lines relayed; false when it failed.
bool RunReplugs();

} // namespace bench
