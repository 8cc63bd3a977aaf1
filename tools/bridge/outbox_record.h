// One message of the outbox as it lies in a queue file:
//
//   "KQOB" | body length (u32 LE) | CRC-32 of the body (u32 LE) | body
//   body = topic length (u16 LE) | topic | payload
//
// The magic and the checksum let a restart tell a whole record from the torn or
// damaged end of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks318::bridge {

inline constexpr std::size_t kRecordHeaderBytes = 12;
inline constexpr std::uint32_t kMaxRecordBodyBytes = 8u << 20;

struct OutboxMessage {
    std::string topic;
    std::string payload;
};

// Appends the record of one message to `out`. The topic must be shorter than
// 64 KiB and the body at most kMaxRecordBodyBytes (the bridge's own events are
// far smaller).
void appendRecord(std::string &out, std::string_view topic, std::string_view payload);

enum class RecordStatus {
    Whole,    // a record, `recordBytes` long
    Partial,  // the bytes end inside a record that looks right so far
    Damaged,  // not a record: wrong magic, impossible length or checksum
};

// Reads the record at the start of `bytes`; `message` (when not null) gets its
// topic and payload when it is whole. For Partial, `recordBytes` is the whole
// record's length when the header was there (else 0).
RecordStatus readRecord(std::string_view bytes, OutboxMessage *message, std::size_t &recordBytes);

}  // namespace ks318::bridge
