// How much work one metafile may make. Every record, point, character, bitmap
// pixel and dash costs units; a file that needs more than the budget is refused
// as a whole, so no file can keep a converting thread busy for long or fill its
// memory, and the same file is refused the same way every time.
#pragma once

#include <cstdint>

#include "ks318.h"
#include "port/failure.h"

namespace ks318::port::gdi {

// Records a metafile may hold: a file with more is refused before it is played.
inline constexpr std::uint64_t kMaxMetafileRecords = KQ_METAFILE_MAX_RECORDS;
// Units of work one play of a metafile may take: a record, a point, a pixel of a
// shape's edges on the canvas, a pixel of a bitmap read, an entry of a palette
// or region each cost one; a character four.
inline constexpr std::uint64_t kMetafileWorkUnits = KQ_METAFILE_MAX_WORK;
static_assert(kMetafileWorkUnits == 32ULL * 1024 * 1024);

// A pattern brush's bitmap of more pixels than this paints its colour instead;
// each pixel kept costs a few more units, as memory held until the play ends.
inline constexpr std::int64_t kMaxPatternPixels = 256 * 256;
inline constexpr std::uint64_t kPatternPixelCost = 4;

class WorkBudget {
public:
    explicit WorkBudget(std::uint64_t units = kMetafileWorkUnits) : left_(units) {}

    // False, and the budget is spent for good, when `units` are more than what is left.
    bool spend(std::uint64_t units) {
        if (units > left_) {
            if (!exhausted_) noteFailure("the metafile needs more work than one picture may take");
            left_ = 0;
            exhausted_ = true;
            return false;
        }
        left_ -= units;
        return true;
    }
    bool exhausted() const { return exhausted_; }
    // For a record that asks for more than any file may (a bitmap over the
    // picture pixel limit): the file is refused.
    void exhaust() { spend(~std::uint64_t{0}); }

private:
    std::uint64_t left_;
    bool exhausted_ = false;
};

}  // namespace ks318::port::gdi
