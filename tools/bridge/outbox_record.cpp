#include "tools/bridge/outbox_record.h"

#include <cstring>

#include <zlib.h>

namespace ks318::bridge {
namespace {

constexpr char kMagic[4] = {'K', 'Q', 'O', 'B'};

void putLe32(std::string &out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t getLe32(const char *bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::uint32_t checksum(const char *data, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most 4 GiB at a time; a body is far smaller.
    crc = crc32(crc, reinterpret_cast<const Bytef *>(data), static_cast<uInt>(size));
    return static_cast<std::uint32_t>(crc);
}

}  // namespace

void appendRecord(std::string &out, std::string_view topic, std::string_view payload) {
    const std::size_t start = out.size();
    const auto bodyLength = static_cast<std::uint32_t>(2 + topic.size() + payload.size());
    out.append(kMagic, sizeof kMagic);
    putLe32(out, bodyLength);
    putLe32(out, 0);  // the checksum, once the body is there
    out.push_back(static_cast<char>(topic.size() & 0xFF));
    out.push_back(static_cast<char>((topic.size() >> 8) & 0xFF));
    out.append(topic);
    out.append(payload);
    const std::uint32_t crc = checksum(out.data() + start + kRecordHeaderBytes, bodyLength);
    for (int i = 0; i < 4; ++i) out[start + 8 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
}

RecordStatus readRecord(std::string_view bytes, OutboxMessage *message, std::size_t &recordBytes) {
    recordBytes = 0;
    const std::size_t magicSeen = bytes.size() < sizeof kMagic ? bytes.size() : sizeof kMagic;
    if (std::memcmp(bytes.data(), kMagic, magicSeen) != 0) return RecordStatus::Damaged;
    if (bytes.size() < kRecordHeaderBytes) return RecordStatus::Partial;
    const std::uint32_t bodyLength = getLe32(bytes.data() + 4);
    if (bodyLength < 2 || bodyLength > kMaxRecordBodyBytes) return RecordStatus::Damaged;
    recordBytes = kRecordHeaderBytes + bodyLength;
    if (bytes.size() < recordBytes) return RecordStatus::Partial;
    const char *body = bytes.data() + kRecordHeaderBytes;
    if (checksum(body, bodyLength) != getLe32(bytes.data() + 8)) return RecordStatus::Damaged;
    const std::size_t topicLength =
        static_cast<unsigned char>(body[0]) | (static_cast<std::size_t>(static_cast<unsigned char>(body[1])) << 8);
    if (topicLength > bodyLength - 2) return RecordStatus::Damaged;
    if (message) {
        message->topic.assign(body + 2, topicLength);
        message->payload.assign(body + 2 + topicLength, bodyLength - 2 - topicLength);
    }
    return RecordStatus::Whole;
}

}  // namespace ks318::bridge
