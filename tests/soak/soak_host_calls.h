// A host thread of the soak: calls an export of any family on a random
// terminal number, as a busy host program would.
#pragma once

#include <cstdint>
#include <random>

namespace ks318::test {

class SoakHostCalls {
public:
    SoakHostCalls(unsigned seed, int terminals) : random_(seed), terminals_(terminals) {}
    void callOne();

private:
    int number();  // mostly a live number, sometimes none at all
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

    std::mt19937 random_;
    int terminals_;
};

}  // namespace ks318::test
