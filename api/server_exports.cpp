// Server start and stop, current and legacy.
#include "api/export_conventions.h"
#include "ks318.h"

#include <string>

#include "port/failure.h"
#include "port/paths.h"
#include "server/server.h"

using ks318::globalServer;
using ks318::api::atBoundary;

extern "C" {

int32_t KQ_CALL kq_startserverex(void *window, uint32_t connectMessage, uint32_t dataMessage,
                                 const char *bindAddress, int32_t port) {
    return atBoundary(0, [&] {
        // A port that does not fit 16 bits starts nothing rather than another port.
        if (port < 0 || port > 65535) {
            ks318::port::noteFailure("port " + std::to_string(port) + " is outside 0 ... 65535");
            return 0;
        }
        return globalServer().start(window, connectMessage, dataMessage, bindAddress, port);
    });
}

const char *KQ_CALL kq_lastfailure(void) { return ks318::port::lastFailure(); }

int32_t KQ_CALL kq_startserver(void *window, uint32_t connectMessage, uint32_t dataMessage) {
    return kq_startserverex(window, connectMessage, dataMessage, nullptr, ks318::kDefaultPort);
}

int32_t KQ_CALL kq_getserverport(void) { return globalServer().port(); }

int32_t KQ_CALL kq_finishserver(void) { return atBoundary(-1, [] { return globalServer().finish(); }); }

int32_t KQ_CALL StartServerKQ318(void) { return kq_startserver(nullptr, 0, 0); }

int32_t KQ_CALL CloseKQ318(void) { return kq_finishserver(); }

int32_t KQ_CALL InitKQ318(void) {
    return atBoundary(0, [] {
        char directory[260] = {};
        int result = ks318::port::currentDirectory(directory, sizeof directory);
        if (result > 0 && result < static_cast<int>(sizeof directory)) globalServer().setBaseDir(directory);
        return result;
    });
}

}  // extern "C"
