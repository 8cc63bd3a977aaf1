// The connection thread of one terminal: handshake, reading loop, probe on
// silence, and on the way out the disconnect notification and the removal.
#pragma once

#include "server/terminal_table.h"

namespace ks318 {

class Server;

// Codes the connection thread sends.
inline constexpr int kCodeIdentify = 19;       // asks the terminal to identify itself
inline constexpr int kCodeIdentification = 20; // the terminal's answer: the identification word
inline constexpr int kCodeAccepted = 21;       // payload 1: the identification was taken
inline constexpr int kCodeRequestUid = 27;     // asks for the unique identifier
inline constexpr int kCodeProbe = 17;          // sent after each silent period

// Runs on a thread of its own until the connection ends. The caller has
// counted the thread with Server::threadStarted.
void runConnection(Server &server, TerminalRef terminal);

// True on a connection thread of this server (for a stop called from a handler).
bool onConnectionThreadOf(const Server &server);

// A stop called from a notification handler on a connection thread of this
// server: that terminal's disconnect notification is posted now, so that none
// reaches the host after the stop has returned (and not again when the thread leaves).
void departBeforeStopReturns(const Server &server);

}  // namespace ks318
