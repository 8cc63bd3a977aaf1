#include "media/file_transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "port/failure.h"
#include "server/frame.h"
#include "server/outbound.h"

namespace ks318::media {
namespace {

// A local file read whole into memory; empty `bytes` with ok set for an empty file.
struct LocalFile {
    bool ok = false;
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t size = 0;
};

LocalFile readLocalFile(const char *path) {
    LocalFile result;
    std::ifstream file;
    if (!openLocalFile(file, path, result.size)) return result;
    if (result.size > 0) {
        result.bytes.reset(new (std::nothrow) std::uint8_t[result.size]);
        if (!result.bytes) {
            port::noteFailureFormat("no memory to hold %s (%u bytes)", path, result.size);
            return result;
        }
        file.read(reinterpret_cast<char *>(result.bytes.get()), result.size);
        if (file.gcount() != static_cast<std::streamsize>(result.size)) {
            port::noteFailureFormat("%s could not be read to its end", path);
            return result;
        }
    }
    result.ok = true;
    return result;
}

}  // namespace

bool openLocalFile(std::ifstream &file, const char *path, std::uint32_t &size) {
    if (path == nullptr) {
        port::noteFailure("no file path given");
        return false;
    }
    file.open(path, std::ios::binary);
    if (!file) {
        port::noteFailureFormat("%s cannot be opened: %s", path, std::strerror(errno));
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end < 0) {
        port::noteFailureFormat("%s cannot be read (not a regular file?)", path);
        return false;
    }
    if (end > static_cast<std::streamoff>(kLargestFile)) {
        port::noteFailureFormat("%s is larger than a file frame can carry (%u bytes)", path, kLargestFile);
        return false;
    }
    file.seekg(0, std::ios::beg);
    size = static_cast<std::uint32_t>(end);
    return true;
}

int sendFileHead(const FrameWriter &out, const NameField &name, std::uint32_t size) {
    const int sent = out.frame(name.data(), kNameFieldBytes, kCodeFileTransfer,
                               static_cast<std::int32_t>(size + kNameFieldBytes));
    // A frame of 135 bytes is built on the stack, so "no buffer" cannot happen;
    // anything short of the whole head counts as a failed write.
    return sent == kHeaderBytes + kNameFieldBytes ? sent : -1;
}

std::int32_t sendFileFromMemory(TTerminal &terminal, int gateLimitMs, const char *name, const void *data,
                                std::uint32_t size) {
    NameField field;
    if (!makeDestinationField(name, field)) return 0;
    if (size > kLargestFile) {
        port::noteFailureFormat("%u bytes are more than a file frame can carry (%u)", size, kLargestFile);
        return 0;
    }
    if (size > 0 && data == nullptr) {
        port::noteFailure("no data given for a file that is not empty");
        return 0;
    }
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    return sendUnderGate(terminal, gateLimitMs, fileFrameBytes(size), [&](const FrameWriter &out) -> int {
        if (sendFileHead(out, field, size) < 0) return -1;
        for (std::uint32_t done = 0; done < size;) {
            const int piece = static_cast<int>(std::min<std::uint32_t>(size - done, kFilePieceBytes));
            if (out.all(bytes + done, piece) != piece) return -1;
            done += static_cast<std::uint32_t>(piece);
        }
        return static_cast<int>(size);
    });
}

std::int32_t sendFileFromPath(TTerminal &terminal, int gateLimitMs, const char *path, const char *name) {
    NameField field;
    if (!makeDestinationField(name, field)) return 0;  // refused before the file is read
    LocalFile file = readLocalFile(path);
    if (!file.ok) return 0;
    return sendFileFromMemory(terminal, gateLimitMs, name, file.bytes.get(), file.size);
}

}  // namespace ks318::media
