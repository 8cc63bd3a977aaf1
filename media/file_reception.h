// A file that a terminal sends in answer to a request (code 98): the payload is
// the 128-byte name field, a 32-bit found flag and, when found, the file's bytes.
// The connection thread receives it into the terminal's pending file, where it
// waits for the host, except the terminal's media list, which goes to the
// host's media list profile file.
#pragma once

#include <cstdint>

#include "ks318.h"

namespace ks318 {
class InboundStream;
class Server;
class TTerminal;
}  // namespace ks318

namespace ks318::media {

inline constexpr std::uint16_t kCodeFileAnswer = 98;
inline constexpr int kFileAnswerHeadBytes = 132;  // name field and found flag
// The largest file held for the host: 2,000 receives of 1,200 bytes. A larger
// answer is read and dropped, so no terminal can make the host hold more.
inline constexpr std::int32_t kLargestFileAnswer = KQ_GETFILE_MAX_BYTES;
static_assert(kLargestFileAnswer == 2'000 * 1'200);

inline constexpr int kFileReceived = 1;  // held for the host, or stored as the media list
inline constexpr int kNoFile = -1;       // the terminal has no such file
inline constexpr int kFileRefused = -2;  // refused, or the contents did not arrive whole

// Receives one file answer whose header announced `length`, on the terminal's
// connection thread, from the connection's stream. Every byte of the answer is
// consumed, kept or dropped, so the next header lines up. An answer that pauses
// for the receive limit, or is not whole by its deadline (the file-answer
// timing applied to the bytes that may be kept), ends the connection, since
// its remaining bytes would be taken for headers. Refused without being kept:
// a file still waiting for the host, a send gate that stays busy, a length
// below 132, contents above kLargestFileAnswer, contents that would take the
// files waiting for the host, all terminals together, past the server's budget
// (ServerLimits::heldAnswerBytes).
// The pending file's size is only ever that of bytes the host can collect (or
// of the stored media list): an answer with found flag 0, or contents that did
// not arrive whole, leave the name with size 0 and no bytes.
int receiveFileAnswer(Server &server, TTerminal &terminal, InboundStream &stream, std::int32_t length);

}  // namespace ks318::media
