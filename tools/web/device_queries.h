// Device queries in flight: one at a time per terminal (another is refused, so
// that repeated asks send no more frames than one) and a few at a time in all
// (each holds an HTTP worker for up to 5 s; the rest stay free for other routes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

namespace ks318::web {

class DeviceQueries {
public:
    static constexpr std::size_t kMaxInFlight = 16;

    enum class Start { started, busyTerminal, tooMany };
    Start begin(std::int32_t terminalId);
    void end(std::int32_t terminalId);

private:
    std::mutex mutex_;
    std::set<std::int32_t> inFlight_;
};

}  // namespace ks318::web
