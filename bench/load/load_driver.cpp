// The load driver: 1,024 terminals played by a crowd in a child process.
//   P4: the terminals connect and finish the handshake, against a plain accept
//       loop answering the same handshake; and the server's resident memory per
//       connected terminal.
//   P2: one full-screen image to each terminal from 2 host threads, against 2
//       plain writers over the same connections.
//   P7: one picture file shown on every terminal: by the dashboard's picture
//       action on all of them, against one conversion (kq_convertimgfromfile)
//       and its broadcast with kq_sendimage from 2 host threads; with the same
//       broadcast of an image converted beforehand, and kq_sendimgfromfile to
//       each terminal (a conversion per terminal), for comparison.
//   P8: the whole table connects at the same moment (every connect issued
//       before any greeting is read) until every terminal has received 27,
//       against a plain accept loop with the same listen backlog answering the
//       same handshake; with a plain event loop and a plain thread per
//       terminal beside them, to show what the library's thread per terminal
//       costs. The sides take turns going first.
// Prints one JSON object with every round's times (an empty list for a figure
// not run). Usage: load_driver [rounds [FIGURE...]], FIGURE one of P2 P4 P7 P8
// (P2 and P4 come from the same sessions; without FIGUREs, all).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/crowd.h"
#if KS318_BENCH_DASHBOARD
#include "bench/load/dashboard_side.h"
#endif
#include "bench/support/bench_session.h"
#include "bench/support/sample_pictures.h"
#include "image/image_commands.h"
#include "port/poller.h"
#include "port/process.h"
#include "server/connection.h"
#include "server/server.h"
#include "sim/wire.h"

namespace ks318::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTerminals = 1024;
constexpr int kHostThreads = 2;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

class CrowdControl {
public:
    explicit CrowdControl(port::SocketHandle socket) : socket_(socket) {}

    void tell(const std::string &line) {
        const std::string text = line + "\n";
        plainWrite(socket_, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
    }
    // The next answer line, empty when the crowd is gone or silent for a minute.
    std::string hear() {
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            if (port::waitReadable(socket_, 60000) <= 0) return {};
            char buffer[256];
            const int count = port::receiveSome(socket_, buffer, sizeof buffer);
            if (count <= 0) return {};
            pending_.append(buffer, static_cast<std::size_t>(count));
        }
    }
    // The number after `word` in the next answer, -1 for any other answer.
    std::int64_t hearNumber(const std::string &word) {
        const std::string line = hear();
        if (line.rfind(word + " ", 0) != 0) {
            std::fprintf(stderr, "crowd answered '%s' instead of %s\n", line.c_str(), word.c_str());
            return -1;
        }
        return std::strtoll(line.c_str() + word.size() + 1, nullptr, 10);
    }

private:
    port::SocketHandle socket_;
    std::string pending_;
};

// The handshake as the plain servers answer it: 19 out, 20 and its word in
// (11 bytes), then 21 (payload 1) and 27 in one write.
void answerHandshake(port::SocketHandle socket) {
    static const sim::Bytes identify = sim::encodeFrame(19, sim::Bytes{});
    static const sim::Bytes accepted =
        sim::concat({sim::encodeFrame(21, sim::le32(1)), sim::encodeFrame(27, sim::Bytes{})});
    plainWrite(socket, identify.data(), identify.size());
    std::uint8_t answer[11];
    int got = 0;
    while (got < 11) {
        const int count = port::receiveSome(socket, answer + got, 11 - got);
        if (count <= 0) return;
        got += count;
    }
    plainWrite(socket, accepted.data(), accepted.size());
}

// A plain accept loop on a listener with the library's backlog, answering the
// handshake of one connection after another; or, with a thread per terminal,
// starting a thread per connection that answers its handshake and nothing else,
// as the library watches each terminal on its own thread: what that costs when
// the whole table comes at once. The connections stay open until the object goes.
class PlainAcceptServer {
public:
    enum class Answering { OneAfterAnother, ThreadPerTerminal };
    explicit PlainAcceptServer(Answering answering) : answering_(answering), thread_([this] { run(); }) {}
    ~PlainAcceptServer() {
        thread_.join();
        for (std::thread &answering : answeringThreads_) answering.join();
        for (port::SocketHandle socket : accepted_) port::closeSocket(socket);
    }
    int port() const { return listener_.port(); }

private:
    void run() {
        for (int i = 0; i < kTerminals; ++i) {
            const port::SocketHandle socket = listener_.accept();
            if (socket == port::kNoSocket) return;
            accepted_.push_back(socket);
            if (answering_ == Answering::ThreadPerTerminal)
                answeringThreads_.emplace_back([socket] { answerHandshake(socket); });
            else
                answerHandshake(socket);
        }
    }

    const Answering answering_;
    PlainListener listener_;
    std::vector<port::SocketHandle> accepted_;
    std::vector<std::thread> answeringThreads_;
    std::thread thread_;  // last: it starts once everything it uses is there
};

// A plain event loop on one thread, on a listener with the library's backlog,
// doing the same handshake without a thread per terminal: 19 as soon as a
// connection is accepted, and 21 and 27 in one write once its 20 and
// identification word (11 bytes) are in. One event loop over every
// connection, so no terminal's answer waits for another's. It ends once every
// terminal is answered (or when it goes); the connections stay open until then.
class PlainEventHandshakeServer {
public:
    PlainEventHandshakeServer() : thread_([this] { run(); }) {}
    ~PlainEventHandshakeServer() {
        stop_ = true;
        thread_.join();
        for (const Pending &connection : connections_) port::closeSocket(connection.socket);
    }
    int port() const { return listener_.port(); }

private:
    static constexpr std::uint64_t kListenerTag = ~std::uint64_t{0};
    static constexpr int kAnswerBytes = 11;  // 20's header and its 4-byte word
    struct Pending {
        port::SocketHandle socket;
        int received = 0;
    };

    void run() {
        const sim::Bytes identify = sim::encodeFrame(19, sim::Bytes{});
        const sim::Bytes accepted = sim::concat({sim::encodeFrame(21, sim::le32(1)), sim::encodeFrame(27, sim::Bytes{})});
        port::Poller poller;
        if (!poller.valid() || !poller.add(listener_.handle(), kListenerTag)) return;
        std::vector<std::uint64_t> ready(256);
        std::uint8_t buffer[256];
        int answered = 0;
        while (!stop_ && answered < kTerminals) {
            const int count = poller.wait(ready.data(), static_cast<int>(ready.size()), 100);
            if (count < 0) return;
            for (int i = 0; i < count; ++i) {
                const std::uint64_t tag = ready[static_cast<std::size_t>(i)];
                if (tag == kListenerTag) {
                    const port::SocketHandle socket = listener_.accept();
                    if (socket == port::kNoSocket) return;
                    connections_.push_back({socket});
                    plainWrite(socket, identify.data(), identify.size());
                    poller.add(socket, connections_.size() - 1);
                    continue;
                }
                Pending &connection = connections_[tag];
                const int got = port::receiveSome(connection.socket, buffer, sizeof buffer);
                if (got <= 0) {
                    poller.remove(connection.socket);
                    continue;
                }
                const bool waiting = connection.received < kAnswerBytes;
                connection.received += got;
                if (waiting && connection.received >= kAnswerBytes) {
                    plainWrite(connection.socket, accepted.data(), accepted.size());
                    ++answered;
                }
            }
        }
    }

    PlainListener listener_{ServerLimits{}.backlog};
    std::vector<Pending> connections_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One P8 side: the crowd connects all at once to the port; milliseconds until
// every terminal has received 27, -1 on a failure. The crowd closes them after.
double rushRound(CrowdControl &crowd, int port) {
    crowd.tell("rush " + std::to_string(port));
    const std::int64_t ns = crowd.hearNumber("identified");
    crowd.tell("close");
    if (crowd.hear() != "closed" || ns < 0) return -1;
    return static_cast<double>(ns) / 1e6;
}

const sim::Bytes &imageFrame(std::vector<std::uint8_t> &palette, std::vector<std::uint8_t> &pixels) {
    static sim::Bytes frame;
    palette.assign(image::kPaletteBytes, 0);
    pixels.assign(130560, 0);
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<std::uint8_t>(i * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i % 233);
    frame = sim::encodeFrame(image::kFullScreenImageCode, static_cast<std::int32_t>(palette.size() + pixels.size()),
                             sim::concat({palette, pixels}));
    return frame;
}

// The picture P7 shows: a 1920 × 1080 photo-like JPEG (as P3's), in a
// temporary directory of its own.
class SamplePicture {
public:
    SamplePicture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ks318-load-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        directory_ = pattern;
        const std::string path = (directory_ / "photo.jpg").string();
        if (writeJpeg(path, photoLikeScene(1920, 1080), 1920, 1080, 90)) path_ = path;
    }
    ~SamplePicture() {
        std::error_code error;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
    }
    SamplePicture(const SamplePicture &) = delete;
    SamplePicture &operator=(const SamplePicture &) = delete;
    const std::string &path() const { return path_; }

private:
    std::filesystem::path directory_;
    std::string path_;
};

// One image to every terminal from 2 threads, each taking half of the numbers,
// after `prepare` (timed too; false ends the round as failed); milliseconds until
// the crowd has read the last byte, -1 on a failure.
template <class Prepare, class Send>
double preparedImageRound(CrowdControl &crowd, std::size_t frameBytes, Prepare &&prepare, Send &&send) {
    crowd.tell("expect " + std::to_string(frameBytes * kTerminals));
    if (crowd.hear() != "ok") return -1;
    const std::int64_t start = nowNs();
    if (!prepare()) return -1;
    bool failed = false;
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int number = 1 + t; number <= kTerminals; number += kHostThreads)
                if (!send(number)) failed = true;
        });
    }
    for (std::thread &host : hosts) host.join();
    const std::int64_t end = crowd.hearNumber("drained");
    return failed || end < 0 ? -1 : static_cast<double>(end - start) / 1e6;
}

template <class Send>
double imageRound(CrowdControl &crowd, std::size_t frameBytes, Send &&send) {
    return preparedImageRound(crowd, frameBytes, [] { return true; }, send);
}

std::string list(const std::vector<double> &values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + std::to_string(values[i]);
    return out + "]";
}

int drive(CrowdControl &crowd, int rounds, const std::set<std::string> &figures) {
    const auto wanted = [&](const char *figure) { return figures.empty() || figures.count(figure) > 0; };
    std::vector<double> libraryConnect, plainConnect, libraryImages, plainImages, libraryRush, plainRush;
    std::vector<double> eventLoopRush, threadPerTerminalRush;
    std::vector<double> readyPictures, convertOncePictures, dashboardPictures, perTerminalPictures;
    double rssPerTerminal = -1;
    std::vector<std::uint8_t> palette, pixels;
    const sim::Bytes &frame = imageFrame(palette, pixels);
    const SamplePicture picture;
    if (picture.path().empty()) return 1;
    // P7's image converted beforehand (its ready side), and the buffers its
    // convert-once side converts into within the timed round.
    std::vector<std::uint8_t> readyPalette(KQ_PALETTE_BYTES), readyPixels(KQ_PIXELS_OTHER);
    std::vector<std::uint8_t> oncePalette(KQ_PALETTE_BYTES), oncePixels(KQ_PIXELS_OTHER);

    for (int round = 0; round < rounds; ++round) {
        if (wanted("P2") || wanted("P4")) {
            LibrarySession session;
            if (!session.started()) return 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const long before = port::residentKib();
            crowd.tell("connect " + std::to_string(session.port()));
            const std::int64_t ns = crowd.hearNumber("identified");
            if (ns < 0) return 1;
            libraryConnect.push_back(static_cast<double>(ns) / 1e6);
            while (globalServer().terminals().count() < kTerminals) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (round == 0) {
                // Settled: every connection thread waits for its terminal's next frame.
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                rssPerTerminal = static_cast<double>(port::residentKib() - before) / kTerminals;
            }
            // P2, the library and the plain writers taking turns on the same connections.
            auto librarySend = [&](int number) { return kq_sendimage(number, palette.data(), pixels.data()) == 1; };
            auto plainSend = [&](int number) {
                TerminalRef terminal = globalServer().terminals().get(number);
                return terminal && plainWrite(terminal->socket(), frame.data(), frame.size());
            };
            // The first image over a fresh connection is markedly slower (the
            // receiving side's buffers grow on it), so every connection carries
            // one untimed image first, and the sides take turns going first.
            if (imageRound(crowd, frame.size(), plainSend) < 0) return 1;
            double library, plain;
            if (round % 2 == 0) {
                library = imageRound(crowd, frame.size(), librarySend);
                plain = imageRound(crowd, frame.size(), plainSend);
            } else {
                plain = imageRound(crowd, frame.size(), plainSend);
                library = imageRound(crowd, frame.size(), librarySend);
            }
            if (library < 0 || plain < 0) return 1;
            libraryImages.push_back(library);
            plainImages.push_back(plain);

            crowd.tell("close");
            if (crowd.hear() != "closed") return 1;
        }
#if KS318_BENCH_DASHBOARD
        if (wanted("P7")) {
            // P7 in a session of its own, whose notifications go to the
            // dashboard's registry, so that its picture action knows every terminal.
            DashboardSide dashboard(picture.path());
            if (!dashboard.ready()) return 1;
            LibrarySession session(dashboard.target());
            if (!session.started()) return 1;
            crowd.tell("connect " + std::to_string(session.port()));
            if (crowd.hearNumber("identified") < 0) return 1;
            while (globalServer().terminals().count() < kTerminals || dashboard.terminals() < kTerminals)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            // The crowd's terminals share one model, so one conversion serves all.
            const std::int32_t model = KQ_IDENT_MODEL(kq_getident(1));
            const std::int32_t count =
                kq_convertimgfromfile(picture.path().c_str(), model, readyPalette.data(), readyPixels.data());
            if (count <= 0) return 1;
            const std::size_t pictureFrame = 7 + KQ_PALETTE_BYTES + static_cast<std::size_t>(count);
            const auto nothing = [] { return true; };
            const auto sendNothing = [](int) { return true; };
            const auto convertOnce = [&] {
                return kq_convertimgfromfile(picture.path().c_str(), model, oncePalette.data(), oncePixels.data()) > 0;
            };
            const auto sendReady = [&](int number) {
                return kq_sendimage(number, readyPalette.data(), readyPixels.data()) == 1;
            };
            const auto sendOnce = [&](int number) {
                return kq_sendimage(number, oncePalette.data(), oncePixels.data()) == 1;
            };
            const auto sendFromFile = [&](int number) { return kq_sendimgfromfile(number, picture.path().c_str()) == 1; };
            const auto dashboardAction = [&] { return dashboard.showPictureOnAll(); };
            // Every connection carries one untimed image first (see P2); then
            // the four sides in turn, each round starting with another one.
            if (preparedImageRound(crowd, pictureFrame, nothing, sendReady) < 0) return 1;
            double sides[4] = {-1, -1, -1, -1};
            for (int k = 0; k < 4; ++k) {
                const int side = (round + k) % 4;
                if (side == 0) sides[0] = preparedImageRound(crowd, pictureFrame, nothing, sendReady);
                if (side == 1) sides[1] = preparedImageRound(crowd, pictureFrame, convertOnce, sendOnce);
                if (side == 2) sides[2] = preparedImageRound(crowd, pictureFrame, dashboardAction, sendNothing);
                if (side == 3) sides[3] = preparedImageRound(crowd, pictureFrame, nothing, sendFromFile);
                if (sides[side] < 0) return 1;
            }
            if (oncePixels != readyPixels || oncePalette != readyPalette) return 1;
            readyPictures.push_back(sides[0]);
            convertOncePictures.push_back(sides[1]);
            dashboardPictures.push_back(sides[2]);
            perTerminalPictures.push_back(sides[3]);
            crowd.tell("close");
            if (crowd.hear() != "closed") return 1;
        }
#endif
        if (wanted("P2") || wanted("P4")) {
            PlainAcceptServer plain(PlainAcceptServer::Answering::OneAfterAnother);
            crowd.tell("connect " + std::to_string(plain.port()));
            const std::int64_t ns = crowd.hearNumber("identified");
            if (ns < 0) return 1;
            plainConnect.push_back(static_cast<double>(ns) / 1e6);
            crowd.tell("close");
            if (crowd.hear() != "closed") return 1;
        }
        if (wanted("P8")) {
            // The sides take turns going first, round by round.
            const std::function<double()> sides[] = {
                [&] {
                    LibrarySession session;
                    return session.started() ? rushRound(crowd, session.port()) : -1;
                },
                [&] {
                    PlainAcceptServer server(PlainAcceptServer::Answering::OneAfterAnother);
                    return rushRound(crowd, server.port());
                },
                [&] {
                    PlainEventHandshakeServer server;
                    return rushRound(crowd, server.port());
                },
                [&] {
                    PlainAcceptServer server(PlainAcceptServer::Answering::ThreadPerTerminal);
                    return rushRound(crowd, server.port());
                },
            };
            constexpr int kSides = static_cast<int>(std::size(sides));
            double ms[kSides];
            for (int turn = 0; turn < kSides; ++turn) {
                const int side = (round + turn) % kSides;
                ms[side] = sides[side]();
                if (ms[side] < 0) return 1;
            }
            libraryRush.push_back(ms[0]);
            plainRush.push_back(ms[1]);
            eventLoopRush.push_back(ms[2]);
            threadPerTerminalRush.push_back(ms[3]);
        }
    }
    std::printf("{\n  \"terminals\": %d,\n  \"P4_library_ms\": %s,\n  \"P4_plain_ms\": %s,\n"
                "  \"P4_rss_per_terminal_kib\": %.2f,\n  \"P2_library_ms\": %s,\n  \"P2_plain_ms\": %s,\n"
                "  \"P7_ready_ms\": %s,\n  \"P7_convert_once_ms\": %s,\n  \"P7_dashboard_ms\": %s,\n"
                "  \"P7_per_terminal_ms\": %s,\n  \"P8_library_ms\": %s,\n  \"P8_plain_ms\": %s,\n"
                "  \"P8_event_loop_ms\": %s,\n  \"P8_thread_per_terminal_ms\": %s\n}\n",
                kTerminals, list(libraryConnect).c_str(), list(plainConnect).c_str(), rssPerTerminal,
                list(libraryImages).c_str(), list(plainImages).c_str(), list(readyPictures).c_str(),
                list(convertOncePictures).c_str(), list(dashboardPictures).c_str(), list(perTerminalPictures).c_str(),
                list(libraryRush).c_str(), list(plainRush).c_str(), list(eventLoopRush).c_str(),
                list(threadPerTerminalRush).c_str());
    return 0;
}

}  // namespace
}  // namespace ks318::bench

int main(int argc, char **argv) {
    using namespace ks318;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::set<std::string> figures;
    for (int i = 2; i < argc; ++i) {
        const std::string figure = argv[i];
        if (figure != "P2" && figure != "P4" && figure != "P7" && figure != "P8") {
            std::fprintf(stderr, "usage: load_driver [rounds [P2|P4|P7|P8]...]\n");
            return 2;
        }
        figures.insert(figure);
    }
    port::SocketHandle driverEnd, crowdEnd;
    if (!port::socketPair(driverEnd, crowdEnd)) return 1;
    // The crowd's process is made before this one starts any thread.
    const int child = port::startChildProcess([&] {
        port::closeSocket(driverEnd);
        return bench::runCrowd(crowdEnd, bench::kTerminals);
    });
    if (child < 0) return 1;
    port::closeSocket(crowdEnd);
    bench::CrowdControl crowd(driverEnd);
    const int result = bench::drive(crowd, rounds, figures);
    crowd.tell("quit");
    crowd.hear();
    port::waitChildProcess(child);
    return result;
}
