// Reading little-endian values out of a metafile record. Every read is checked
// against the record's end: a read past it yields 0 and marks the reader failed,
// so a record that claims more than it holds is noticed and never read beyond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace ks318::port::gdi {

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t position() const { return at_; }
    std::size_t remaining() const { return at_ <= bytes_.size() ? bytes_.size() - at_ : 0; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::int16_t s16() { return static_cast<std::int16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::int32_t s32() { return static_cast<std::int32_t>(take(4)); }
    float f32() {
        const std::uint32_t bits = u32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    void skip(std::size_t count) {
        if (count > remaining()) return fail();
        at_ += count;
    }
    void seek(std::size_t offset) {
        if (offset > bytes_.size()) return fail();
        at_ = offset;
    }
    // The next `count` bytes as their own reader; an empty, failed one when fewer remain.
    ByteReader sub(std::size_t count) {
        if (count > remaining()) {
            fail();
            ByteReader none;
            none.ok_ = false;
            return none;
        }
        ByteReader part(bytes_.subspan(at_, count));
        at_ += count;
        return part;
    }
    // A part of the whole record, by offset and length from its start.
    ByteReader slice(std::size_t offset, std::size_t count) const {
        ByteReader part;
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            part.ok_ = false;
            return part;
        }
        part.bytes_ = bytes_.subspan(offset, count);
        return part;
    }
    // True when `count` items of `size` bytes each are still there to read.
    bool has(std::uint64_t count, std::uint64_t size) const {
        return size != 0 && count <= remaining() / size;
    }

    void fail() {
        ok_ = false;
        at_ = bytes_.size();
    }

private:
    std::uint32_t take(int size) {
        if (remaining() < static_cast<std::size_t>(size)) {
            fail();
            return 0;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(bytes_[at_ + i]) << (8 * i);
        at_ += static_cast<std::size_t>(size);
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// Acts on a value read from a record only when the record held all of it.
template <typename Value, typename Act>
void ifRead(const ByteReader &in, const Value &value, Act &&act) {
    if (in.ok()) act(value);
}

}  // namespace ks318::port::gdi
