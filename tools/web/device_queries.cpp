#include "tools/web/device_queries.h"

namespace ks318::web {

DeviceQueries::Start DeviceQueries::begin(std::int32_t terminalId) {
    std::lock_guard lock(mutex_);
    if (inFlight_.count(terminalId) != 0) return Start::busyTerminal;
    if (inFlight_.size() >= kMaxInFlight) return Start::tooMany;
    inFlight_.insert(terminalId);
    return Start::started;
}

void DeviceQueries::end(std::int32_t terminalId) {
    std::lock_guard lock(mutex_);
    inFlight_.erase(terminalId);
}

}  // namespace ks318::web
