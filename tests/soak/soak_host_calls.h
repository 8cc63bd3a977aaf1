// A host thread of the soak: calls an export of any family on a random
// terminal number, as a busy host program would.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace ks318::test {

class SoakHostCalls {
public:
    // `workDir` holds the picture and file the host sends, and the media lists it writes.
    SoakHostCalls(unsigned seed, int terminals, const std::string &workDir);
    void callOne();

private:
    int number();  // mostly a live number, sometimes none at all
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    void callImageOrFile(int n);

    std::mt19937 random_;
    int terminals_;
    std::string picture_, file_, mediaList_;
    std::vector<std::uint8_t> palette_, pixels_, received_;
};

}  // namespace ks318::test
