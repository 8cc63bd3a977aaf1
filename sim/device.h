// The state of a simulated device and its answers to the host's requests, as a
// real terminal gives them: configuration, wifi, display time, serial status,
// sensor, audio, volume and brightness; plus the input a person produces
// (keys, card reads, serial data).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/sim_terminal.h"

namespace ks318::sim {

class Device {
public:
    // Registers the device's answers on the terminal. The device must outlive the
    // terminal's connection. Commands of the newer set are answered only by model 320.
    explicit Device(SimTerminal &terminal);

    // State the host's commands change (and the answers report).
    Bytes config() const;
    Bytes wifi() const;
    std::uint16_t displayTime() const;
    std::int32_t volume() const;
    void setConfig(const Bytes &record);  // 222 bytes
    void setWifi(const Bytes &record);    // 100 bytes
    void setSensorStatus(std::int32_t status);
    void setAudioStatus(std::int32_t status);
    void setBrightness(std::int32_t brightness);
    void setScData(const Bytes &block);   // 8 bytes

    // The host turns these on and off (49, 65); both start on.
    bool keyboardEnabled() const;
    bool cardReaderEnabled() const;

    // Input a person produces at the terminal. A key or a card read sends nothing
    // (false) while the host has the keyboard or the card reader turned off.
    bool pressKey(std::uint8_t key);
    // Either text may be empty: the flags then leave it out.
    bool swipeCard(const std::string &first, const std::string &second);
    bool serialIn(int port, const Bytes &data);

private:
    void answer(std::uint16_t code, const Bytes &payload);
    static Bytes result(std::int32_t value) { return le32(static_cast<std::uint32_t>(value)); }

    SimTerminal &terminal_;
    mutable std::mutex mutex_;
    Bytes config_ = Bytes(222, 0);
    Bytes wifi_ = Bytes(100, 0);
    Bytes scData_ = Bytes(8, 0);
    std::uint16_t displayTime_ = 10;
    std::array<std::uint8_t, 2> serialStatus_{};
    std::int32_t sensor_ = 0;
    std::int32_t sensorStatus_ = 0;
    std::int32_t audio_ = 0;
    std::int32_t audioStatus_ = 0;
    std::int32_t volume_ = 50;
    std::int32_t brightness_ = 80;
    bool keyboardEnabled_ = true;
    bool cardReaderEnabled_ = true;
};

}  // namespace ks318::sim
