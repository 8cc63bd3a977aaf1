// Server start and stop, current and legacy.
#include "ks318.h"
#include "port/paths.h"
#include "server/server.h"

using ks318::globalServer;

extern "C" {

int32_t KQ_CALL kq_startserverex(void *window, uint32_t connectMessage, uint32_t dataMessage,
                                 const char *bindAddress, int32_t port) {
    return globalServer().start(window, connectMessage, dataMessage, bindAddress, port);
}

int32_t KQ_CALL kq_startserver(void *window, uint32_t connectMessage, uint32_t dataMessage) {
    return kq_startserverex(window, connectMessage, dataMessage, nullptr, ks318::kDefaultPort);
}

int32_t KQ_CALL kq_getserverport(void) { return globalServer().port(); }

int32_t KQ_CALL kq_finishserver(void) { return globalServer().finish(); }

int32_t KQ_CALL StartServerKQ318(void) { return kq_startserver(nullptr, 0, 0); }

int32_t KQ_CALL CloseKQ318(void) { return kq_finishserver(); }

int32_t KQ_CALL InitKQ318(void) {
    char directory[260] = {};
    int result = ks318::port::currentDirectory(directory, sizeof directory);
    if (result > 0 && result < static_cast<int>(sizeof directory)) globalServer().setBaseDir(directory);
    return result;
}

}  // extern "C"
