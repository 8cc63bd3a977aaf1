// The per-terminal stores and the server-wide key buffer: small stacks that the
// connection threads push and the host's exports pop, newest first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "server/gated_stack.h"

namespace ks318 {

inline constexpr int kSerialEntryBytes = 256;
inline constexpr int kMagTextBytes = 128;
inline constexpr int kConfigRecordBytes = 222;
inline constexpr int kWifiRecordBytes = 100;

// Serial data from either port: 83 arrives with source 0, 89 with source 1.
class SerialStore {
public:
    // Stores up to 256 bytes (longer data is cut). False when 16 entries are held.
    // Inline: it runs for every serial frame a terminal sends.
    bool push(const std::uint8_t *data, int source, int length) {
        length = std::clamp(length, 0, kSerialEntryBytes);
        return stack_.pushWith([&](Entry &slot) {
            slot.length = static_cast<std::uint16_t>(length);
            slot.source = static_cast<std::uint8_t>(source);
            if (length > 0) std::memcpy(slot.data, data, static_cast<std::size_t>(length));
        });
    }
    // Removes the newest entry: its bytes (only its length) to out, its source to
    // `source`. False when empty, leaving the outputs untouched.
    bool pop(std::uint8_t *out, std::int32_t &source, int &length);
    int count() const { return stack_.count(); }

private:
    struct Entry {
        std::uint16_t length;
        std::uint8_t source;
        std::uint8_t data[kSerialEntryBytes];
    };
    GatedStack<Entry, 16> stack_;
};

// Magnetic-card reads: pairs of texts of at most 127 characters.
class MagStore {
public:
    // flags bit 0: the first text is present; bit 1: the second. Absent texts are
    // stored empty. False for flags without either bit, or when 8 pairs (16 texts) are held.
    bool push(const char *first, const char *second, std::int32_t flags);
    // Copies the newest pair out as zero-ended texts (128 bytes each). False when empty.
    bool pop(char *first, char *second);
    // Stored texts, counted as the terminal counts them (two per read).
    int textCount() const { return stack_.count() * 2; }

private:
    struct Pair {
        char first[kMagTextBytes];
        char second[kMagTextBytes];
    };
    GatedStack<Pair, 8> stack_;
};

// Fixed-size records stored byte for byte (configuration, wifi).
template <int Bytes>
class RecordStore {
public:
    bool push(const std::uint8_t *record) {
        return stack_.pushWith([&](Record &slot) {
            for (int i = 0; i < Bytes; ++i) slot.bytes[i] = record[i];
        });
    }
    bool pop(std::uint8_t *out) {
        return stack_.popWith([&](const Record &slot, int) {
            for (int i = 0; i < Bytes; ++i) out[i] = slot.bytes[i];
        });
    }
    int count() const { return stack_.count(); }

private:
    struct Record {
        std::uint8_t bytes[Bytes];
    };
    GatedStack<Record, 16> stack_;
};

using ConfigStore = RecordStore<kConfigRecordBytes>;
using WifiStore = RecordStore<kWifiRecordBytes>;

// Answers of the terminal (inbound code and a 16-bit value), up to 20.
class EventStack {
public:
    static constexpr int kCapacity = 20;
    struct Event {
        std::uint8_t code;
        std::int32_t value;
    };
    // False when 20 answers are held: the answer is not stored.
    bool push(std::uint8_t code, std::int32_t value);
    // Removes the newest answer; `remaining` is how many stay after it. False when empty.
    bool pop(Event &event, int &remaining);
    // Index of the newest answer, -1 when empty.
    int top() const { return stack_.count() - 1; }
    // The value in a slot, 0 … 19, whether or not it is below the top.
    std::int32_t valueAt(int index) const { return stack_.slot(index).value; }

private:
    GatedStack<Event, kCapacity> stack_;
};

// Keys of every terminal, with the connection handle of the terminal that sent them.
class KeyBuffer {
public:
    static constexpr int kCapacity = 128;
    // False when 128 keys are held: the key is not stored. The id of the
    // terminal is kept beside its handle, which a later connection may reuse.
    bool push(std::int32_t handle, std::uint8_t key, std::int32_t id = 0);
    // Removes the newest key. False when empty.
    bool pop(std::int32_t &handle, std::uint8_t &key, std::int32_t *id = nullptr);
    int count() const { return stack_.count(); }
    void reset() { stack_.reset(); }

private:
    struct Entry {
        std::int32_t handle;
        std::int32_t key;
        std::int32_t id;
    };
    GatedStack<Entry, kCapacity> stack_;
};

}  // namespace ks318
