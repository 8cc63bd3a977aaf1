// Sockets as the server core sees them: plain functions over a handle value,
// with the results the core needs and nothing platform-specific leaking out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ks318::port {

// A socket handle. Its value is also the terminal's connection handle, which
// reaches the host in the low 16 bits of notifications.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Start and stop the sockets library. Counted like the system's own facility:
// every successful start wants one stop; a stop without a start fails with -1.
// Starting also lets the process hold a descriptor for every terminal.
int socketsStartup();
int socketsCleanup();

// Opens an IPv4 TCP listening socket. `bindAddress` null or empty means every
// local address; `port` 0 means any free port. Returns kNoSocket on failure,
// with the reason noted (port/failure.h).
SocketHandle listenTcp(const char *bindAddress, int port, int backlog);

// Why a listening socket could not be opened, as both platforms tell it.
enum class ListenFailure { BadAddress, AddressNotLocal, PortInUse, NotPermitted, Other };
// Notes the reason in words; `detail` is the system's own text, for Other.
void noteListenFailure(ListenFailure why, const char *bindAddress, int port, const char *detail);

// The local port a bound socket listens on, 0 when it cannot be read.
int localPort(SocketHandle socket);

// Waits for a connection. Returns kNoSocket when the listener was closed or
// failed. `peerAddress` receives the IPv4 address in network byte order.
SocketHandle acceptTcp(SocketHandle listener, std::uint32_t &peerAddress);

// Opens a TCP connection to host:port (used by the simulated terminal).
SocketHandle connectTcp(const char *host, int port);

// Two connected stream sockets on this machine (for tests and fuzzing).
bool socketPair(SocketHandle &first, SocketHandle &second);

// Wakes every thread blocked on the socket (accept, wait, receive) without
// releasing the handle, so the handle value cannot be reused meanwhile.
void shutdownSocket(SocketHandle socket);

// Ends the sending side only: the peer reads the end of the stream, while what
// it sends is still received.
void shutdownSending(SocketHandle socket);

// Releases the handle. Called exactly once per handle.
void closeSocket(SocketHandle socket);

// 1 when the socket is readable within timeoutMs, 0 on time-out, -1 on error.
int waitReadable(SocketHandle socket, int timeoutMs);

// One receive call: bytes received, 0 when the peer closed, -1 on error.
int receiveSome(SocketHandle socket, void *buffer, int count);

// One receive call that never waits: as receiveSome, or kNothingWaiting when no
// byte is there yet.
inline constexpr int kNothingWaiting = -2;
int receiveWaiting(SocketHandle socket, void *buffer, int count);

// One send call that never raises a signal for a dead peer: bytes accepted, -1 on error.
int sendSome(SocketHandle socket, const void *data, int count);

// One send call that waits at most waitMs for room in the socket: bytes accepted
// (at least 1), kSendTimedOut when no byte could go within waitMs (at once for a
// waitMs of 0 or less), -1 on error.
// Never raises a signal for a dead peer. A time-out may leave the connection
// unusable (on some systems part of the data may have gone): the caller gives
// the connection up.
inline constexpr int kSendTimedOut = -3;
int sendSomeWithin(SocketHandle socket, const void *data, int count, int waitMs);

// One piece of a gathered send: count bytes at data.
struct SendPiece {
    const void *data;
    int count;
};

// One send call over several pieces in order, as if they were one buffer (at
// most kMaxSendPieces are taken per call), with the results of sendSomeWithin.
inline constexpr int kMaxSendPieces = 1024;
int sendSomeGatheredWithin(SocketHandle socket, const SendPiece *pieces, int count, int waitMs);

// Address conversions of the sockets library.
std::uint32_t inetAddr(const char *dottedText);          // INADDR_NONE (all ones) for bad text
std::string inetNtoa(std::uint32_t networkOrderAddress);  // dotted text

// First IPv4 address of this computer's host name, network byte order.
// False when the name cannot be read or does not resolve.
bool firstHostAddress(std::uint32_t &networkOrderAddress);

}  // namespace ks318::port
