#include "tools/common/program_start.h"

#include <pthread.h>
#include <stdlib.h>

namespace ks318::tools {

sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

std::optional<std::filesystem::path> makePrivateDirectory(const std::string &prefix) {
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) return std::nullopt;
    std::string pattern = (temporary / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;  // mode 0700
    return std::filesystem::path(pattern);
}

}  // namespace ks318::tools
