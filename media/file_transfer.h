// Sending a file to a terminal: one frame of code 99 whose payload is the
// 128-byte destination name field followed by the file's bytes. No answer is
// expected.
#pragma once

#include <cstdint>
#include <fstream>

#include "media/file_names.h"
#include "port/socket.h"
#include "server/outbound_lane.h"
#include "server/terminal.h"

namespace ks318::media {

inline constexpr std::uint16_t kCodeFileTransfer = 99;
inline constexpr int kFilePieceBytes = 1024;
// The largest file whose frame length (128 + size) fits the signed 32-bit length field.
inline constexpr std::uint32_t kLargestFile = INT32_MAX - kNameFieldBytes;

// The first write of a file frame: the header announcing 128 + size and the name
// field. 135 on success, -1 when the write failed. The caller holds the send gate.
int sendFileHead(const FrameWriter &out, const NameField &name, std::uint32_t size);

// The bytes of a whole file frame: header, name field and contents.
inline std::int64_t fileFrameBytes(std::uint32_t size) { return kHeaderBytes + kNameFieldBytes + std::int64_t{size}; }

// Opens the local file at path for reading and measures it. False, with the
// reason noted, when it cannot be opened or is too large for a frame.
bool openLocalFile(std::ifstream &file, const char *path, std::uint32_t &size);

// Sends `size` bytes as file `name` under the send gate (header and name in one
// write, then pieces of at most 1024 bytes). Returns size; -1 when a write failed
// or the frame missed its deadline (the connection is then given up); -2 when the send gate stayed busy for
// gateLimitMs; 0 when nothing was sent: a name that does not fit its field, no
// data for a non-empty file, or a file too large for the frame's length field.
std::int32_t sendFileFromMemory(TTerminal &terminal, int gateLimitMs, const char *name, const void *data,
                                std::uint32_t size);

// Reads the local file whole and sends it as above. 0 also when the file cannot
// be opened or read, or its contents cannot be held in memory.
std::int32_t sendFileFromPath(TTerminal &terminal, int gateLimitMs, const char *path, const char *name);

}  // namespace ks318::media
