// How long tests wait. A test machine may be busy (a sanitizer build beside
// other jobs, several tests at once on two cores): what takes milliseconds on a
// quiet one may take seconds there.
//
// - A wait for something that is meant to happen (a notification, a frame, a
//   disconnect, bytes on a socket, a count reached) is bounded far above its
//   usual time, and still ends as soon as it happens.
// - A check that something does NOT happen watches for a short window, and is
//   arranged so that a slow machine can only make it pass, never fail.
// - A test that measures a time reads it from a clock (steady_clock).
#pragma once

namespace ks318::test {

// The bound of every wait for an event that normally comes within milliseconds.
inline constexpr int kEventWaitMs = 30000;

// A receive limit longer than any test runs (ctest gives one at most 120 s): a
// server with it never probes a silent terminal during a test, so never drops it.
inline constexpr int kNoProbeReceiveLimitMs = 600000;

}  // namespace ks318::test
