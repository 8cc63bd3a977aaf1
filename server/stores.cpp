#include "server/stores.h"

#include <algorithm>
#include <cstring>

namespace ks318 {
namespace {

// Copies a text of at most 127 characters and its zero; a text that fills its
// 128 bytes without a zero is cut so that nothing spills into the next slot.
void copyText(char *slot, const char *text) {
    std::size_t length = text != nullptr ? strnlen(text, kMagTextBytes - 1) : 0;
    if (length > 0) std::memcpy(slot, text, length);
    slot[length] = '\0';
}

}  // namespace

bool SerialStore::pop(std::uint8_t *out, std::int32_t &source, int &length) {
    return stack_.popWith([&](const Entry &slot, int) {
        if (slot.length > 0) std::memcpy(out, slot.data, slot.length);
        source = slot.source;
        length = slot.length;
    });
}

bool MagStore::push(const char *first, const char *second, std::int32_t flags) {
    if ((flags & 3) == 0) return false;
    return stack_.pushWith([&](Pair &slot) {
        copyText(slot.first, (flags & 1) ? first : nullptr);
        copyText(slot.second, (flags & 2) ? second : nullptr);
    });
}

bool MagStore::pop(char *first, char *second) {
    return stack_.popWith([&](const Pair &slot, int) {
        std::memcpy(first, slot.first, std::strlen(slot.first) + 1);
        std::memcpy(second, slot.second, std::strlen(slot.second) + 1);
    });
}

bool EventStack::push(std::uint8_t code, std::int32_t value) {
    return stack_.pushWith([&](Event &slot) { slot = Event{code, value}; });
}

bool EventStack::pop(Event &event, int &remaining) {
    return stack_.popWith([&](const Event &slot, int below) {
        event = slot;
        remaining = below;
    });
}

bool KeyBuffer::push(std::int32_t handle, std::uint8_t key, std::int32_t id) {
    return stack_.pushWith([&](Entry &slot) { slot = Entry{handle, key, id}; });
}

bool KeyBuffer::pop(std::int32_t &handle, std::uint8_t &key, std::int32_t *id) {
    return stack_.popWith([&](const Entry &slot, int) {
        if (id != nullptr) *id = slot.id;
        handle = slot.handle;
        key = static_cast<std::uint8_t>(slot.key);
    });
}

}  // namespace ks318
