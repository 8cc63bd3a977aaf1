// A fixed-capacity stack guarded by its own spin gate: the shape of every store.
// A pop returns the newest entry; slots keep their contents after a pop.
#pragma once

#include <array>
#include <cstddef>

#include "server/gates.h"

namespace ks318 {

template <class Entry, std::size_t Capacity>
class GatedStack {
public:
    static constexpr int kCapacity = static_cast<int>(Capacity);

    // Fills the next slot in place; false (and nothing stored) when the stack is full.
    template <class Fill>
    bool pushWith(Fill &&fill) {
        SpinGuard guard(gate_);
        if (count_ >= kCapacity) return false;
        fill(slots_[static_cast<std::size_t>(count_)]);
        ++count_;
        return true;
    }

    // Hands the newest entry to read and removes it; false when empty.
    // `read` also gets how many entries remain below it.
    template <class Read>
    bool popWith(Read &&read) {
        SpinGuard guard(gate_);
        if (count_ == 0) return false;
        --count_;
        read(slots_[static_cast<std::size_t>(count_)], count_);
        return true;
    }

    int count() const {
        SpinGuard guard(gate_);
        return count_;
    }

    // A slot as it stands, whether or not it is below the top.
    Entry slot(int index) const {
        SpinGuard guard(gate_);
        return slots_[static_cast<std::size_t>(index)];
    }

    void reset() {
        SpinGuard guard(gate_);
        slots_ = {};
        count_ = 0;
    }

private:
    mutable SpinGate gate_;
    std::array<Entry, Capacity> slots_{};
    int count_ = 0;
};

}  // namespace ks318
