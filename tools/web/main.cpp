// ks318-web: the dashboard. Starts the KS318 server for terminals and an HTTP
// server for people: a page, a JSON API over the library, and the terminals'
// events as a stream. Stops in good order on SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include "ks318.h"
#include "tools/common/number_file.h"
#include "tools/common/program_start.h"
#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/file_transfers.h"
#include "tools/web/fleet_service.h"
#include "tools/web/guarded_server.h"
#include "tools/web/http_routes.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace {

constexpr std::uint32_t kConnectMessage = 0x0401;
constexpr std::uint32_t kDataMessage = 0x0402;
constexpr std::size_t kMaxTokenBytes = 256;

std::string randomToken() {
    std::random_device random;
    std::string token;
    char piece[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(piece, sizeof piece, "%08x", static_cast<unsigned>(random()));
        token += piece;
    }
    return token;
}

// The token in the file: its first line, blanks around it taken away.
bool readToken(const std::string &path, std::string &token) {
    std::ifstream in(path);
    if (!in || !std::getline(in, token)) return false;
    const auto first = token.find_first_not_of(" \t\r");
    const auto last = token.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : token.substr(first, last - first + 1);
    return !token.empty() && token.size() <= kMaxTokenBytes;
}

bool splitHostPort(const std::string &text, std::string &host, int &port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    try {
        std::size_t used = 0;
        port = std::stoi(text.substr(colon + 1), &used);
        return used == text.size() - colon - 1 && port >= 0 && port <= 65535;
    } catch (...) {
        return false;
    }
}

// The token, alone, in a file only its owner reads.
bool writePrivateToken(const std::filesystem::path &path, const std::string &token) {
    const mode_t previous = umask(077);
    std::ofstream out(path, std::ios::trunc);
    umask(previous);
    if (!(out << token << "\n")) return false;
    out.close();
    return chmod(path.c_str(), 0600) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int terminalPort = KQ_DEFAULT_PORT;
    std::string bind;
    std::string http = "127.0.0.1:8318";
    std::string portFile, httpFile, tokenFile;
    std::uint64_t maxUpload = 16777216;
    std::string fleetUrl, fleetCredentials, fleetCaFile;
    double fleetWait = 15;
    std::vector<std::string> allowHosts;
    bool showCardNumbers = false;
    int streamKeepAlive = 15;

    CLI::App app{"The KS318 dashboard: serves terminals over TCP and a page with a JSON API and a live event\n"
                 "stream over HTTP. Every /api/ request needs the access token."};
    app.option_defaults()->always_capture_default();
    app.add_option("-p,--port", terminalPort, "terminals' TCP port; 0 takes any free port (see --port-file)")
        ->check(CLI::Range(0, 65535));
    app.add_option("-b,--bind", bind, "terminals' address to listen on; empty: every address");
    app.add_option("--http", http, "HTTP address HOST:PORT; port 0 takes any free port (see --http-file)");
    app.add_option("--port-file", portFile, "write the terminals' port to FILE once listening");
    app.add_option("--http-file", httpFile, "write the HTTP port to FILE once listening");
    app.add_option("--token-file", tokenFile,
                   "read the access token from FILE; otherwise one is made, shown when the output is a terminal "
                   "and kept in a file only you can read");
    app.add_option("--allow-host", allowHosts,
                   "a name the HTTP server may be called by (the Host header), besides its addresses and localhost; "
                   "repeatable");
    app.add_flag("--show-card-numbers", showCardNumbers, "show card texts whole (otherwise only their last four characters)");
    app.add_option("--stream-keepalive", streamKeepAlive, "seconds between keep-alive comments on an idle event stream")
        ->check(CLI::Range(1, 3600));
    app.add_option("--max-upload", maxUpload, "largest upload in bytes")->check(CLI::Range(1, 1 << 30));
    app.add_option("--fleet", fleetUrl,
                   "fleet mode: follow the sites' bridges on this MQTT 5 broker, mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    app.add_option("--fleet-credentials", fleetCredentials, "the broker's user name (first line) and password (second)");
    app.add_option("--fleet-cafile", fleetCaFile, "CA certificate(s) for an mqtts:// broker; otherwise the system's");
    app.add_option("--fleet-wait", fleetWait, "seconds a fleet action waits for the bridges' answers")
        ->check(CLI::Range(0.1, 300.0));
    CLI11_PARSE(app, argc, argv);

    std::string httpHost;
    int httpPort = 0;
    if (!splitHostPort(http, httpHost, httpPort)) {
        std::cerr << "ks318-web: --http takes HOST:PORT, not '" << http << "'\n";
        return 2;
    }
    // The --http host, when it is a name, is one the server may be called by.
    allowHosts.push_back(httpHost);
    std::string token;
    if (!tokenFile.empty()) {
        if (!readToken(tokenFile, token)) {
            std::cerr << "ks318-web: no access token (one line of at most 256 bytes) in " << tokenFile << "\n";
            return 2;
        }
    } else {
        token = randomToken();
    }
    std::optional<ks318::web::FleetOptions> fleetOptions;
    if (!fleetUrl.empty()) {
        std::string error;
        auto broker = ks318::fleet::parseBrokerUrl(fleetUrl, error);
        if (!broker) {
            std::cerr << "ks318-web: --fleet " << fleetUrl << ": " << error << "\n";
            return 2;
        }
        fleetOptions.emplace();
        fleetOptions->broker = std::move(*broker);
        if (!fleetCredentials.empty()) {
            fleetOptions->credentials = ks318::fleet::readCredentials(fleetCredentials, error);
            if (!fleetOptions->credentials) {
                std::cerr << "ks318-web: " << error << "\n";
                return 2;
            }
        }
        std::error_code missing;
        if (!fleetCaFile.empty() && !std::filesystem::is_regular_file(fleetCaFile, missing)) {
            std::cerr << "ks318-web: no CA certificate file " << fleetCaFile << "\n";
            return 2;
        }
        fleetOptions->caFile = fleetCaFile;
        fleetOptions->answerWait = std::chrono::milliseconds(static_cast<std::int64_t>(fleetWait * 1000));
    } else if (!fleetCredentials.empty() || !fleetCaFile.empty()) {
        std::cerr << "ks318-web: --fleet-credentials and --fleet-cafile go with --fleet URL\n";
        return 2;
    }

    // Signals are taken by one thread alone, which starts the stop.
    sigset_t stopSignals = ks318::tools::blockStopSignals();

    // Uploads live in a directory of the program's own, removed at the end.
    const auto privateDirectory = ks318::tools::makePrivateDirectory("ks318-web");
    if (!privateDirectory) {
        std::cerr << "ks318-web: cannot make a private directory for uploads\n";
        return 1;
    }
    const std::filesystem::path uploadDirectory = *privateDirectory;
    int status = 0;
    {
        using namespace ks318::web;
        EventHub events;
        TerminalRegistry registry(events);
        const std::filesystem::path mirrorFonts = uploadDirectory / "mirror-fonts";
        registry.setMirrorFontDirectory(mirrorFonts);
        std::error_code made;
        std::filesystem::create_directory(mirrorFonts, made);
        // Uploads beside it, in a folder of their own.
        std::filesystem::create_directory(uploadDirectory / "uploads", made);
        UploadStore uploads(uploadDirectory / "uploads", maxUpload);
        FileTransfers transfers(events);  // outlives the server's stop
        ActionRunner actions(registry, uploads, transfers, events, mirrorFonts);
        std::unique_ptr<FleetService> fleet;
        if (fleetOptions) fleet = std::make_unique<FleetService>(std::move(*fleetOptions), events, uploads);
        std::string fleetError;

        if (fleet && !fleet->start(fleetError)) {
            std::cerr << "ks318-web: fleet mode cannot start: " << fleetError << "\n";
            status = 1;
        } else if (kq_startserverex(registry.target(), kConnectMessage, kDataMessage, bind.c_str(), terminalPort) != 1) {
            std::cerr << "ks318-web: the terminal server did not start: " << kq_lastfailure() << "\n";
            status = 1;
        } else {
            GuardedServer server;
            // Each event stream holds a worker for its whole life; Debian's cpp-httplib is a
            // compiled library, so its pool size is chosen here, not by CPPHTTPLIB_THREAD_POOL_COUNT.
            server.new_task_queue = [] { return new httplib::ThreadPool(kHttpWorkers); };
            // The routes measure their own bodies (uploads against --max-upload, actions
            // against 1 MiB) and say why they refuse; this bound is one byte past both.
            server.set_payload_max_length(std::max<std::uint64_t>(maxUpload, kMaxActionBody) + 1);
            server.set_tcp_nodelay(true);
            WebContext context{registry,         events,         uploads, actions, AccessPolicy(token, allowHosts),
                               kq_getserverport(), fleet.get(),  showCardNumbers};
            context.streamKeepAlive = std::chrono::seconds(streamKeepAlive);
            installRoutes(server, context);

            const bool bound = httpPort == 0 ? (httpPort = server.bind_to_any_port(httpHost)) > 0
                                             : server.bind_to_port(httpHost, httpPort);
            if (!bound) {
                std::cerr << "ks318-web: cannot listen for HTTP on " << http << "\n";
                status = 1;
            } else if ((!portFile.empty() && !ks318::tools::writeNumberFile(portFile, kq_getserverport())) ||
                       (!httpFile.empty() && !ks318::tools::writeNumberFile(httpFile, httpPort))) {
                std::cerr << "ks318-web: cannot write the port files\n";
                status = 1;
            } else if (tokenFile.empty() && !writePrivateToken(uploadDirectory / "token", token)) {
                std::cerr << "ks318-web: cannot write the access token's file\n";
                status = 1;
            } else {
                // The token goes to a terminal, never to a log: output that is no terminal
                // names the file that holds it.
                const std::string shownHost = httpHost.find(':') != std::string::npos ? "[" + httpHost + "]" : httpHost;
                const std::string address = "http://" + shownHost + ":" + std::to_string(httpPort) + "/";
                if (isatty(STDOUT_FILENO))
                    std::cout << "ks318-web: open " << address << "#token=" << token << "\n";
                else
                    std::cout << "ks318-web: open " << address << " with the access token in "
                              << (tokenFile.empty() ? (uploadDirectory / "token").string() : tokenFile) << "\n";
                std::cout << "ks318-web: terminals on port " << kq_getserverport() << std::endl;
                if (fleet) std::cout << "ks318-web: fleet mode, broker " << fleet->url() << std::endl;

                std::thread stopper([&] {
                    int signalNumber = 0;
                    sigwait(&stopSignals, &signalNumber);
                    // The server stops taking requests first (this does not wait), so that a
                    // worker whose stream ends does not wait for another request on its
                    // connection; then the streams and the fleet actions' waits end, so that
                    // the HTTP workers come free, and the broker is left; then the terminals
                    // go, which ends any send a worker still waits on.
                    server.stop();
                    events.close();
                    if (fleet) fleet->stop();
                    kq_finishserver();
                });
                if (!server.listen_after_bind()) status = 1;
                // A listen that ended on its own still lets the stopper go.
                pthread_kill(stopper.native_handle(), SIGTERM);
                stopper.join();
                std::cout << "ks318-web: stopped" << std::endl;
            }
            kq_finishserver();
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(uploadDirectory, ignored);
    return status;
}
