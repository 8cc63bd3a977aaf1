#include "server/inbound_dispatch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "media/file_reception.h"
#include "port/clock.h"
#include "server/bytes.h"
#include "server/frame.h"
#include "server/inbound_stream.h"
#include "server/limits.h"
#include "server/server.h"
#include "server/terminal.h"

namespace ks318 {
namespace {

enum class ReadRule {
    Whole,          // exactly the header's length, at most 388 bytes; else the frame is dropped
    WholeKeyed,     // as Whole, but a short payload is still handled (code 53)
    WholeAnyCount,  // what arrives of the header's length, at most 388 bytes
    ExactLength,    // exactly the fixed count; any other length is skipped and the frame dropped
    Fixed,          // a fixed count, whatever the header's length
    FileAnswer,     // read by the file reception
};

struct Payload {
    const std::uint8_t *bytes;  // the frame buffer, zero behind what arrived
    int count;                  // bytes that arrived
    std::int32_t length;        // what the header announced
    bool complete() const { return count == length; }
};

struct Notice {
    int code;
    std::int32_t extra;
};

using Handler = std::optional<Notice> (*)(InboundContext &, const Payload &);

struct InboundRule {
    std::uint16_t code;
    ReadRule rule;
    int fixedBytes;
    Handler handle;
};

// 1 when the payload's first signed 32-bit value is 1, else 0.
std::int32_t flag(const Payload &payload) { return loadLE32(payload.bytes) == 1 ? 1 : 0; }

std::optional<Notice> ignored(InboundContext &, const Payload &) { return std::nullopt; }

template <int NotifyCode>
std::optional<Notice> flagResult(InboundContext &, const Payload &payload) {
    return Notice{NotifyCode, flag(payload)};
}

// A later identification may bring a new terminal version, but the model number
// (and with it the screen size hosts size their images by) is the handshake's
// for the connection's life: a terminal that claims another model comes back
// as a new terminal, with a connect notification of its own.
std::optional<Notice> identification(InboundContext &context, const Payload &payload) {
    if (payload.count < 4) return std::nullopt;
    const std::uint32_t word = loadLE32(payload.bytes);
    if (TTerminal::modelOf(word) != context.terminal.modelNumber()) {
        context.terminal.shutdownConnection();
    } else {
        context.terminal.setIdent(word);
    }
    return std::nullopt;
}

std::optional<Notice> configRecord(InboundContext &context, const Payload &payload) {
    context.terminal.config.push(payload.bytes);
    return Notice{KQ_NOTIFY_CONFIG, 0};
}

std::optional<Notice> uniqueIdentifier(InboundContext &context, const Payload &payload) {
    context.terminal.updateReports([&](TerminalReports &reports) {
        std::memcpy(reports.uid, payload.bytes, sizeof reports.uid);
        std::memcpy(reports.uidText, payload.bytes + 6, sizeof reports.uidText);
    });
    return Notice{KQ_NOTIFY_UID, 0};
}

std::optional<Notice> displayTime(InboundContext &context, const Payload &payload) {
    context.terminal.events.push(42, loadLE16(payload.bytes));
    return Notice{KQ_NOTIFY_SENSOR, 0};
}

std::optional<Notice> key(InboundContext &context, const Payload &payload) {
    const std::uint8_t pressed = payload.bytes[0];
    context.server.keys().push(static_cast<std::int32_t>(context.terminal.socket()), pressed, context.terminal.id());
    if (!payload.complete()) return std::nullopt;
    return Notice{KQ_NOTIFY_KEY, pressed};
}

std::optional<Notice> magneticCard(InboundContext &context, const Payload &payload) {
    const std::int32_t flags = static_cast<std::int32_t>(loadLE32(payload.bytes + 384));
    context.terminal.mag.push(reinterpret_cast<const char *>(payload.bytes),
                              reinterpret_cast<const char *>(payload.bytes + 128), flags);
    return Notice{KQ_NOTIFY_CARD, flags & 0xFFFF};
}

template <int Code, int Source>
std::optional<Notice> serialData(InboundContext &context, const Payload &payload) {
    // The count may claim more than arrived; the store takes at most 256 bytes of
    // the (zero-filled) 388-byte buffer, so nothing is read past it.
    context.terminal.serial.push(payload.bytes + 2, Source, loadLE16(payload.bytes));
    return Notice{Code, 0};
}

std::optional<Notice> scBlock(InboundContext &context, const Payload &payload) {
    context.terminal.updateReports(
        [&](TerminalReports &reports) { std::memcpy(reports.scData, payload.bytes, sizeof reports.scData); });
    return Notice{KQ_NOTIFY_SC, 0};
}

std::optional<Notice> imageUpdateConfig(InboundContext &context, const Payload &payload) {
    ImageUpdateConfig config;
    config.first = static_cast<std::int32_t>(loadLE32(payload.bytes));
    std::memcpy(config.text, payload.bytes + 4, sizeof config.text);
    config.second = static_cast<std::int32_t>(loadLE32(payload.bytes + 104));
    config.third = static_cast<std::int32_t>(loadLE32(payload.bytes + 108));
    context.terminal.setImageUpdateConfig(config);
    return Notice{KQ_NOTIFY_IMAGE_UPDATE, 0};
}

std::optional<Notice> imagesUpdated(InboundContext &, const Payload &) { return Notice{KQ_NOTIFY_IMAGES_UPDATED, 0}; }

std::optional<Notice> wifiRecord(InboundContext &context, const Payload &payload) {
    context.terminal.wifi.push(payload.bytes);
    return Notice{KQ_NOTIFY_WIFI, 0};
}

std::optional<Notice> serialStatus(InboundContext &context, const Payload &payload) {
    const std::uint8_t port = payload.bytes[0];
    context.terminal.updateReports(
        [&](TerminalReports &reports) { reports.serialStatus[port == 0 ? 0 : 1] = loadLE16(payload.bytes); });
    return Notice{KQ_NOTIFY_SERIAL_STATUS, port};
}

// Answers 167 … 189: the low 16 bits go onto the event stack.
template <int Code>
std::optional<Notice> answerEvent(InboundContext &context, const Payload &payload) {
    context.terminal.events.push(Code, loadLE16(payload.bytes));
    return Notice{Code, 0};
}

// Answers that also report a value: the whole 32 bits are kept as the last value.
template <int Code, std::atomic<std::int32_t> TTerminal::*Field>
std::optional<Notice> reportedValue(InboundContext &context, const Payload &payload) {
    (context.terminal.*Field).store(static_cast<std::int32_t>(loadLE32(payload.bytes)));
    return answerEvent<Code>(context, payload);
}

std::optional<Notice> fileAnswer(InboundContext &context, const Payload &payload) {
    const int result = media::receiveFileAnswer(context.server, context.terminal, context.stream, payload.length);
    return Notice{KQ_NOTIFY_FILE, result == media::kFileReceived ? 1 : 0};
}

constexpr std::array kCatalogue = {
    InboundRule{20, ReadRule::WholeAnyCount, 0, identification},
    InboundRule{24, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_CONFIG_SET>},
    InboundRule{26, ReadRule::Whole, 0, configRecord},
    InboundRule{28, ReadRule::Whole, 0, uniqueIdentifier},
    InboundRule{36, ReadRule::WholeAnyCount, 0, ignored},
    InboundRule{42, ReadRule::Fixed, 2, displayTime},
    InboundRule{46, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_ADV_STOPPED>},
    InboundRule{53, ReadRule::WholeKeyed, 0, key},
    InboundRule{69, ReadRule::Whole, 0, magneticCard},
    InboundRule{83, ReadRule::Whole, 0, serialData<KQ_NOTIFY_SERIAL0, 0>},
    InboundRule{89, ReadRule::Whole, 0, serialData<KQ_NOTIFY_SERIAL1, 1>},
    InboundRule{98, ReadRule::FileAnswer, 0, fileAnswer},
    InboundRule{114, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_SOFTWARE_UPDATE>},
    InboundRule{118, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_ADV_RELOADED>},
    InboundRule{122, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_RESTART>},
    InboundRule{124, ReadRule::Whole, 0, scBlock},
    InboundRule{148, ReadRule::ExactLength, 112, imageUpdateConfig},
    InboundRule{150, ReadRule::WholeAnyCount, 0, imagesUpdated},
    InboundRule{152, ReadRule::Whole, 0, flagResult<KQ_NOTIFY_WIFI_SET>},
    InboundRule{154, ReadRule::Whole, 0, wifiRecord},
    InboundRule{162, ReadRule::Whole, 0, serialStatus},
    InboundRule{167, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_MEDIA_SHOWN>},
    InboundRule{169, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_SENSOR_SET>},
    InboundRule{171, ReadRule::Fixed, 4, reportedValue<KQ_NOTIFY_SENSOR, &TTerminal::sensorStatus>},
    InboundRule{173, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_AUDIO_SET>},
    InboundRule{175, ReadRule::Fixed, 4, reportedValue<KQ_NOTIFY_AUDIO, &TTerminal::audioStatus>},
    InboundRule{177, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_VOLUME_SET>},
    InboundRule{179, ReadRule::Fixed, 4, reportedValue<KQ_NOTIFY_VOLUME, &TTerminal::volume>},
    InboundRule{181, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_BRIGHTNESS_SET>},
    InboundRule{183, ReadRule::Fixed, 4, reportedValue<KQ_NOTIFY_BRIGHTNESS, &TTerminal::brightness>},
    InboundRule{185, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_MEDIA_DELETED>},
    InboundRule{187, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_INTERNAL_CLEANED>},
    InboundRule{189, ReadRule::Fixed, 4, answerEvent<KQ_NOTIFY_EXTERNAL_CLEANED>},
};

static_assert(std::is_sorted(kCatalogue.begin(), kCatalogue.end(),
                             [](const InboundRule &a, const InboundRule &b) { return a.code < b.code; }));

// Every code of the catalogue is below 256: a code's rule is one index away.
constexpr std::uint8_t kNoRule = 0xFF;
constexpr auto kRuleOfCode = [] {
    std::array<std::uint8_t, 256> index{};
    index.fill(kNoRule);
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) index[kCatalogue[i].code] = static_cast<std::uint8_t>(i);
    return index;
}();
static_assert(kCatalogue.back().code < kRuleOfCode.size() && kCatalogue.size() < kNoRule);

// A payload's time: the receive limit and 1 s more per 64 KiB it announces,
// counted from its header. One that misses it breaks the stream (the connection ends).
class PayloadDeadline {
public:
    PayloadDeadline(int receiveLimitMs, std::int64_t announced)
        : start_(port::tickMs()), limitMs_(FrameTiming{receiveLimitMs, 64 * 1024}.deadlineMs(announced)) {}
    int remainingMs() const {
        const std::int64_t spent = static_cast<std::int64_t>(port::tickMs() - start_);
        return spent >= limitMs_ ? 0 : static_cast<int>(limitMs_ - spent);
    }

private:
    const std::uint64_t start_;
    const std::int64_t limitMs_;
};

const InboundRule *findRule(std::uint16_t code) {
    if (code >= kRuleOfCode.size() || kRuleOfCode[code] == kNoRule) return nullptr;
    return &kCatalogue[kRuleOfCode[code]];
}

// Reads the payload into the frame buffer as the rule says; false when the frame is dropped.
bool readPayload(InboundContext &context, const InboundRule &rule, std::int32_t length,
                 std::uint8_t *buffer, int &count) {
    InboundStream &stream = context.stream;
    const std::int64_t announced = std::max<std::int32_t>(length, 0);
    const PayloadDeadline deadline(context.server.limits().receiveLimitMs, announced);
    const auto limitMs = [&] { return deadline.remainingMs(); };
    count = 0;
    switch (rule.rule) {
    case ReadRule::Whole:
    case ReadRule::WholeKeyed:
        if (length < 0) return false;
        if (length > kFrameBufferBytes) {
            stream.discard(announced, limitMs());  // too long for any inbound record
            return false;
        }
        count = stream.receiveFully(buffer, length, limitMs());
        return count == length || rule.rule == ReadRule::WholeKeyed;
    case ReadRule::WholeAnyCount: {
        int wanted = static_cast<int>(std::min<std::int64_t>(announced, kFrameBufferBytes));
        count = stream.receiveFully(buffer, wanted, limitMs());
        if (count == wanted) stream.discard(announced - wanted, limitMs());
        return true;
    }
    case ReadRule::ExactLength:
        if (length != rule.fixedBytes) {
            stream.discard(announced, limitMs());  // no defined content: keep the stream in step only
            return false;
        }
        count = stream.receiveFully(buffer, length, limitMs());
        return count == length;
    case ReadRule::Fixed:
        // A shorter header still yields the fixed count; a longer one's rest is dropped.
        count = stream.receiveFully(buffer, rule.fixedBytes, limitMs());
        if (count == rule.fixedBytes) stream.discard(announced - rule.fixedBytes, limitMs());
        return true;
    case ReadRule::FileAnswer:
        return true;
    }
    return false;
}

}  // namespace

void FrameBuffer::clearFrom(int count) {
    if (written_ > count) std::memset(bytes_ + count, 0, static_cast<std::size_t>(written_ - count));
    written_ = count;
}

void dispatchFrame(InboundContext &context, std::uint16_t code, std::int32_t length) {
    const InboundRule *rule = findRule(code);
    if (rule == nullptr) {
        // Outside the catalogue: the payload is skipped so the next header lines up.
        const std::int64_t announced = std::max<std::int32_t>(length, 0);
        context.stream.discard(announced, PayloadDeadline(context.server.limits().receiveLimitMs, announced).remainingMs());
        return;
    }
    std::uint8_t *buffer = context.frame.bytes();
    int count = 0;
    const bool read = readPayload(context, *rule, length, buffer, count);
    // Handlers see zeros behind what arrived.
    context.frame.clearFrom(count);
    if (!read) return;
    std::optional<Notice> notice = rule->handle(context, Payload{buffer, count, length});
    if (notice)
        context.server.notifications().data(context.epoch, notice->code, context.terminal.socket(), notice->extra,
                                            context.terminal.id());
}

}  // namespace ks318
