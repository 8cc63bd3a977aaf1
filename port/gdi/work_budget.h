// How much work one metafile may make. Every record, point, character, bitmap
// pixel and dash costs units; a file that needs more than the budget is refused
// as a whole, so no file can keep a converting thread busy for long or fill its
// memory, and the same file is refused the same way every time.
#pragma once

#include <cstdint>

namespace ks318::port::gdi {

// Records a metafile may hold: a file with more is refused before it is played.
inline constexpr std::uint64_t kMaxMetafileRecords = 500'000;
// Units of work one play of a metafile may take (a record, a point, a character,
// a pixel of a bitmap read, an entry of a palette or region each cost one unit).
inline constexpr std::uint64_t kMetafileWorkUnits = 64ULL * 1024 * 1024;

class WorkBudget {
public:
    explicit WorkBudget(std::uint64_t units = kMetafileWorkUnits) : left_(units) {}

    // False, and the budget is spent for good, when `units` are more than what is left.
    bool spend(std::uint64_t units) {
        if (units > left_) {
            left_ = 0;
            exhausted_ = true;
            return false;
        }
        left_ -= units;
        return true;
    }
    bool exhausted() const { return exhausted_; }

private:
    std::uint64_t left_;
    bool exhausted_ = false;
};

}  // namespace ks318::port::gdi
