#include "sim/device.h"

#include <algorithm>

namespace ks318::sim {
namespace {

constexpr std::uint32_t kConfirmationWord = 0x4E71B28D;

std::int32_t valueOf(const Frame &frame) {
    return frame.payload.size() >= 4 ? static_cast<std::int32_t>(readLE32(frame.payload, 0)) : 0;
}

}  // namespace

Device::Device(SimTerminal &terminal) : terminal_(terminal) {
    using Self = SimTerminal;
    auto on = [&](std::uint16_t code, auto handler) {
        terminal_.onFrame(code, [this, handler](Self &, const Frame &frame) { handler(frame); });
    };
    on(25, [this](const Frame &) { answer(26, config()); });
    on(23, [this](const Frame &frame) {
        setConfig(frame.payload);
        answer(24, result(frame.payload.size() == 222 ? 1 : 0));
    });
    on(153, [this](const Frame &) { answer(154, wifi()); });
    on(151, [this](const Frame &frame) {
        setWifi(frame.payload);
        answer(152, result(frame.payload.size() == 100 ? 1 : 0));
    });
    on(113, [this](const Frame &frame) { answer(114, result(valueOf(frame) == static_cast<std::int32_t>(kConfirmationWord))); });
    on(121, [this](const Frame &frame) { answer(122, result(valueOf(frame) == static_cast<std::int32_t>(kConfirmationWord))); });
    on(123, [this](const Frame &) {
        std::lock_guard lock(mutex_);
        answer(124, scData_);
    });
    on(45, [this](const Frame &) { answer(46, result(1)); });
    on(117, [this](const Frame &) { answer(118, result(1)); });
    // 0 turns the keyboard (49) or the card reader (65) off, any other value on.
    on(49, [this](const Frame &frame) {
        std::lock_guard lock(mutex_);
        keyboardEnabled_ = valueOf(frame) != 0;
    });
    on(65, [this](const Frame &frame) {
        std::lock_guard lock(mutex_);
        cardReaderEnabled_ = valueOf(frame) != 0;
    });
    on(39, [this](const Frame &frame) {
        std::lock_guard lock(mutex_);
        if (frame.payload.size() >= 2) displayTime_ = readLE16(frame.payload, 0);
    });
    on(41, [this](const Frame &) { answer(42, le16(displayTime())); });
    on(163, [this](const Frame &frame) {
        std::lock_guard lock(mutex_);
        if (frame.payload.size() >= 2) serialStatus_[frame.payload[0] == 0 ? 0 : 1] = frame.payload[1];
    });
    on(161, [this](const Frame &frame) {
        const std::uint8_t port = frame.payload.empty() ? 0 : frame.payload[0];
        std::uint8_t status;
        {
            std::lock_guard lock(mutex_);
            status = serialStatus_[port == 0 ? 0 : 1];
        }
        answer(162, {port, status});
    });

    if (terminal_.identity().model != 320) return;
    auto setAndConfirm = [&](std::uint16_t code, std::int32_t Device::*field) {
        on(code, [this, code, field](const Frame &frame) {
            {
                std::lock_guard lock(mutex_);
                this->*field = valueOf(frame);
            }
            answer(static_cast<std::uint16_t>(code + 1), result(1));
        });
    };
    auto report = [&](std::uint16_t code, std::int32_t Device::*field) {
        on(code, [this, code, field](const Frame &) {
            std::int32_t value;
            {
                std::lock_guard lock(mutex_);
                value = this->*field;
            }
            answer(static_cast<std::uint16_t>(code + 1), result(value));
        });
    };
    setAndConfirm(168, &Device::sensor_);
    report(170, &Device::sensorStatus_);
    setAndConfirm(172, &Device::audio_);
    report(174, &Device::audioStatus_);
    setAndConfirm(176, &Device::volume_);
    report(178, &Device::volume_);
    setAndConfirm(180, &Device::brightness_);
    report(182, &Device::brightness_);
    for (std::uint16_t code : {166, 184, 186, 188}) {
        on(code, [this, code](const Frame &) { answer(static_cast<std::uint16_t>(code + 1), result(1)); });
    }
}

void Device::answer(std::uint16_t code, const Bytes &payload) { terminal_.send(code, payload); }

Bytes Device::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

Bytes Device::wifi() const {
    std::lock_guard lock(mutex_);
    return wifi_;
}

std::uint16_t Device::displayTime() const {
    std::lock_guard lock(mutex_);
    return displayTime_;
}

std::int32_t Device::volume() const {
    std::lock_guard lock(mutex_);
    return volume_;
}

void Device::setConfig(const Bytes &record) {
    std::lock_guard lock(mutex_);
    std::fill(config_.begin(), config_.end(), 0);
    std::copy_n(record.begin(), std::min(record.size(), config_.size()), config_.begin());
}

void Device::setWifi(const Bytes &record) {
    std::lock_guard lock(mutex_);
    std::fill(wifi_.begin(), wifi_.end(), 0);
    std::copy_n(record.begin(), std::min(record.size(), wifi_.size()), wifi_.begin());
}

void Device::setSensorStatus(std::int32_t status) {
    std::lock_guard lock(mutex_);
    sensorStatus_ = status;
}

void Device::setAudioStatus(std::int32_t status) {
    std::lock_guard lock(mutex_);
    audioStatus_ = status;
}

void Device::setBrightness(std::int32_t brightness) {
    std::lock_guard lock(mutex_);
    brightness_ = brightness;
}

void Device::setScData(const Bytes &block) {
    std::lock_guard lock(mutex_);
    std::fill(scData_.begin(), scData_.end(), 0);
    std::copy_n(block.begin(), std::min(block.size(), scData_.size()), scData_.begin());
}

bool Device::keyboardEnabled() const {
    std::lock_guard lock(mutex_);
    return keyboardEnabled_;
}

bool Device::cardReaderEnabled() const {
    std::lock_guard lock(mutex_);
    return cardReaderEnabled_;
}

bool Device::pressKey(std::uint8_t key) { return keyboardEnabled() && terminal_.send(53, {key}); }

bool Device::swipeCard(const std::string &first, const std::string &second) {
    if (!cardReaderEnabled()) return false;
    const std::uint32_t flags = (first.empty() ? 0u : 1u) | (second.empty() ? 0u : 2u);
    return terminal_.send(69, concat({field(first, 128), field(second, 128), Bytes(128, 0), le32(flags)}));
}

bool Device::serialIn(int port, const Bytes &data) {
    return terminal_.send(port == 0 ? 83 : 89, concat({le16(static_cast<std::uint16_t>(data.size())), data}));
}

}  // namespace ks318::sim
