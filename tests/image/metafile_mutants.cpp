// Damaged metafiles made from good ones and converted one after another, as a
// host would: the built-in test set and any files named are the seeds; mutant i
// is made from seed i mod (number of seeds), the same bytes on every platform
// for the same --seed. Mutations keep the records' framing (so that the
// records' own fields are what is damaged): a field set to a troublesome value,
// bits flipped, a record cut or lengthened with its size put right, a record
// repeated, a record's kind changed.
//
//   metafile_mutants [--first N] [--count N] [--seed N] [--write DIR] [--work DIR] [FILE...]
//
// Prints "mutant I SEED" before each conversion and "I taken" or "I refused"
// after it, flushed, so that a driver can tell which mutant stopped a process
// (scripts/replay_metafile_mutants.py); last a line "N mutants: T taken, R refused".
// With --write DIR the mutants are written there instead of converted.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/picture_conversion.h"
#include "tests/image/metafile_set.h"

namespace {

using namespace ks318;
using Bytes = std::vector<std::uint8_t>;

constexpr image::ScreenSize kScreen{320, 240};

// splitmix64: the same numbers from every standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }

private:
    std::uint64_t state_;
};

std::uint32_t get(const Bytes &b, std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = 0; i < size && at + i < b.size(); ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
    return v;
}
void put(Bytes &b, std::size_t at, int size, std::uint32_t v) {
    for (int i = 0; i < size && at + i < b.size(); ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Record {
    std::size_t at, size;
};

// A file's layout: where the records start, each record, and how sizes are counted.
struct Layout {
    bool enhanced = false;
    std::size_t headerAt = 0;  // the WMF header (after a placeable header), or 0
    std::vector<Record> records;
};

Layout layoutOf(const Bytes &b, bool enhanced) {
    Layout layout;
    layout.enhanced = enhanced;
    std::size_t at = 0;
    if (!enhanced) {
        if (get(b, 0, 4) == 0x9AC6CDD7u) at = 22;
        layout.headerAt = at;
        at += 18;
    }
    while (at + 8 <= b.size()) {
        const std::size_t size = enhanced ? get(b, at + 4, 4) : std::size_t{get(b, at, 4)} * 2;
        if (size < (enhanced ? 8u : 6u) || size > b.size() - at) break;
        layout.records.push_back({at, size});
        at += size;
    }
    return layout;
}

// Puts a record's size and the file's total size right after the record changed by `delta` bytes.
void resize(Bytes &b, const Layout &layout, const Record &r, long delta) {
    if (layout.enhanced) {
        put(b, r.at + 4, 4, static_cast<std::uint32_t>(r.size + delta));
        put(b, 48, 4, static_cast<std::uint32_t>(b.size()));
    } else {
        put(b, r.at, 4, static_cast<std::uint32_t>((r.size + delta) / 2));
        put(b, layout.headerAt + 6, 4, static_cast<std::uint32_t>(b.size() - layout.headerAt) / 2);
    }
}

std::uint32_t troublesome(Random &random, const Record &r) {
    static const std::uint32_t values[] = {0,          1,          2,          0x7F,       0x80,       0xFF,
                                           0x100,      0x7FFF,     0x8000,     0xFFFF,     0x10000,    0x7FFFFFF0,
                                           0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0, 0x40000000, 0x3FFFFFFF};
    switch (random.below(4)) {
    case 0: return static_cast<std::uint32_t>(r.size + 4 * (random.below(5)) - 8);
    case 1: return static_cast<std::uint32_t>(random.next());
    default: return values[random.below(std::size(values))];
    }
}

// Kinds of record a mutated record may become: those with counts, offsets or bitmaps.
const std::uint32_t kEnhancedKinds[] = {2,  3,  4,  5,  6,  7,  8,  14, 39, 49, 50,  56,  70,  71,  72,  73,  74,
                                        75, 76, 77, 78, 79, 80, 81, 82, 83, 84, 85,  86,  87,  88,  89,  90,  91,
                                        92, 93, 94, 95, 96, 97, 108, 114, 116, 118, 38, 37, 40, 22, 17, 9, 11};
const std::uint32_t kWindowsKinds[] = {0x0324, 0x0325, 0x0538, 0x0521, 0x0A32, 0x0940, 0x0B41, 0x0F43, 0x0D33,
                                       0x0142, 0x01F9, 0x0922, 0x0B23, 0x00F7, 0x0037, 0x0436, 0x06FF, 0x0626,
                                       0x02FA, 0x02FC, 0x02FB, 0x012D, 0x01F0, 0x0228, 0x0429, 0x012C, 0x061D};

void mutateOnce(Bytes &b, bool enhanced, Random &random) {
    const Layout layout = layoutOf(b, enhanced);
    if (layout.records.size() < 2) return;
    // Any record but the end; the EMF header now and then.
    const std::size_t first = enhanced && random.below(8) != 0 ? 1 : 0;
    const Record r = layout.records[first + random.below(layout.records.size() - 1 - first)];
    const std::size_t fields = enhanced ? 8 : 6;
    const std::size_t room = r.size > fields ? r.size - fields : 0;
    switch (random.below(7)) {
    case 0:
    case 1: {  // a field
        if (room < 2) return;
        const int size = room >= 4 && random.below(2) ? 4 : 2;
        const std::size_t at = r.at + fields + (random.below(room - size + 1) & ~std::size_t{1});
        put(b, at, size, troublesome(random, r));
        return;
    }
    case 2:  // bits
        for (std::size_t n = 1 + random.below(4); n > 0 && room > 0; --n)
            b[r.at + fields + random.below(room)] ^= static_cast<std::uint8_t>(1u << random.below(8));
        return;
    case 3: {  // cut
        const std::size_t cut = std::min(room, (1 + random.below(8)) * (enhanced ? 4 : 2));
        if (cut == 0) return;
        b.erase(b.begin() + static_cast<long>(r.at + r.size - cut), b.begin() + static_cast<long>(r.at + r.size));
        return resize(b, layout, r, -static_cast<long>(cut));
    }
    case 4: {  // lengthened with junk
        const std::size_t more = (1 + random.below(16)) * 4;
        Bytes junk(more);
        for (auto &x : junk) x = static_cast<std::uint8_t>(random.next());
        b.insert(b.begin() + static_cast<long>(r.at + r.size), junk.begin(), junk.end());
        return resize(b, layout, r, static_cast<long>(more));
    }
    case 5: {  // repeated
        const Bytes copy(b.begin() + static_cast<long>(r.at), b.begin() + static_cast<long>(r.at + r.size));
        b.insert(b.begin() + static_cast<long>(r.at + r.size), copy.begin(), copy.end());
        if (enhanced) put(b, 52, 4, get(b, 52, 4) + 1), put(b, 48, 4, static_cast<std::uint32_t>(b.size()));
        else put(b, layout.headerAt + 6, 4, static_cast<std::uint32_t>(b.size() - layout.headerAt) / 2);
        return;
    }
    default:  // another kind
        if (enhanced) put(b, r.at, 4, kEnhancedKinds[random.below(std::size(kEnhancedKinds))]);
        else put(b, r.at + 4, 2, kWindowsKinds[random.below(std::size(kWindowsKinds))]);
        return;
    }
}

struct Seed {
    std::string name;
    Bytes bytes;
    bool enhanced;
};

// An enhanced metafile begins with its header record: type 1, " EMF" at 40.
bool isEnhanced(const Bytes &b) { return get(b, 0, 4) == 1 && get(b, 40, 4) == 0x464D4520; }

}  // namespace

int main(int argc, char **argv) {
    std::uint64_t first = 0, count = 300, seedNumber = 1;
    std::filesystem::path writeDir, workDir = std::filesystem::temp_directory_path();
    std::vector<Seed> seeds;
    for (const test::NamedMetafile &file : test::metafileSet())
        seeds.push_back({file.name, file.bytes, isEnhanced(file.bytes)});
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--first" && hasValue) first = std::stoull(argv[++i]);
        else if (arg == "--count" && hasValue) count = std::stoull(argv[++i]);
        else if (arg == "--seed" && hasValue) seedNumber = std::stoull(argv[++i]);
        else if (arg == "--write" && hasValue) writeDir = argv[++i];
        else if (arg == "--work" && hasValue) workDir = argv[++i];
        else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "usage: %s [--first N] [--count N] [--seed N] [--write DIR] [--work DIR] [FILE...]\n", argv[0]);
            return 2;
        } else {
            std::ifstream in(arg, std::ios::binary);
            Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) return std::fprintf(stderr, "cannot read %s\n", arg.c_str()), 2;
            const std::string name = std::filesystem::path(arg).filename().string();
            const bool enhanced = isEnhanced(bytes);
            seeds.push_back({name, std::move(bytes), enhanced});
        }
    }
    std::uint64_t taken = 0, refused = 0;
    for (std::uint64_t i = first; i < first + count; ++i) {
        const Seed &seed = seeds[i % seeds.size()];
        Random random(seedNumber * 0x100000001B3ull ^ i);
        Bytes bytes = seed.bytes;
        for (std::size_t n = 1 + random.below(3); n > 0; --n) mutateOnce(bytes, seed.enhanced, random);
        const std::string name = "mutant-" + std::to_string(i) + (seed.enhanced ? ".emf" : ".wmf");
        const std::filesystem::path path = (writeDir.empty() ? workDir : writeDir) / name;
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            if (!out.flush()) return std::fprintf(stderr, "cannot write %s\n", path.string().c_str()), 2;
        }
        if (!writeDir.empty()) continue;
        std::printf("mutant %llu %s\n", static_cast<unsigned long long>(i), seed.name.c_str());
        std::fflush(stdout);
        image::TerminalImage image;
        const bool ok = image::convertPictureFile(path.string().c_str(), kScreen, image);
        (ok ? taken : refused)++;
        std::printf("%llu %s\n", static_cast<unsigned long long>(i), ok ? "taken" : "refused");
        std::fflush(stdout);
        std::error_code error;
        std::filesystem::remove(path, error);
    }
    std::printf("%llu mutants: %llu taken, %llu refused\n", static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(taken), static_cast<unsigned long long>(refused));
    return 0;
}
