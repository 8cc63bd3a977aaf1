// Outbound figures. P1: a full-screen image (model 320: 131,335 bytes on the
// wire) to one terminal that reads everything, against the same bytes written
// by a plain send loop to the same kind of reader. P6: the cost of one export
// call: kq_sendlive into the socket, kq_getserial popping an entry.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bench/support/bench_session.h"
#include "bench/support/drain_terminal.h"
#include "image/image_commands.h"
#include "server/server.h"
#include "sim/wire.h"

namespace ks318::bench {
namespace {

constexpr int kLimitMs = 10000;

struct Picture {
    std::vector<std::uint8_t> palette = std::vector<std::uint8_t>(image::kPaletteBytes);
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(130560);
    std::vector<std::uint8_t> frame;  // header, palette and pixels as they travel

    Picture() {
        for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<std::uint8_t>(i * 5);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 236);
        frame = sim::encodeFrame(image::kFullScreenImageCode,
                                 static_cast<std::int32_t>(palette.size() + pixels.size()),
                                 sim::concat({palette, pixels}));
    }
};

const Picture &picture() {
    static const Picture shared;
    return shared;
}

// The library with one identified terminal (model 320) that reads everything.
struct LibrarySide {
    LibrarySession session;
    DrainTerminal terminal;
    bool ready = false;

    LibrarySide() {
        ready = session.started() && terminal.connect(session.port()) && terminal.waitIdentified(kLimitMs) &&
                globalServer().terminals().count() == 1;
    }
};

LibrarySide &librarySide() {
    static LibrarySide side;
    return side;
}

// A plain connection read by the same kind of terminal.
struct PlainSide {
    PlainListener listener;
    DrainTerminal terminal;
    port::SocketHandle writer = port::kNoSocket;

    PlainSide() {
        if (terminal.connect(listener.port())) writer = listener.accept();
    }
    ~PlainSide() { port::closeSocket(writer); }
};

PlainSide &plainSide() {
    static PlainSide side;
    return side;
}

void reportBytes(benchmark::State &state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
    state.SetItemsProcessed(state.iterations());
}

void P1_SendImage_Library(benchmark::State &state) {
    LibrarySide &side = librarySide();
    if (!side.ready) return state.SkipWithError("the library's terminal did not connect");
    const Picture &image = picture();
    auto *palette = const_cast<std::uint8_t *>(image.palette.data());
    auto *pixels = const_cast<std::uint8_t *>(image.pixels.data());
    for (auto _ : state) {
        const std::uint64_t target = side.terminal.received() + image.frame.size();
        if (kq_sendimage(1, palette, pixels) != 1) return state.SkipWithError("kq_sendimage failed");
        if (!side.terminal.waitReceived(target, kLimitMs)) return state.SkipWithError("the image was not read");
    }
    reportBytes(state, image.frame.size());
}

// The baseline: one send loop over the whole frame.
void P1_SendImage_PlainLoop(benchmark::State &state) {
    PlainSide &side = plainSide();
    if (side.writer == port::kNoSocket) return state.SkipWithError("no plain connection");
    const Picture &image = picture();
    for (auto _ : state) {
        const std::uint64_t target = side.terminal.received() + image.frame.size();
        if (!plainWrite(side.writer, image.frame.data(), image.frame.size())) return state.SkipWithError("send failed");
        if (!side.terminal.waitReceived(target, kLimitMs)) return state.SkipWithError("the bytes were not read");
    }
    reportBytes(state, image.frame.size());
}

// For comparison only: the plain loop writing the pieces the library writes
// (header and palette, then 1,280-byte pieces of pixels).
void P1_SendImage_PlainPieces(benchmark::State &state) {
    PlainSide &side = plainSide();
    if (side.writer == port::kNoSocket) return state.SkipWithError("no plain connection");
    const Picture &image = picture();
    const std::size_t first = 7 + image::kPaletteBytes;
    for (auto _ : state) {
        const std::uint64_t target = side.terminal.received() + image.frame.size();
        bool sent = plainWrite(side.writer, image.frame.data(), first);
        for (std::size_t at = first; sent && at < image.frame.size(); at += image::kPieceBytes)
            sent = plainWrite(side.writer, image.frame.data() + at, image::kPieceBytes);
        if (!sent) return state.SkipWithError("send failed");
        if (!side.terminal.waitReceived(target, kLimitMs)) return state.SkipWithError("the bytes were not read");
    }
    reportBytes(state, image.frame.size());
}

void P6_SendLive(benchmark::State &state) {
    LibrarySide &side = librarySide();
    if (!side.ready) return state.SkipWithError("the library's terminal did not connect");
    for (auto _ : state) {
        if (kq_sendlive(1) != 7) return state.SkipWithError("kq_sendlive failed");
    }
    state.SetItemsProcessed(state.iterations());
    side.terminal.waitReceived(side.terminal.received(), kLimitMs);
}

// Pops of a full store (16 entries of 64 bytes), timed alone; refilling is not counted.
void P6_GetSerialPop(benchmark::State &state) {
    LibrarySide &side = librarySide();
    TerminalRef record = globalServer().terminals().get(1);
    if (!side.ready || !record) return state.SkipWithError("the library's terminal did not connect");
    std::uint8_t data[64];
    std::memset(data, 0x5A, sizeof data);
    std::uint8_t out[256];
    std::int32_t source = 0;
    constexpr int kEntries = 16;
    for (auto _ : state) {
        for (int i = 0; i < kEntries; ++i) record->serial.push(data, 0, sizeof data);
        const auto start = std::chrono::steady_clock::now();
        int popped = 0;
        for (int i = 0; i < kEntries; ++i) popped += kq_getserial(1, &source, out) == 64 ? 1 : 0;
        const auto spent = std::chrono::steady_clock::now() - start;
        if (popped != kEntries) return state.SkipWithError("kq_getserial did not pop every entry");
        state.SetIterationTime(std::chrono::duration<double>(spent).count());
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}

void P6_GetSerialEmpty(benchmark::State &state) {
    LibrarySide &side = librarySide();
    if (!side.ready) return state.SkipWithError("the library's terminal did not connect");
    std::uint8_t out[256];
    std::int32_t source = 0;
    for (auto _ : state) benchmark::DoNotOptimize(kq_getserial(1, &source, out));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(P1_SendImage_Library)->MinTime(0.5);
BENCHMARK(P1_SendImage_PlainLoop)->MinTime(0.5);
BENCHMARK(P1_SendImage_PlainPieces)->MinTime(0.5);
BENCHMARK(P6_SendLive)->MinTime(0.3);
BENCHMARK(P6_GetSerialPop)->UseManualTime()->MinTime(0.3);
BENCHMARK(P6_GetSerialEmpty)->MinTime(0.3);

}  // namespace
}  // namespace ks318::bench

BENCHMARK_MAIN();
