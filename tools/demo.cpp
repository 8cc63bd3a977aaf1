// A short host session: start the server on a free port, let three simulated
// terminals connect and send a little, print every notification, list the
// terminals, stop.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/sim_terminal.h"

namespace {

constexpr uint32_t kConnectMessage = 1025;
constexpr uint32_t kDataMessage = 1026;

std::mutex printMutex;
const auto startTime = std::chrono::steady_clock::now();

void printLine(const char *kind, uint32_t message, uint32_t wParam, uint32_t lParam) {
    std::lock_guard lock(printMutex);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime);
    if (message == kConnectMessage) {
        char address[16];
        KQinet_ntoa(wParam, address);
        if ((lParam & 0xFFFF) == 1) {
            std::printf("%6lld ms  %s connect     terminal %u from %s\n", static_cast<long long>(ms.count()), kind,
                        lParam >> 16, address);
        } else {
            std::printf("%6lld ms  %s disconnect  handle %u from %s\n", static_cast<long long>(ms.count()), kind,
                        lParam >> 16, address);
        }
    } else {
        std::printf("%6lld ms  %s data        code %u, handle %u, extra %u\n", static_cast<long long>(ms.count()),
                    kind, wParam, lParam & 0xFFFF, lParam >> 16);
    }
    std::fflush(stdout);
}

void onPost(void *, uint32_t message, uint32_t wParam, uint32_t lParam) { printLine("posted", message, wParam, lParam); }
void onSend(void *, uint32_t message, uint32_t wParam, uint32_t lParam) { printLine("sent  ", message, wParam, lParam); }

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main() {
    KqHostTarget target{nullptr, onPost, onSend};
    if (kq_startserverex(&target, kConnectMessage, kDataMessage, "127.0.0.1", 0) != 1) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const int port = kq_getserverport();
    std::printf("KS318 %d listening on 127.0.0.1:%d\n", kq_version(), port);

    std::vector<std::unique_ptr<ks318::sim::SimTerminal>> terminals;
    for (int i = 0; i < 3; ++i) {
        ks318::sim::Identity identity;
        identity.model = i == 1 ? 318 : 320;
        identity.uidText = "demo terminal " + std::to_string(i + 1);
        terminals.push_back(std::make_unique<ks318::sim::SimTerminal>(identity));
        if (!terminals.back()->connectAndIdentify("127.0.0.1", port)) {
            std::fprintf(stderr, "terminal %d could not connect\n", i + 1);
            return 1;
        }
    }
    pause(100);

    // A key, serial data and a card read, as terminals send them unasked.
    terminals[0]->send(53, {13});
    terminals[1]->send(83, ks318::sim::concat({ks318::sim::le16(5), {'h', 'e', 'l', 'l', 'o'}}));
    ks318::sim::Bytes card(388, 0);
    std::memcpy(card.data(), "first track", 11);
    std::memcpy(card.data() + 128, "second track", 12);
    card[384] = 3;
    terminals[2]->send(69, card);
    pause(200);

    std::vector<unsigned char> list(47108);
    kq_gettermconectados(list.data());
    int32_t count;
    std::memcpy(&count, list.data() + 47104, 4);
    std::printf("%d terminals connected:\n", count);
    for (int i = 0; i < count; ++i) {
        int32_t number, model;
        std::memcpy(&number, list.data() + 34816 + 4 * i, 4);
        std::memcpy(&model, list.data() + 43008 + 4 * i, 4);
        std::printf("  terminal %d  %-15s model %d  \"%s\"\n", number, kq_ipfromid(number), model,
                    reinterpret_cast<const char *>(list.data() + 34 * i));
    }

    terminals[1]->close();
    pause(200);
    std::printf("stopping: %d\n", kq_finishserver());
    return 0;
}
