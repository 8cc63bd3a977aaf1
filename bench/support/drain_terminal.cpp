#include "bench/support/drain_terminal.h"

#include <chrono>
#include <vector>

#include "bench/support/frame_walker.h"
#include "sim/wire.h"

namespace ks318::bench {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

DrainTerminal::~DrainTerminal() {
    if (socket_ == port::kNoSocket) return;
    port::shutdownSocket(socket_);
    if (reader_.joinable()) reader_.join();
    port::closeSocket(socket_);
}

bool DrainTerminal::connect(int port) {
    socket_ = port::connectTcp("127.0.0.1", port);
    if (socket_ == port::kNoSocket) return false;
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

bool DrainTerminal::send(const std::uint8_t *bytes, std::size_t count) {
    std::lock_guard lock(sendMutex_);
    while (count > 0) {
        const int sent = port::sendSome(socket_, bytes, static_cast<int>(count));
        if (sent <= 0) return false;
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

void DrainTerminal::readLoop() {
    std::vector<std::uint8_t> buffer(256 * 1024);
    FrameWalker walker;
    const sim::Bytes identification = sim::encodeFrame(20, identity_.identificationWord());
    sim::Bytes uid(identity_.uid.begin(), identity_.uid.end());
    const sim::Bytes uidAnswer = sim::encodeFrame(28, sim::concat({uid, sim::field(identity_.uidText, 32)}));
    const sim::Bytes alive = sim::encodeFrame(36, sim::le32(1));  // any answer keeps a silent terminal listed
    for (;;) {
        const int count = port::receiveSome(socket_, buffer.data(), static_cast<int>(buffer.size()));
        if (count <= 0) return;
        walker.feed(buffer.data(), static_cast<std::size_t>(count), [&](std::uint16_t code, std::int32_t) {
            if (code == 19) send(identification.data(), identification.size());
            if (code == 27) {
                send(uidAnswer.data(), uidAnswer.size());
                identified_.store(true, std::memory_order_release);
            }
            if (code == 17) send(alive.data(), alive.size());
        });
        received_.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_acq_rel);
    }
}

bool DrainTerminal::waitIdentified(int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!identified_.load(std::memory_order_acquire)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool DrainTerminal::waitReceived(std::uint64_t total, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int spins = 0; received() < total; ++spins) {
        if (spins > 1000) {
            if (Clock::now() > deadline) return false;
            std::this_thread::yield();
        }
    }
    return true;
}

}  // namespace ks318::bench
