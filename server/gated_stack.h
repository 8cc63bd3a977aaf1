// A fixed-capacity stack guarded by its own spin gate: the shape of every store.
// A pop returns the newest entry; slots keep their contents after a pop.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "server/gates.h"

namespace ks318 {

template <class Entry, std::size_t Capacity>
class GatedStack {
public:
    static constexpr int kCapacity = static_cast<int>(Capacity);

    // Fills the next slot in place; false (and nothing stored) when the stack is full.
    // A full stack refuses without its gate: a terminal that floods a host which
    // does not read costs no locked instruction per refused entry.
    template <class Fill>
    bool pushWith(Fill &&fill) {
        if (count_.load(std::memory_order_relaxed) >= kCapacity) return false;
        SpinGuard guard(gate_);
        const int count = count_.load(std::memory_order_relaxed);
        if (count >= kCapacity) return false;
        fill(slots_[static_cast<std::size_t>(count)]);
        count_.store(count + 1, std::memory_order_relaxed);
        return true;
    }

    // Hands the newest entry to read and removes it; false when empty.
    // `read` also gets how many entries remain below it.
    template <class Read>
    bool popWith(Read &&read) {
        SpinGuard guard(gate_);
        const int count = count_.load(std::memory_order_relaxed);
        if (count == 0) return false;
        count_.store(count - 1, std::memory_order_relaxed);
        read(slots_[static_cast<std::size_t>(count - 1)], count - 1);
        return true;
    }

    int count() const { return count_.load(std::memory_order_relaxed); }

    // A slot as it stands, whether or not it is below the top.
    Entry slot(int index) const {
        SpinGuard guard(gate_);
        return slots_[static_cast<std::size_t>(index)];
    }

    void reset() {
        SpinGuard guard(gate_);
        slots_ = {};
        count_.store(0, std::memory_order_relaxed);
    }

private:
    mutable SpinGate gate_;
    std::array<Entry, Capacity> slots_{};
    std::atomic<int> count_{0};  // written only under the gate
};

}  // namespace ks318
