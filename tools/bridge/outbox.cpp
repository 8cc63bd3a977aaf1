#include "tools/bridge/outbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace ks318::bridge {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr const char *kStateName = "state";
constexpr const char *kLockName = "lock";
constexpr const char *kQueueSuffix = ".queue";
constexpr std::size_t kQueueNameDigits = 16;
constexpr std::size_t kStateBytes = 64;  // one block, rewritten in place

std::string systemError() { return std::strerror(errno); }

using WriteFunction = std::function<ssize_t(int, const void *, std::size_t)>;

// Writes until done or failed; `written` says how far it got.
bool writeAll(const WriteFunction &write, int fd, const char *data, std::size_t size, std::size_t &written) {
    written = 0;
    while (size > 0) {
        const ssize_t done = write ? write(fd, data, size) : ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        written += static_cast<std::size_t>(done);
    }
    return true;
}

// Reads up to `size` bytes at `offset`; the count read (short at the end), -1 on error.
ssize_t readAllAt(int fd, char *data, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// The number of a queue file's name: 16 hexadecimal digits and ".queue".
std::optional<std::uint64_t> queueFileNumber(const std::string &name) {
    if (name.size() != kQueueNameDigits + std::strlen(kQueueSuffix) || name.substr(kQueueNameDigits) != kQueueSuffix)
        return std::nullopt;
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < kQueueNameDigits; ++i) {
        const char c = name[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return std::nullopt;
        number = number * 16 + static_cast<std::uint64_t>(digit);
    }
    return number;
}

}  // namespace

Outbox::Outbox(Settings settings, Warn warn) : settings_(std::move(settings)), warn_(std::move(warn)) {
    if (settings_.limit == 0) throw OutboxError("the queue limit must be at least 1");
    std::error_code error;
    std::filesystem::create_directories(settings_.directory, error);
    if (error)
        throw OutboxError("cannot make the queue folder " + settings_.directory.string() + ": " + error.message());
    lockFolder();
    Position head;
    loadState(head);
    recoverFiles(head);
    openTail();
    save();
}

Outbox::~Outbox() {
    try {
        if (!flush()) {
            warn_(std::to_string(bufferedCount_) + " events never written to the queue are lost at the stop");
            dropped_ += bufferedCount_;
            waiting_ -= bufferedCount_;
            buffered_.clear();
            bufferedCount_ = 0;
        }
        save();
    } catch (const std::exception &problem) {
        warn_(problem.what());
    }
}

std::filesystem::path Outbox::fileName(std::uint64_t number) const {
    char name[32];
    std::snprintf(name, sizeof name, "%016" PRIx64 "%s", number, kQueueSuffix);
    return settings_.directory / name;
}

void Outbox::lockFolder() {
    const std::filesystem::path path = settings_.directory / kLockName;
    lock_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock_) throw OutboxError("cannot use the queue folder " + settings_.directory.string() + ": " + systemError());
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0)
        throw OutboxError("the queue folder " + settings_.directory.string() + " is in use by another bridge");
}

void Outbox::loadState(Position &head) {
    const std::filesystem::path path = settings_.directory / kStateName;
    std::ifstream in(path);
    if (!in) return;  // a new folder
    std::string word;
    bool headRead = false, droppedRead = false;
    while (in >> word) {
        if (word == "head" && in >> head.file >> head.offset) headRead = true;
        else if (word == "dropped" && in >> dropped_) droppedRead = true;
        else break;
    }
    if (!headRead || !droppedRead) {
        warn_("the queue state " + path.string() + " is damaged: every queued event is sent again" +
              (droppedRead ? "" : ", and the dropped count starts again at 0"));
        if (!droppedRead) dropped_ = 0;
        head = {};
    }
}

void Outbox::recoverFiles(Position &head) {
    std::vector<std::uint64_t> numbers;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(settings_.directory, error))
        if (auto number = queueFileNumber(entry.path().filename().string()); number && entry.is_regular_file())
            numbers.push_back(*number);
    if (error) throw OutboxError("cannot list the queue folder " + settings_.directory.string() + ": " + error.message());
    std::sort(numbers.begin(), numbers.end());

    for (const std::uint64_t number : numbers) {
        if (number < head.file) {
            // Wholly sent before the last stop, which did not get to remove it.
            std::filesystem::remove(fileName(number), error);
            continue;
        }
        if (files_.empty() && number != head.file) head = {number, 0};
        QueueFile file{number, 0};
        const bool isHead = number == head.file;
        std::uint64_t from = isHead ? head.offset : 0;
        waiting_ += recoverFile(file, from);
        if (isHead && from != head.offset) {
            warn_("the queue's head (byte " + std::to_string(head.offset) + " of " + fileName(number).string() +
                  ") is not at an event; it moves to byte " + std::to_string(from));
            head.offset = from;
        }
        files_.push_back(file);
    }
    sendPosition_ = head;
}

std::uint64_t Outbox::recoverFile(QueueFile &file, std::uint64_t &from) {
    const std::filesystem::path path = fileName(file.number);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) throw OutboxError("cannot open the queue file " + path.string() + ": " + systemError());
    std::string window;
    std::uint64_t windowStart = 0;
    std::uint64_t position = 0;  // where the next record starts
    std::uint64_t records = 0;
    std::optional<std::uint64_t> firstFrom;
    bool atEnd = false;
    for (;;) {
        const std::size_t consumed = static_cast<std::size_t>(position - windowStart);
        const std::string_view rest(window.data() + consumed, window.size() - consumed);
        if (rest.empty() && atEnd) break;
        std::size_t recordBytes = 0;
        const RecordStatus status = rest.empty() ? RecordStatus::Partial : readRecord(rest, nullptr, recordBytes);
        if (status == RecordStatus::Whole) {
            if (position >= from) {
                if (!firstFrom) firstFrom = position;
                ++records;
            }
            position += recordBytes;
            continue;
        }
        if (status == RecordStatus::Partial && !atEnd) {
            window.erase(0, consumed);
            windowStart = position;
            const std::size_t want = std::max(kReadChunk, recordBytes > window.size() ? recordBytes - window.size() : 0);
            const std::size_t had = window.size();
            window.resize(had + want);
            const ssize_t got = readAllAt(fd.get(), window.data() + had, want, windowStart + had);
            if (got < 0) throw OutboxError("cannot read the queue file " + path.string() + ": " + systemError());
            window.resize(had + static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < want) atEnd = true;
            continue;
        }
        // Damaged, or cut short by a write that never finished: the rest of the file goes.
        struct stat about {};
        ::fstat(fd.get(), &about);
        const std::uint64_t skipped = static_cast<std::uint64_t>(about.st_size) - position;
        warn_("the queue file " + path.string() +
              (status == RecordStatus::Damaged ? " is damaged at byte " : " ends inside an event at byte ") +
              std::to_string(position) + ": its last " + std::to_string(skipped) + " bytes are skipped");
        if (::ftruncate(fd.get(), static_cast<off_t>(position)) != 0)
            throw OutboxError("cannot cut the damaged queue file " + path.string() + ": " + systemError());
        break;
    }
    file.bytes = position;
    from = firstFrom.value_or(position);
    return records;
}

void Outbox::openTail() {
    if (files_.empty()) {
        const std::uint64_t number = std::max<std::uint64_t>(1, sendPosition_.file + 1);
        tail_.reset(::open(fileName(number).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!tail_) throw OutboxError("cannot make a queue file in " + settings_.directory.string() + ": " + systemError());
        files_.push_back({number, 0});
        sendPosition_ = {number, 0};
        return;
    }
    tail_.reset(::open(fileName(files_.back().number).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!tail_) throw OutboxError("cannot open the queue file " + fileName(files_.back().number).string() + ": " +
                                  systemError());
}

void Outbox::startNewTail() {
    const std::uint64_t number = files_.back().number + 1;
    UniqueFd next(::open(fileName(number).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!next) {
        warn_("cannot make the queue file " + fileName(number).string() + ": " + systemError() +
              "; the current one grows instead");
        return;
    }
    tail_ = std::move(next);
    files_.push_back({number, 0});
}

const Outbox::QueueFile *Outbox::findFile(std::uint64_t number) const {
    for (const QueueFile &file : files_)
        if (file.number == number) return &file;
    return nullptr;
}

void Outbox::settle(Position &position) const {
    for (std::size_t i = 0; i + 1 < files_.size(); ++i)
        if (files_[i].number == position.file && position.offset >= files_[i].bytes) position = {files_[i + 1].number, 0};
}

void Outbox::append(std::string_view topic, std::string_view payload) {
    if (topic.size() > 0xFFFF || 2 + topic.size() + payload.size() > kMaxRecordBodyBytes) {
        warn_("an event for " + std::string(topic.substr(0, 200)) + " is too large to queue; it is dropped");
        ++dropped_;
        return;
    }
    if (size() >= settings_.limit) dropOldest();
    const QueueFile &tail = files_.back();
    // Only a tail that took everything buffered is closed: a failing disk would otherwise make file after file.
    if (tail.bytes + buffered_.size() >= settings_.fileBytes && tail.bytes + buffered_.size() > 0 && flush())
        startNewTail();
    appendRecord(buffered_, topic, payload);
    ++bufferedCount_;
    ++waiting_;
    if (writeFailing_ && buffered_.size() > settings_.unwrittenBytes) {
        // One out for each one in: the oldest on disk go first, and a file of them all gone gives its room back.
        const std::uint64_t before = dropped_;
        dropOldest();
        droppedWhileFailing_ += dropped_ - before;
    }
}

bool Outbox::flush() {
    if (buffered_.empty()) return true;
    QueueFile &tail = files_.back();
    std::size_t written = 0;
    if (!writeAll(settings_.write, tail_.get(), buffered_.data(), buffered_.size(), written)) {
        const std::string reason = systemError();
        // The whole records that went out stay; a torn one after them is cut away again,
        // and the rest wait in memory for the next try.
        std::size_t whole = 0, records = 0, recordBytes = 0;
        while (readRecord(std::string_view(buffered_).substr(whole), nullptr, recordBytes) == RecordStatus::Whole &&
               whole + recordBytes <= written) {
            whole += recordBytes;
            ++records;
        }
        const QueueFile kept{tail.number, tail.bytes + whole};
        if (::ftruncate(tail_.get(), static_cast<off_t>(kept.bytes)) != 0) {
            warnNow("cut", "cannot cut back the queue file " + fileName(tail.number).string() + ": " + systemError());
            startNewTail();  // the torn end stays behind the records that count
        }
        for (QueueFile &file : files_)
            if (file.number == kept.number) file.bytes = kept.bytes;
        buffered_.erase(0, whole);
        bufferedCount_ -= records;
        writeFailing_ = true;
        warnNow("write", "cannot write the queue file " + fileName(tail.number).string() + ": " + reason + "; " +
                             std::to_string(bufferedCount_) + " events wait in memory until it can be written");
        return false;
    }
    tail.bytes += buffered_.size();
    if (writeFailing_) {
        writeFailing_ = false;
        warnNow("written", "the queue is written again (" + std::to_string(bufferedCount_) +
                               " events held in memory are on disk; " + std::to_string(droppedWhileFailing_) +
                               " dropped meanwhile)");
        droppedWhileFailing_ = 0;
    }
    buffered_.clear();
    bufferedCount_ = 0;
    return true;
}

void Outbox::warnNow(const std::string &kind, const std::string &text) {
    const auto now = std::chrono::steady_clock::now();
    auto found = warned_.find(kind);
    if (found != warned_.end() && now - found->second < kRepeatWarning) return;
    warned_[kind] = now;
    warn_(text);
}

OutboxMessage Outbox::readAt(const Position &position, std::size_t &recordBytes, bool wantMessage) {
    const QueueFile *file = findFile(position.file);
    if (!file || position.offset >= file->bytes)
        throw OutboxError("the queue lost its place in " + fileName(position.file).string());
    if (!readFd_ || readFile_ != position.file) {
        readFd_.reset(::open(fileName(position.file).c_str(), O_RDONLY | O_CLOEXEC));
        if (!readFd_) throw OutboxError("cannot open the queue file " + fileName(position.file).string() + ": " +
                                        systemError());
        readFile_ = position.file;
        readBuffer_.clear();
        readStart_ = 0;
    }
    OutboxMessage message;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const bool inWindow = position.offset >= readStart_ && position.offset < readStart_ + readBuffer_.size();
        if (inWindow) {
            const std::size_t at = static_cast<std::size_t>(position.offset - readStart_);
            const RecordStatus status = readRecord(std::string_view(readBuffer_).substr(at),
                                                   wantMessage ? &message : nullptr, recordBytes);
            if (status == RecordStatus::Whole) return message;
            if (status == RecordStatus::Damaged) break;
        }
        // Only written bytes are read, so the window never holds a record still being written.
        const std::uint64_t available = file->bytes - position.offset;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(available, std::max(kReadChunk, recordBytes)));
        readBuffer_.resize(want);
        const ssize_t got = readAllAt(readFd_.get(), readBuffer_.data(), want, position.offset);
        if (got < 0) throw OutboxError("cannot read the queue file " + fileName(position.file).string() + ": " +
                                       systemError());
        readBuffer_.resize(static_cast<std::size_t>(got));
        readStart_ = position.offset;
    }
    throw OutboxError("the queue file " + fileName(position.file).string() + " changed under the bridge at byte " +
                      std::to_string(position.offset));
}

std::optional<Outbox::Entry> Outbox::next() {
    if (waiting_ == 0) return std::nullopt;
    settle(sendPosition_);
    // Events are handed out from disk only: one held in memory waits for its write.
    auto atEnd = [&] { return sendPosition_.file == files_.back().number && sendPosition_.offset >= files_.back().bytes; };
    if (atEnd()) {
        flush();
        settle(sendPosition_);
        if (atEnd()) return std::nullopt;
    }
    std::size_t recordBytes = 0;
    OutboxMessage message = readAt(sendPosition_, recordBytes, true);
    handed_.push_back({nextIndex_, sendPosition_, static_cast<std::uint32_t>(recordBytes)});
    sendPosition_.offset += recordBytes;
    --waiting_;
    return Entry{nextIndex_++, std::move(message)};
}

void Outbox::acknowledge(std::uint64_t index) {
    if (handed_.empty() || index < handed_.front().index) return;
    const std::uint64_t at = index - handed_.front().index;
    if (at >= handed_.size()) return;
    handed_[static_cast<std::size_t>(at)].acknowledged = true;
    while (!handed_.empty() && handed_.front().acknowledged) handed_.pop_front();
}

void Outbox::dropOldest() {
    if (!handed_.empty()) {
        // Handed out already: the client library holds it and sends it, so it is not lost.
        handed_.pop_front();
        return;
    }
    if (waiting_ == 0) return;
    settle(sendPosition_);
    auto atEnd = [&] { return sendPosition_.file == files_.back().number && sendPosition_.offset >= files_.back().bytes; };
    if (atEnd()) {
        flush();
        settle(sendPosition_);
        if (atEnd()) {
            dropOldestUnwritten();
            return;
        }
    }
    std::size_t recordBytes = 0;
    readAt(sendPosition_, recordBytes, false);
    sendPosition_.offset += recordBytes;
    --waiting_;
    ++nextIndex_;
    ++dropped_;
}

void Outbox::dropOldestUnwritten() {
    std::size_t recordBytes = 0;
    if (readRecord(buffered_, nullptr, recordBytes) != RecordStatus::Whole) return;  // never: built here
    buffered_.erase(0, recordBytes);
    --bufferedCount_;
    --waiting_;
    ++nextIndex_;
    ++dropped_;
}

void Outbox::rotateDelivered(Position &head) {
    const QueueFile &tail = files_.back();
    if (tail.bytes == 0 || !(head == Position{tail.number, tail.bytes})) return;
    const std::uint64_t before = files_.size();
    startNewTail();
    if (files_.size() == before) return;
    head = {files_.back().number, 0};
    if (sendPosition_.file == tail.number) sendPosition_ = head;
}

bool Outbox::writeState(const Position &head) {
    if (!state_) {
        const std::filesystem::path path = settings_.directory / kStateName;
        state_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!state_) {
            warnNow("state", "cannot open the queue state " + path.string() + ": " + systemError());
            return false;
        }
    }
    char text[kStateBytes + 1];
    int length = std::snprintf(text, sizeof text, "head %" PRIu64 " %" PRIu64 "\ndropped %" PRIu64 "\n", head.file,
                               head.offset, dropped_);
    if (length < 0 || static_cast<std::size_t>(length) >= kStateBytes) return false;  // never: three numbers
    std::memset(text + length, ' ', kStateBytes - 1 - static_cast<std::size_t>(length));
    text[kStateBytes - 1] = '\n';
    // Rewritten in place, the block needs no new room on a full disk.
    ssize_t written;
    do written = ::pwrite(state_.get(), text, kStateBytes, 0);
    while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(kStateBytes)) {
        warnNow("state", "cannot save the queue state in " + (settings_.directory / kStateName).string() + ": " +
                             (written < 0 ? systemError() : std::string("short write")));
        return false;
    }
    struct stat about {};
    if (::fstat(state_.get(), &about) == 0 && static_cast<std::size_t>(about.st_size) > kStateBytes)
        (void)::ftruncate(state_.get(), static_cast<off_t>(kStateBytes));
    return true;
}

void Outbox::save() {
    flush();
    Position head = handed_.empty() ? sendPosition_ : handed_.front().position;
    settle(head);
    rotateDelivered(head);
    if (stateSaved_ && head == savedHead_ && dropped_ == savedDropped_) return;
    if (!writeState(head)) return;
    savedHead_ = head;
    savedDropped_ = dropped_;
    stateSaved_ = true;
    // Files wholly behind the head have been delivered.
    std::error_code error;
    bool removed = false;
    while (files_.size() > 1 && files_.front().number < head.file) {
        if (readFile_ == files_.front().number) readFd_.reset();
        std::filesystem::remove(fileName(files_.front().number), error);
        files_.pop_front();
        removed = true;
    }
    if (removed && writeFailing_) flush();  // the room given back may take what waits in memory
}

}  // namespace ks318::bridge
