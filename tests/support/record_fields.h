// Little-endian fields of the records the exports fill, read back by tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace ks318::test {

inline std::int32_t int32At(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

}  // namespace ks318::test
