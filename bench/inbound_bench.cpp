// P5: inbound serial frames (code 83, 64 data bytes: 73 bytes on the wire) from
// one terminal to a host whose handler does nothing, against a plain socket
// reader of the same byte stream. Both are fed by the same writer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/support/bench_session.h"
#include "bench/support/drain_terminal.h"
#include "server/server.h"
#include "sim/wire.h"

namespace ks318::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLimitMs = 20000;
constexpr int kFramesPerBatch = 1024;
constexpr int kBatchesPerRound = 512;

const std::vector<std::uint8_t> &batch() {
    static const std::vector<std::uint8_t> bytes = [] {
        sim::Bytes data(64);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('A' + i % 26);
        const sim::Bytes frame = sim::encodeFrame(83, sim::concat({sim::le16(64), data}));
        std::vector<std::uint8_t> all;
        for (int i = 0; i < kFramesPerBatch; ++i) all.insert(all.end(), frame.begin(), frame.end());
        return all;
    }();
    return bytes;
}

std::size_t frameBytes() { return batch().size() / kFramesPerBatch; }

bool waitFor(const std::atomic<std::uint64_t> &counter, std::uint64_t target) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kLimitMs);
    while (counter.load(std::memory_order_acquire) < target) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Sends rounds of batches and times each until the reader has taken every frame.
template <class Frames>
void run(benchmark::State &state, DrainTerminal &writer, Frames &&framesTaken) {
    const std::vector<std::uint8_t> &bytes = batch();
    for (auto _ : state) {
        const std::uint64_t target = framesTaken() + std::uint64_t{kFramesPerBatch} * kBatchesPerRound;
        const auto start = Clock::now();
        for (int i = 0; i < kBatchesPerRound; ++i)
            if (!writer.send(bytes.data(), bytes.size())) return state.SkipWithError("the writer failed");
        // The waiter sleeps between looks, leaving both cores to the writer and the reader.
        const auto deadline = Clock::now() + std::chrono::milliseconds(kLimitMs);
        while (framesTaken() < target) {
            if (Clock::now() > deadline) return state.SkipWithError("the frames were not all read");
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerBatch * kBatchesPerRound);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()) * kBatchesPerRound);
}

void P5_InboundSerial_Library(benchmark::State &state) {
    LibrarySession session;
    DrainTerminal terminal;
    if (!session.started() || !terminal.connect(session.port()) || !terminal.waitIdentified(kLimitMs))
        return state.SkipWithError("the terminal did not connect");
    // The handshake's identifier answer is the one notification before the frames.
    if (!waitFor(session.host().data, 1)) return state.SkipWithError("no identifier answer");
    run(state, terminal, [&] { return session.host().data.load(std::memory_order_acquire); });
}

void P5_InboundSerial_PlainReader(benchmark::State &state) {
    PlainListener listener;
    DrainTerminal terminal;
    if (!terminal.connect(listener.port())) return state.SkipWithError("no plain connection");
    const port::SocketHandle socket = listener.accept();
    std::atomic<std::uint64_t> bytesRead{0};
    std::thread reader([&] {
        std::vector<std::uint8_t> buffer(64 * 1024);
        for (;;) {
            const int count = port::receiveSome(socket, buffer.data(), static_cast<int>(buffer.size()));
            if (count <= 0) return;
            bytesRead.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_release);
        }
    });
    run(state, terminal, [&] { return bytesRead.load(std::memory_order_acquire) / frameBytes(); });
    port::shutdownSocket(socket);
    reader.join();
    port::closeSocket(socket);
}

BENCHMARK(P5_InboundSerial_Library)->UseManualTime()->MinTime(1.0);
BENCHMARK(P5_InboundSerial_PlainReader)->UseManualTime()->MinTime(1.0);

}  // namespace
}  // namespace ks318::bench

BENCHMARK_MAIN();
