#include "media/media_config.h"

#include "media/file_transfer.h"
#include "server/bytes.h"
#include "server/outbound.h"

namespace ks318::media {

std::int32_t sendConfigurationFile(TTerminal &terminal, int gateLimitMs, const char *path, const char *destination) {
    const std::int32_t result = sendFileFromPath(terminal, gateLimitMs, path, destination);
    if (result > 0) {
        std::uint8_t value[4];
        storeLE32(value, 0);
        sendGatedFrame(terminal, gateLimitMs, kCodeReload, value, sizeof value);
    }
    return result;
}

}  // namespace ks318::media
