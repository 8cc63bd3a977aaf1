#include "port/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace ks318::port {

int startChildProcess(const std::function<int()> &body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    return child > 0 ? static_cast<int>(child) : -1;
}

int waitChildProcess(int id) {
    int status = 0;
    if (::waitpid(static_cast<pid_t>(id), &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long residentKib() {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

}  // namespace ks318::port
