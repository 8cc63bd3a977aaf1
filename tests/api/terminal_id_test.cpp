// Terminal ids: a host that names terminals by id reaches the terminal it means,
// whatever other terminals do meanwhile, on every notification path (a
// KqHostTarget here, a window's messages on Windows).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318::test {
namespace {

// Sets the calling thread's addressing for one scope.
class AddressingBy {
public:
    explicit AddressingBy(int mode) : previous_(kq_addressby(mode)) {}
    ~AddressingBy() { kq_addressby(previous_); }

private:
    int previous_;
};

KqTextRecord textRecord(const std::string &text) {
    KqTextRecord record{};
    std::strncpy(record.text, text.c_str(), sizeof record.text - 1);
    return record;
}

// The text a frame of code 35 carries.
std::string textOf(const sim::Frame &frame) {
    if (frame.payload.size() < 4 + 128) return {};
    const char *text = reinterpret_cast<const char *>(frame.payload.data() + 4);
    return std::string(text, strnlen(text, 128));
}

// How many texts the churn runs for: a sanitizer or an emulator runs far slower.
int churnTexts() {
#if defined(_WIN32)
    return 6000;
#elif defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return 6000;
#else
    return 50000;
#endif
}

// One simulated terminal of the churn: it types its own key and checks that
// every text and fill it receives is its own.
struct TypingTerminal {
    char key = 0;
    std::unique_ptr<sim::SimTerminal> link;
    std::atomic<int> ownTexts{0};
    std::atomic<int> foreignTexts{0};
    std::atomic<int> ownFills{0};
    std::atomic<int> foreignFills{0};
    std::atomic<bool> typing{true};
    std::thread typist;
};

// The host: its handlers learn the terminal of each notification by id and hand
// the echo to host threads, which send it later, as hosts do (a queue, an event
// loop): by then other terminals may have left and numbers moved.
class EchoHost {
public:
    explicit EchoHost(HostRecorder &host, bool byNumber) : byNumber_(byNumber) {
        host.onPosted([this](const Notification &n) { onLink(n); });
        host.onData([this](const Notification &n) { onData(n); });
        for (int i = 0; i < 2; ++i) workers_.emplace_back([this] { work(); });
    }
    ~EchoHost() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread &worker : workers_) worker.join();
    }

    int failedSends() const { return failed_.load(); }
    int unknownNotifications() const { return unknown_.load(); }
    int linkMismatches() const { return linkMismatches_.load(); }
    std::set<int> connected() const {
        std::lock_guard lock(mutex_);
        return connected_;
    }
    std::set<int> departed() const {
        std::lock_guard lock(mutex_);
        return departed_;
    }

private:
    struct Echo {
        int terminal;  // an id, or a number for the host that names terminals by number
        int key;
    };

    void onLink(const Notification &n) {
        const int id = kq_notifiedterminal(n.message, n.wParam, n.lParam);
        if (id == 0) {
            unknown_.fetch_add(1);
            return;
        }
        std::lock_guard lock(mutex_);
        if (n.isConnect()) {
            if (!connected_.insert(id).second) linkMismatches_.fetch_add(1);
            // The terminal's version tells the test which one it is: its screen is
            // filled with that index, and it checks it got its own.
            AddressingBy ids(KQ_ADDRESS_BY_ID);
            kq_fillscreen(id, KQ_IDENT_VERSION(kq_getident(id)));
        } else if (n.isDisconnect()) {
            if (connected_.count(id) == 0 || !departed_.insert(id).second) linkMismatches_.fetch_add(1);
        }
    }

    void onData(const Notification &n) {
        if (!n.isData(KQ_NOTIFY_KEY)) return;
        const int id = kq_notifiedterminal(n.message, n.wParam, n.lParam);
        if (id == 0) {
            unknown_.fetch_add(1);
            return;
        }
        const int name = byNumber_ ? kq_terminalnumber(id) : id;
        {
            std::lock_guard lock(mutex_);
            echoes_.push_back(Echo{name, static_cast<int>(n.high())});
        }
        wake_.notify_one();
    }

    void work() {
        AddressingBy mode(byNumber_ ? KQ_ADDRESS_BY_NUMBER : KQ_ADDRESS_BY_ID);
        for (;;) {
            Echo echo{};
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !echoes_.empty(); });
                if (echoes_.empty()) return;
                echo = echoes_.front();
                echoes_.pop_front();
            }
            const KqTextRecord record = textRecord(std::string("echo ") + static_cast<char>(echo.key));
            if (kq_sendtext(echo.terminal, &record) != 177) failed_.fetch_add(1);
        }
    }

    const bool byNumber_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Echo> echoes_;
    bool stopping_ = false;
    std::set<int> connected_;
    std::set<int> departed_;
    std::atomic<int> failed_{0};
    std::atomic<int> unknown_{0};
    std::atomic<int> linkMismatches_{0};
    std::vector<std::thread> workers_;
};

// 40 terminals type; 35 of them leave one by one while the others go on; the
// host echoes every key as a text to the terminal that typed it. Set
// KS318_CHURN_BY_NUMBER=1 to run the same host naming terminals by number, as
// every host had to before ids: it misdirects texts.
TEST(TerminalIds, EchoesUnderChurnReachOnlyTheirSender) {
    const bool byNumber = std::getenv("KS318_CHURN_BY_NUMBER") != nullptr;
    constexpr int kTerminals = 40, kLeaving = 35;
    const int target = churnTexts();

    ExportSession session;
    EchoHost echo(session.host(), byNumber);
    std::vector<std::unique_ptr<TypingTerminal>> terminals;
    for (int i = 0; i < kTerminals; ++i) {
        auto terminal = std::make_unique<TypingTerminal>();
        terminal->key = static_cast<char>('A' + i);
        sim::Identity identity;
        identity.version = static_cast<std::uint8_t>(100 + i);
        TypingTerminal &own = *terminal;
        terminal->link = std::make_unique<sim::SimTerminal>(identity);
        terminal->link->observeFrames([&own](sim::SimTerminal::Direction direction, const sim::Frame &frame) {
            if (direction != sim::SimTerminal::Direction::Received) return;
            if (frame.code == 35) {
                const std::string text = textOf(frame);
                (text == std::string("echo ") + own.key ? own.ownTexts : own.foreignTexts).fetch_add(1);
            } else if (frame.code == 33 && frame.payload.size() == 2) {
                (frame.payload[0] == 100 + (own.key - 'A') ? own.ownFills : own.foreignFills).fetch_add(1);
            }
        });
        answerProbes(*terminal->link);
        ASSERT_TRUE(terminal->link->connectAndIdentify("127.0.0.1", session.port()));
        terminals.push_back(std::move(terminal));
    }
    const auto received = [&] {
        int total = 0;
        for (const auto &terminal : terminals) total += terminal->ownTexts.load() + terminal->foreignTexts.load();
        return total;
    };
    for (auto &terminal : terminals) {
        TypingTerminal *own = terminal.get();
        own->typist = std::thread([own] {
            while (own->typing.load()) {
                if (!own->link->send(53, {static_cast<std::uint8_t>(own->key)})) return;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }

    // Departures spread over the run: one each time another share of the texts has come.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    int left = 0;
    while (received() < target && std::chrono::steady_clock::now() < deadline) {
        if (left < kLeaving && received() >= (left + 1) * target / (kLeaving + 1)) {
            TypingTerminal &leaving = *terminals[static_cast<std::size_t>(left++)];
            leaving.typing = false;
            leaving.typist.join();
            leaving.link->close();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto &terminal : terminals) {
        terminal->typing = false;
        if (terminal->typist.joinable()) terminal->typist.join();
    }
    int misdirected = 0, misfilled = 0;
    for (const auto &terminal : terminals) {
        misdirected += terminal->foreignTexts.load();
        misfilled += terminal->foreignFills.load();
    }
    std::printf("texts %d, on another terminal %d, fills on another terminal %d, sends refused %d, left %d\n",
                received(), misdirected, misfilled, echo.failedSends(), left);

    EXPECT_GE(received(), target) << "the run ended on its time limit";
    EXPECT_EQ(left, kLeaving);
    EXPECT_EQ(misdirected, 0) << "texts reached a terminal that did not type their key";
    EXPECT_EQ(misfilled, 0) << "a connect handler's fill reached another terminal";
    for (int i = kLeaving; i < kTerminals; ++i)
        EXPECT_EQ(terminals[static_cast<std::size_t>(i)]->ownFills.load(), 1) << "terminal " << i << " was filled once";
    EXPECT_EQ(echo.unknownNotifications(), 0);
    EXPECT_EQ(echo.linkMismatches(), 0);

    // Every terminal connected under an id of its own, and those that left departed under it.
    EXPECT_TRUE(session.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs, kLeaving));
    session.host().all();  // everything posted so far has been handled
    EXPECT_EQ(echo.connected().size(), static_cast<std::size_t>(kTerminals));
    EXPECT_EQ(echo.departed().size(), static_cast<std::size_t>(kLeaving));
}

// A gone id names nothing, even once another terminal holds its number; ids are
// never given twice, not even after a stop and a new start.
TEST(TerminalIds, AGoneIdReachesNobodyAndIsNeverGivenAgain) {
    int firstIds[2] = {};
    {
        ExportSession session;
        auto a = session.join();
        auto b = session.join();
        const int idA = kq_terminalid(1), idB = kq_terminalid(2);
        ASSERT_GE(idA, KQ_FIRST_TERMINAL_ID);
        ASSERT_GT(idB, idA);
        EXPECT_EQ(kq_terminalnumber(idB), 2);

        a->close();
        ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
        sim::Identity other;
        other.uidText = "THIRD";
        auto c = session.join(other);  // takes number 2, which b had
        const int idC = kq_terminalid(2);
        EXPECT_EQ(kq_terminalnumber(idB), 1);
        EXPECT_EQ(kq_terminalnumber(idA), 0);
        b->clearFrames();
        c->clearFrames();

        {
            AddressingBy ids(KQ_ADDRESS_BY_ID);
            const KqTextRecord record = textRecord("for a");
            EXPECT_EQ(kq_sendtext(idA, &record), 0);
            EXPECT_EQ(std::string(kq_lastfailure()), "no terminal id " + std::to_string(idA));
            EXPECT_EQ(kq_setvolume(idA, 5), -1) << "each export keeps its own fail value";
            EXPECT_EQ(kq_ipfromid(idA), nullptr);
            EXPECT_EQ(kq_sendtext(1, &record), 0) << "a number is no id";
            EXPECT_EQ(kq_sendlive(idC), 7);
        }
        // Numbers are what they were: an id is no number.
        EXPECT_EQ(kq_sendlive(idA), 0);
        EXPECT_EQ(std::string(kq_lastfailure()), "no terminal " + std::to_string(idA));

        ASSERT_TRUE(c->waitForFrame(17, kEventWaitMs).has_value());
        EXPECT_TRUE(c->framesWithCode(35).empty());
        EXPECT_TRUE(b->frames().empty()) << "nothing meant for the gone id reached the terminal now first";

        // One listing: numbers and ids of one moment, with what each terminal said of itself.
        KqTerminalInfo entries[4] = {};
        ASSERT_EQ(kq_listterminals(entries, 4), 2);
        EXPECT_EQ(entries[0].number, 1);
        EXPECT_EQ(entries[0].id, idB);
        EXPECT_EQ(entries[1].number, 2);
        EXPECT_EQ(entries[1].id, idC);
        EXPECT_STREQ(entries[1].identifier, "THIRD");
        EXPECT_EQ(entries[1].model, 320);
        EXPECT_EQ(kq_listterminals(entries, 1), 2) << "the count, even when not all fit";
        EXPECT_EQ(kq_listterminals(nullptr, 0), 2);
        EXPECT_EQ(kq_listterminals(nullptr, 1), -1);
        firstIds[0] = idB;
        firstIds[1] = idC;
    }
    ExportSession again;
    auto d = again.join();
    EXPECT_GT(kq_terminalid(1), firstIds[1]) << "a new start goes on counting";
}

// A thread that names terminals by id is told of terminals by id: the scanning
// reads and the key buffer report ids, while other threads still get numbers.
TEST(TerminalIds, ReadsThatNameATerminalNameItById) {
    ExportSession session;
    auto first = session.join();
    auto second = session.join();
    const int idSecond = kq_terminalid(2);

    second->send(53, {'k'});
    second->send(53, {'m'});
    second->send(83, {2, 0, 'h', 'i'});
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_SERIAL0); }, kEventWaitMs));

    int32_t terminal = 0, source = 0, length = 0;
    unsigned char key = 0;
    std::uint8_t buffer[256];
    {
        AddressingBy ids(KQ_ADDRESS_BY_ID);
        ASSERT_EQ(GetSerial(&terminal, &source, buffer, &length), 1);
        EXPECT_EQ(terminal, idSecond);
        ASSERT_EQ(Get_KBD_char(&terminal, &key), 1);
        EXPECT_EQ(terminal, idSecond) << "the key's terminal by id, not its connection handle";
        EXPECT_EQ(key, 'm');
        KqConnectedTable table{};
        GetTabConectados(&table);
        EXPECT_EQ(table.number[1], idSecond);
    }
    ASSERT_EQ(Get_KBD_char(&terminal, &key), 1);
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(terminal, static_cast<int32_t>(session.record(2)->socket())) << "a number thread gets the handle, as written";
    EXPECT_EQ(kq_addressby(7), -1);
    EXPECT_EQ(kq_addressby(KQ_ADDRESS_BY_NUMBER), KQ_ADDRESS_BY_NUMBER);
}

}  // namespace
}  // namespace ks318::test
