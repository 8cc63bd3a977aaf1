// Many simulated terminals on one thread, steered over a control socket by the
// load driver (they run in a process of their own). Each connects, answers the
// handshake (19 → 20, 27 → 28) and probes (17) as a simulated terminal does, and
// reads everything the server sends. Commands, one line each, and answers:
//   connect PORT   → "identified NS": all terminals connected and through the
//                    handshake, NS nanoseconds after the first connect; at most
//                    kConnectWindow of them wait for their greeting at a time
//   rush PORT      → "identified NS" as connect, but all terminals at once: every
//                    connect is issued, none waiting for its handshake, before
//                    any greeting is read (a whole table reconnecting together)
//   expect BYTES   → "ok" at once, then "drained T" when BYTES more have been
//                    read, T being the steady clock (ns) at the last of them
//   close          → "closed" once every connection is closed
//   quit           → "bye", and the crowd ends
#pragma once

#include "port/socket.h"

namespace ks318::bench {

inline constexpr int kConnectWindow = 8;

// Runs the crowd of `count` terminals until told to quit; 0 when it quit cleanly.
int runCrowd(port::SocketHandle control, int count);

}  // namespace ks318::bench
