// A Mosquitto broker for one test: Debian's mosquitto on a free loopback port
// with its own configuration and persistence folder. start() returns once it
// accepts connections; stop() lets it save its state (SIGTERM), kill() does not.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/waits.h"

extern char **environ;

namespace ks318::bridge {

class TestBroker {
public:
    explicit TestBroker(std::filesystem::path folder) : folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_ / "data");
        port_ = freePort();
        writeConfig();
    }
    ~TestBroker() { kill(); }
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

    // Tried again a few times when mosquitto ends at once (its port briefly in use elsewhere, say).
    void start() {
        for (int attempt = 1;; ++attempt) {
            try {
                startOnce();
                return;
            } catch (const std::runtime_error &) {
                if (attempt == 5) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
    }
    void stop() { end(SIGTERM); }
    void kill() { end(SIGKILL); }

private:
    void startOnce() {
        if (pid_ > 0) throw std::logic_error("the broker already runs");
        const std::string program = KS318_MOSQUITTO_BROKER;
        const std::string config = (folder_ / "mosquitto.conf").string();
        char *argv[] = {const_cast<char *>(program.c_str()), const_cast<char *>("-c"), const_cast<char *>(config.c_str()),
                        nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot run " + program);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ks318::test::kEventWaitMs);
        while (!accepts()) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("mosquitto ended at start; see " + (folder_ / "mosquitto.log").string());
            }
            if (std::chrono::steady_clock::now() >= until) {
                kill();
                throw std::runtime_error("mosquitto did not listen in time");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    static int freePort() {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
        ::close(probe);
        return ntohs(address.sin_port);
    }
    bool accepts() const {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(probe);
        return connected;
    }
    void writeConfig() const {
        const passwd *user = ::getpwuid(::getuid());
        std::ofstream config(folder_ / "mosquitto.conf", std::ios::trunc);
        config << "listener " << port_ << " 127.0.0.1\n"
               // Run as root, mosquitto would drop to its own user, who cannot write here.
               << "user " << (user ? user->pw_name : "root") << "\n"
               << "allow_anonymous true\npersistence true\n"
               << "persistence_location " << (folder_ / "data").string() << "/\n"
               << "autosave_interval 0\nmax_queued_messages 100000\n"
               << "log_dest file " << (folder_ / "mosquitto.log").string() << "\n";
    }
    void end(int how) {
        if (pid_ <= 0) return;
        ::kill(pid_, how);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::filesystem::path folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace ks318::bridge
