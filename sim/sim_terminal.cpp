#include "sim/sim_terminal.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace ks318::sim {

Bytes Identity::identificationWord() const {
    return {version, static_cast<std::uint8_t>(model >> 8), static_cast<std::uint8_t>(model & 0xFF), extra};
}

SimTerminal::SimTerminal(Identity identity) : identity_(std::move(identity)) {
    onFrame(19, [](SimTerminal &self, const Frame &) {
        self.send(20, self.identity().identificationWord());
    });
    onFrame(27, [](SimTerminal &self, const Frame &) {
        Bytes uid(self.identity().uid.begin(), self.identity().uid.end());
        self.send(28, concat({uid, field(self.identity().uidText, 32)}));
    });
}

SimTerminal::~SimTerminal() { close(); }

bool SimTerminal::connect(const std::string &host, int port) {
    socket_ = port::connectTcp(host.c_str(), port);
    if (socket_ == port::kNoSocket) return false;
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

bool SimTerminal::connectAndIdentify(const std::string &host, int port, int timeoutMs) {
    return connect(host, port) && waitForFrame(27, timeoutMs).has_value();
}

void SimTerminal::onFrame(std::uint16_t code, Answer answer) {
    std::lock_guard lock(mutex_);
    if (answer) {
        answers_[code] = std::move(answer);
    } else {
        answers_.erase(code);
    }
}

void SimTerminal::observeFrames(Observer observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

SimTerminal::Observer SimTerminal::currentObserver() const {
    std::lock_guard lock(mutex_);
    return observer_;
}

bool SimTerminal::sendBytes(const std::uint8_t *data, std::size_t count) {
    std::lock_guard lock(sendMutex_);
    std::size_t done = 0;
    while (done < count) {
        int sent = port::sendSome(socket_, data + done, static_cast<int>(count - done));
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool SimTerminal::send(std::uint16_t code, const Bytes &payload) {
    return sendWithLength(code, static_cast<std::int32_t>(payload.size()), payload);
}

bool SimTerminal::sendWithLength(std::uint16_t code, std::int32_t length, const Bytes &payload) {
    if (!sendRaw(encodeFrame(code, length, payload))) return false;
    // The frame is copied for an observer only: terminals in a crowd send a lot.
    if (Observer observer = currentObserver()) observer(Direction::Sent, Frame{code, length, payload});
    return true;
}

bool SimTerminal::sendRaw(const Bytes &bytes) { return sendBytes(bytes.data(), bytes.size()); }

bool SimTerminal::sendInPieces(const Bytes &bytes, std::size_t pieceBytes, int pauseMs) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += pieceBytes) {
        if (offset > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        std::size_t piece = std::min(pieceBytes, bytes.size() - offset);
        if (!sendBytes(bytes.data() + offset, piece)) return false;
    }
    return true;
}

void SimTerminal::limitReadRate(std::int64_t bytesPerSecond) { readRate_ = std::max<std::int64_t>(bytesPerSecond, 0); }

bool SimTerminal::readExactly(std::uint8_t *buffer, std::size_t count) {
    constexpr std::size_t kLimitedPiece = 16 * 1024;  // small enough for a smooth rate
    std::size_t done = 0;
    while (done < count) {
        const std::int64_t rate = readRate_;
        const std::size_t wanted = rate > 0 ? std::min(count - done, kLimitedPiece) : count - done;
        int received = port::receiveSome(socket_, buffer + done, static_cast<int>(wanted));
        if (received <= 0) return false;
        done += static_cast<std::size_t>(received);
        if (rate > 0) std::this_thread::sleep_for(std::chrono::microseconds(received * std::int64_t{1000000} / rate));
    }
    return true;
}

void SimTerminal::readLoop() {
    for (;;) {
        std::uint8_t header[7];
        if (!readExactly(header, sizeof header)) break;
        Frame frame;
        frame.code = static_cast<std::uint16_t>(header[1] | (header[2] << 8));
        frame.length = static_cast<std::int32_t>(readLE32(Bytes(header + 3, header + 7), 0));
        if (header[0] != 0x02 || frame.length < 0) break;  // the server never sends such a frame
        frame.payload.resize(static_cast<std::size_t>(frame.length));
        if (!readExactly(frame.payload.data(), frame.payload.size())) break;
        Answer answer;
        Observer observer;
        {
            std::lock_guard lock(mutex_);
            auto it = answers_.find(frame.code);
            if (it != answers_.end()) answer = it->second;
            observer = observer_;
        }
        if (observer) observer(Direction::Received, frame);
        // The frame is recorded once the terminal has acted on it, so whoever
        // waits for a frame finds the terminal's state (and answer) already changed.
        if (answer) answer(*this, frame);
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    disconnected_ = true;
    changed_.notify_all();
}

std::vector<Frame> SimTerminal::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<Frame> SimTerminal::framesWithCode(std::uint16_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<Frame> matching;
    for (const Frame &frame : frames_)
        if (frame.code == code) matching.push_back(frame);
    return matching;
}

void SimTerminal::clearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

std::optional<Frame> SimTerminal::waitForFrame(std::uint16_t code, int timeoutMs, std::size_t count) {
    std::unique_lock lock(mutex_);
    std::optional<Frame> found;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::size_t seen = 0;
        for (const Frame &frame : frames_) {
            if (frame.code == code && ++seen == count) {
                found = frame;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool SimTerminal::waitForFrameCount(std::size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
}

bool SimTerminal::disconnected() const {
    std::lock_guard lock(mutex_);
    return disconnected_;
}

bool SimTerminal::waitDisconnected(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return disconnected_; });
}

void SimTerminal::close() {
    if (socket_ == port::kNoSocket) return;
    port::shutdownSocket(socket_);
    if (reader_.joinable()) reader_.join();
    port::closeSocket(socket_);
    socket_ = port::kNoSocket;
}

}  // namespace ks318::sim
