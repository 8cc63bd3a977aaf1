#include "media/file_request.h"

#include <cstring>

#include "media/file_names.h"
#include "media/reception_lock.h"
#include "server/outbound.h"

namespace ks318::media {

std::int32_t requestFile(TTerminal &terminal, int gateLimitMs, const char *name) {
    NameField field;
    if (!makeNameField(name, field)) return 0;
    const int sent = sendGatedFrame(terminal, gateLimitMs, kCodeFileRequest, field.data(), kNameFieldBytes);
    if (sent == kSendGateBusy) return kSendGateBusy;
    return sent > 0 ? 1 : -1;
}

std::int32_t collectPendingFile(TTerminal &terminal, char *name, std::int32_t *size, void *data) {
    ReceptionGuard guard(terminal);
    PendingFile &pending = terminal.pendingFile;
    if (pending.size == -1) {
        if (name != nullptr) name[0] = '\0';
        if (size != nullptr) *size = 0;
        return 0;
    }
    if (name != nullptr) std::memcpy(name, pending.name, strnlen(pending.name, sizeof pending.name - 1) + 1);
    if (size != nullptr) *size = pending.size;
    if (pending.data && !pending.data->empty() && data != nullptr)
        std::memcpy(data, pending.data->data(), pending.data->size());
    pending.data.reset();
    pending.share = {};
    pending.size = -1;
    return 1;
}

}  // namespace ks318::media
