// ks318-bridge: serves a site's terminals like any host program and puts them
// on an MQTT 5 broker: their states and events go out under ks318/<site>/,
// commands for them come in there. Stops in good order on SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <mosquitto.h>

#include "ks318.h"
#include "tools/bridge/bridge.h"
#include "tools/bridge/notes.h"
#include "tools/common/number_file.h"
#include "tools/common/program_start.h"
#include "tools/fleet/broker_address.h"
#include "tools/fleet/topics.h"

namespace {

constexpr std::size_t kMqttLargestPayload = 268435455;

// Makes libmosquitto ready for the program's life.
struct MosquittoLibrary {
    MosquittoLibrary() { mosquitto_lib_init(); }
    ~MosquittoLibrary() { mosquitto_lib_cleanup(); }
};

}  // namespace

int main(int argc, char **argv) {
    using namespace ks318::bridge;
    std::string brokerUrl, site, credentialsFile, cafile, bind, portFile, queueDir, clientId;
    int terminalPort = KQ_DEFAULT_PORT;
    std::size_t queueLimit = 100000;
    std::size_t maxPayload = 16777216;
    std::uint32_t sessionExpiry = 86400;
    std::uint32_t departedExpiry = 86400;

    CLI::App app{"The KS318 fleet bridge: serves a site's terminals over TCP and puts them on an MQTT 5 broker\n"
                 "(states and events out, commands in, under ks318/<site>/). Events the broker has not taken\n"
                 "wait in an on-disk queue that survives a restart."};
    app.option_defaults()->always_capture_default();
    app.add_option("--broker", brokerUrl, "the broker: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
        ->required();
    app.add_option("--site", site, "the site's name: 1 to 64 of A-Z a-z 0-9 _ -")->required();
    app.add_option("--credentials", credentialsFile, "file with the user name on its first line, the password on its second");
    app.add_option("--cafile", cafile, "CA certificate(s) for mqtts:// (otherwise the system's)");
    app.add_option("-p,--port", terminalPort, "terminals' TCP port; 0 takes any free port (see --port-file)")
        ->check(CLI::Range(0, 65535));
    app.add_option("-b,--bind", bind, "terminals' address to listen on; empty: every address");
    app.add_option("--port-file", portFile, "write the terminals' port to FILE once listening");
    app.add_option("--queue-dir", queueDir, "folder of the on-disk queue (default ./ks318-bridge-<site>.queue)");
    app.add_option("--queue-limit", queueLimit, "most events kept in the queue; when full the oldest is dropped")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 32));
    app.add_option("--max-payload", maxPayload, "largest command payload in bytes")
        ->check(CLI::Range(std::size_t{1}, kMqttLargestPayload));
    app.add_option("--client-id", clientId, "MQTT client id (default ks318-bridge-<site>)");
    app.add_option("--session-expiry", sessionExpiry, "MQTT session expiry interval in seconds");
    app.add_option("--departed-expiry", departedExpiry,
                   "seconds the broker keeps a departed terminal's retained state (its message expiry)")
        ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{4294967295u}));
    CLI11_PARSE(app, argc, argv);

    if (!ks318::fleet::validSiteName(site)) {
        std::cerr << "ks318-bridge: --site takes 1 to 64 of A-Z a-z 0-9 _ -, not '" << site << "'\n";
        return 2;
    }
    std::string problem;
    BridgeSettings settings;
    settings.site = site;
    if (auto broker = ks318::fleet::parseBrokerUrl(brokerUrl, problem)) settings.broker = *broker;
    else {
        std::cerr << "ks318-bridge: " << problem << "\n";
        return 2;
    }
    if (!credentialsFile.empty()) {
        std::string warning;
        settings.credentials = ks318::fleet::readCredentials(credentialsFile, problem, &warning);
        if (!settings.credentials) {
            std::cerr << "ks318-bridge: " << problem << "\n";
            return 2;
        }
        if (!warning.empty()) std::cerr << "ks318-bridge: warning: " << warning << "\n";
    }
    if (!cafile.empty() && !std::ifstream(cafile)) {
        std::cerr << "ks318-bridge: cannot read the CA file " << cafile << "\n";
        return 2;
    }
    if (!cafile.empty() && !settings.broker.tls)
        std::cerr << "ks318-bridge: --cafile is used for mqtts:// only; the broker is reached without TLS\n";
    settings.cafile = cafile;
    settings.clientId = clientId.empty() ? "ks318-bridge-" + site : clientId;
    if (settings.clientId.size() > 65535) {
        std::cerr << "ks318-bridge: --client-id may have at most 65535 bytes\n";
        return 2;
    }
    settings.sessionExpiry = sessionExpiry;
    settings.departedExpiry = departedExpiry;
    settings.terminalPort = terminalPort;
    settings.bind = bind;
    settings.queueDirectory = queueDir.empty() ? std::filesystem::path("ks318-bridge-" + site + ".queue")
                                              : std::filesystem::path(queueDir);
    settings.queueLimit = queueLimit;
    settings.maxPayload = maxPayload;

    // Signals are taken by one thread alone (libmosquitto's threads inherit the mask too).
    sigset_t stopSignals = ks318::tools::blockStopSignals();

    // Files that commands carry live in a directory of the program's own, removed at the end.
    const auto uploadDirectory = ks318::tools::makePrivateDirectory("ks318-bridge");
    if (!uploadDirectory) {
        std::cerr << "ks318-bridge: cannot make a private directory for files\n";
        return 1;
    }
    settings.uploadDirectory = *uploadDirectory;

    int status = 0;
    {
        MosquittoLibrary library;
        try {
            Bridge bridge(settings);
            const int port = bridge.start();
            if (!portFile.empty() && !ks318::tools::writeNumberFile(portFile, port)) {
                std::cerr << "ks318-bridge: cannot write the port file " << portFile << "\n";
                status = 1;
            } else {
                std::cout << "ks318-bridge: site " << site << ", terminals on port " << port << ", broker " << brokerUrl
                          << std::endl;
                int signalNumber = 0;
                sigwait(&stopSignals, &signalNumber);
            }
            bridge.stop();
            std::cout << "ks318-bridge: stopped" << std::endl;
        } catch (const std::exception &failure) {
            std::cerr << "ks318-bridge: " << failure.what() << "\n";
            status = 1;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(settings.uploadDirectory, ignored);
    return status;
}
