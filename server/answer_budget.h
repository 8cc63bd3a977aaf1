// One budget for the bytes that terminals' unasked-for answers keep waiting for
// the host (received files), all terminals together: a fleet of terminals each
// answering with the largest file cannot make the host hold more than this.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace ks318 {

class AnswerBudget;

// A part of the budget, given back when it goes.
class BudgetShare {
public:
    BudgetShare() = default;
    BudgetShare(AnswerBudget *budget, std::int64_t bytes) : budget_(budget), bytes_(bytes) {}
    BudgetShare(BudgetShare &&other) noexcept
        : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    BudgetShare &operator=(BudgetShare &&other) noexcept {
        if (this != &other) {
            giveBack();
            budget_ = std::exchange(other.budget_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    BudgetShare(const BudgetShare &) = delete;
    BudgetShare &operator=(const BudgetShare &) = delete;
    ~BudgetShare() { giveBack(); }

private:
    void giveBack();

    AnswerBudget *budget_ = nullptr;
    std::int64_t bytes_ = 0;
};

class AnswerBudget {
public:
    explicit AnswerBudget(std::int64_t limitBytes) : limit_(limitBytes) {}

    // A share of `bytes`; an empty share (nothing taken) when it would pass the limit.
    bool take(std::int64_t bytes, BudgetShare &share) {
        std::int64_t held = held_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - held) return false;
        } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_acq_rel));
        share = BudgetShare(this, bytes);
        return true;
    }
    std::int64_t held() const { return held_.load(std::memory_order_acquire); }

private:
    friend class BudgetShare;
    void give(std::int64_t bytes) { held_.fetch_sub(bytes, std::memory_order_acq_rel); }

    const std::int64_t limit_;
    std::atomic<std::int64_t> held_{0};
};

inline void BudgetShare::giveBack() {
    if (budget_ != nullptr) budget_->give(bytes_);
    budget_ = nullptr;
    bytes_ = 0;
}

}  // namespace ks318
