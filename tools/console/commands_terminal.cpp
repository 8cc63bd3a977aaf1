// Commands that steer a terminal: live signals, software, advertising,
// keyboard and card reader, configuration records, serial ports, and the
// settings of model-320 terminals (sensor, audio, volume, brightness, media).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/common/words.h"
#include "tools/console/commands.h"

namespace ks318::tools {
namespace {

using Needs = Console::Needs;

// A command with the terminal number alone; `answer` 0 when none is expected.
struct Plain {
    const char *name;
    const char *exportName;
    std::int32_t (*send)(std::int32_t);
    Needs needs;
    std::uint32_t answer;
    const char *help;
};

// A command with the terminal number and one value.
struct Valued {
    const char *name;
    const char *exportName;
    std::int32_t (*send)(std::int32_t, std::int32_t);
    std::uint32_t answer;
    const char *help;
};

// A model-320 setting: set with a value, or asked for and read without one.
struct Setting {
    const char *name;
    const char *setName;
    std::int32_t (*set)(std::int32_t, std::int32_t);
    std::uint32_t setAnswer;
    const char *askName;
    std::int32_t (*ask)(std::int32_t);
    std::uint32_t askAnswer;
    const char *getName;
    std::int32_t (*get)(std::int32_t);
    const char *help;
};

// Sends, judges the result, and waits for the answer when one is due.
bool sendAndAwait(Console &console, const std::string &command, std::int32_t terminal, const std::string &shown,
                  std::int32_t result, std::uint32_t answer, std::uint64_t mark) {
    if (!console.judge(shown, result)) return false;
    return answer == 0 || awaitAnswer(console, command, terminal, answer, mark);
}

std::string hexBytes(const unsigned char *bytes, std::size_t count) {
    std::string out;
    char piece[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, "%s%02X", i ? " " : "", bytes[i]);
        out += piece;
    }
    return out;
}

bool readRecordFile(Console &console, const std::string &command, const std::string &path, std::size_t size,
                    std::vector<unsigned char> &record) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return console.fail(command + ": cannot read " + path);
    record.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (record.size() != size)
        return console.fail(command + ": " + path + " holds " + std::to_string(record.size()) + " bytes; the record has " +
                            std::to_string(size));
    return true;
}

bool uid(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("uid", n, Needs::Version32)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_UID);
    if (!sendAndAwait(console, "uid", n, call("kq_requid", n), kq_requid(n), KQ_NOTIFY_UID, mark)) return false;
    char text[64] = {};
    char field[33] = {};
    kq_getuid(n, text, field);
    console.print("  kq_getuid(" + std::to_string(n) + ") = " + text + " " + quoteText(std::string(field, strnlen(field, 32))));
    return true;
}

bool sc(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("sc", n, Needs::Version32)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_SC);
    if (!sendAndAwait(console, "sc", n, call("kq_reqsc", n), kq_reqsc(n), KQ_NOTIFY_SC, mark)) return false;
    unsigned char block[8] = {};
    kq_getsc(n, block);
    console.print("  kq_getsc(" + std::to_string(n) + ") = " + hexBytes(block, 8));
    return true;
}

bool displayTime(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("displaytime", n)) return false;
    if (args.has("time")) return console.judge(call("SetaTempoExib", n, args.number("time")), SetaTempoExib(n, args.number("time")));
    const std::uint64_t mark = console.seen(KQ_NOTIFY_SENSOR);
    PedeTempoExib(n);
    console.print("  " + call("PedeTempoExib", n));
    return awaitAnswer(console, "displaytime", n, KQ_NOTIFY_SENSOR, mark);
}

bool config(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("config", n)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_CONFIG);
    return sendAndAwait(console, "config", n, call("kq_reqconfig", n), kq_reqconfig(n), KQ_NOTIFY_CONFIG, mark);
}

bool setConfig(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("setconfig", n)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_CONFIG_SET);
    const std::int32_t result =
        SendConfig(n, args.word("address1").c_str(), args.word("address2").c_str(), args.word("address3").c_str(),
                   args.word("address4").c_str(), args.word("address5").c_str(), args.word("text1").c_str(),
                   args.number("number1"), args.word("text2").c_str(), args.word("text3").c_str(),
                   args.word("text4").c_str(), args.number("number2"), args.number("number3"));
    return sendAndAwait(console, "setconfig", n, call("SendConfig", n), result, KQ_NOTIFY_CONFIG_SET, mark);
}

bool configFile(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    std::vector<unsigned char> record;
    if (!console.checkTerminal("configfile", n) || !readRecordFile(console, "configfile", args.word("path"), 222, record))
        return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_CONFIG_SET);
    return sendAndAwait(console, "configfile", n, call("kq_sendconfig", n), kq_sendconfig(n, record.data()), KQ_NOTIFY_CONFIG_SET, mark);
}

bool wifi(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("wifi", n)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_WIFI);
    return sendAndAwait(console, "wifi", n, call("kq_reqconfigwifi", n), kq_reqconfigwifi(n), KQ_NOTIFY_WIFI, mark);
}

bool setWifi(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("setwifi", n)) return false;
    const std::uint64_t mark = console.seen(KQ_NOTIFY_WIFI_SET);
    const std::int32_t result = SendConfigWifi(n, args.number("number1"), args.number("number2"), args.word("text1").c_str(),
                                               args.number("number3"), args.number("number4"), args.word("text2").c_str());
    return sendAndAwait(console, "setwifi", n, call("SendConfigWifi", n), result, KQ_NOTIFY_WIFI_SET, mark);
}

bool serialConfig(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("serialconfig", n)) return false;
    const std::int32_t result = AbreSerialCOM(n, args.number("port"), args.number("setting1"), args.number("setting2"),
                                              args.number("setting3"), args.number("setting4"));
    return console.judge(call("AbreSerialCOM", n, args.number("port")), result);
}

bool serialWrite(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("serialwrite", n)) return false;
    const std::string data = args.word("data");
    if (data.size() > 256) return console.fail("serialwrite: at most 256 bytes at a time");
    unsigned char buffer[256] = {};
    std::memcpy(buffer, data.data(), data.size());
    const auto length = static_cast<std::int32_t>(data.size());
    return console.judge(call("kq_writeserial", n, args.number("port")), kq_writeserial(n, args.number("port"), length, buffer));
}

bool serialStatus(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("serialstatus", n)) return false;
    const std::int32_t port = args.number("port");
    const std::uint64_t mark = console.seen(KQ_NOTIFY_SERIAL_STATUS);
    if (!sendAndAwait(console, "serialstatus", n, call("kq_serreqstatus", n, port), kq_serreqstatus(n, port), KQ_NOTIFY_SERIAL_STATUS, mark))
        return false;
    std::int16_t status = 0;
    kq_sergetstatus(n, port, &status);
    char line[80];
    std::snprintf(line, sizeof line, "  kq_sergetstatus(%d, %d) = 0x%04X", n, port, static_cast<std::uint16_t>(status));
    console.print(line);
    return true;
}

bool setSerialStatus(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("setserialstatus", n)) return false;
    return console.judge(call("kq_sersetstatus", n, args.number("port")),
                         kq_sersetstatus(n, args.number("port"), args.number("status")));
}

bool media(Console &console, const Args &args, const char *command, const char *exportName,
           std::int32_t (*send)(std::int32_t, const char *), std::uint32_t answer) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal(command, n, Needs::Model320)) return false;
    const std::uint64_t mark = console.seen(answer);
    return sendAndAwait(console, command, n, call(exportName, n) + " " + quoteText(args.word("name")),
                        send(n, args.word("name").c_str()), answer, mark);
}

}  // namespace

void addTerminalCommands(CommandTable &table) {
    table.group("Terminal");
    static const Plain kPlain[] = {
        {"live", "kq_sendlive", kq_sendlive, Needs::Nothing, 0, "send a live signal"},
        {"alwayslive", "kq_sendalwayslive", kq_sendalwayslive, Needs::Nothing, 0, "keep the terminal alive for good"},
        {"update", "kq_updatesoft", kq_updatesoft, Needs::Nothing, KQ_NOTIFY_SOFTWARE_UPDATE, "software update"},
        {"restart", "kq_restart", kq_restart, Needs::Version32, KQ_NOTIFY_RESTART, "restart the terminal"},
        {"goadv", "kq_goadv", kq_goadv, Needs::Nothing, 0, "start advertising"},
        {"stopadv", "kq_stopadv", kq_stopadv, Needs::Nothing, KQ_NOTIFY_ADV_STOPPED, "stop advertising"},
        {"deleteadv", "kq_deleteadv", kq_deleteadv, Needs::Nothing, 0, "delete advertising"},
        {"deletepreimg", "kq_deletepreimg", kq_deletepreimg, Needs::Nothing, 0, "delete the preliminary image"},
        {"cleaninternal", "kq_CleanInternalMem", kq_CleanInternalMem, Needs::Model320, KQ_NOTIFY_INTERNAL_CLEANED, "clean the internal memory"},
        {"cleanexternal", "kq_CleanExternalMem", kq_CleanExternalMem, Needs::Model320, KQ_NOTIFY_EXTERNAL_CLEANED, "clean the external memory"},
    };
    for (const Plain &plain : kPlain) {
        table.add(plain.name, "N", plain.help, [&plain](Console &console, const Args &args) {
            const std::int32_t n = args.terminal();
            if (!console.checkTerminal(plain.name, n, plain.needs)) return false;
            const std::uint64_t mark = plain.answer ? console.seen(plain.answer) : 0;
            return sendAndAwait(console, plain.name, n, call(plain.exportName, n), plain.send(n), plain.answer, mark);
        });
    }
    static const Valued kValued[] = {
        {"reloadadv", "kq_reloadadv", kq_reloadadv, KQ_NOTIFY_ADV_RELOADED, "reload advertising number"},
        {"reloadpreimg", "kq_reloadpreimg", kq_reloadpreimg, 0, "reload the preliminary image number"},
        {"keyboard", "HabilitaTeclado", HabilitaTeclado, 0, "turn the keyboard on (1) or off (0)"},
        {"cardreader", "HabilitaLEC", HabilitaLEC, 0, "turn the card reader on (1) or off (0)"},
    };
    for (const Valued &valued : kValued) {
        table.add(valued.name, "N value:int", valued.help, [&valued](Console &console, const Args &args) {
            const std::int32_t n = args.terminal(), value = args.number("value");
            if (!console.checkTerminal(valued.name, n)) return false;
            const std::uint64_t mark = valued.answer ? console.seen(valued.answer) : 0;
            return sendAndAwait(console, valued.name, n, call(valued.exportName, n, value), valued.send(n, value),
                                valued.answer, mark);
        });
    }
    table.add("uid", "N", "ask for the unique identifier and show it", uid);
    table.add("sc", "N", "ask for the SC block and show it", sc);
    table.add("displaytime", "N [time:int]", "set the display time, or ask for it", displayTime);
    table.add("config", "N", "ask for the configuration record (shown as it arrives)", config);
    table.add("setconfig", "N address1 address2 address3 address4 address5 text1 number1:int text2 text3 text4 number2:int number3:int",
              "build and send a configuration record (SendConfig)", setConfig);
    table.add("configfile", "N path", "send a 222-byte configuration record from a file", configFile);
    table.add("wifi", "N", "ask for the wifi record (shown as it arrives)", wifi);
    table.add("setwifi", "N number1:int number2:int text1 number3:int number4:int text2",
              "build and send a wifi record (SendConfigWifi)", setWifi);
    table.add("serialconfig", "N port:int setting1:int setting2:int setting3:int setting4:int",
              "configure a serial port (AbreSerialCOM)", serialConfig);
    table.add("serialwrite", "N port:int data...", "write up to 256 bytes to a serial port", serialWrite);
    table.add("serialstatus", "N port:int", "ask for a serial port's status and show it", serialStatus);
    table.add("setserialstatus", "N port:byte status:byte", "set a serial port's status", setSerialStatus);

    table.group("Model 320");
    static const Setting kSettings[] = {
        {"sensor", "kq_setsensor", kq_setsensor, KQ_NOTIFY_SENSOR_SET, "kq_pedesensorstatus", kq_pedesensorstatus, KQ_NOTIFY_SENSOR,
         "kq_getsensorstatus", kq_getsensorstatus, "set the presence sensor, or read its status"},
        {"audio", "kq_setaudio", kq_setaudio, KQ_NOTIFY_AUDIO_SET, "kq_pedeaudiostatus", kq_pedeaudiostatus, KQ_NOTIFY_AUDIO, "kq_getaudiostatus",
         kq_getaudiostatus, "set the audio, or read its status"},
        {"volume", "kq_setvolume", kq_setvolume, KQ_NOTIFY_VOLUME_SET, "kq_pedevolume", kq_pedevolume, KQ_NOTIFY_VOLUME, "kq_getvolume", kq_getvolume,
         "set the volume, or read it"},
        {"brightness", "kq_setbrightness", kq_setbrightness, KQ_NOTIFY_BRIGHTNESS_SET, "kq_pedebrightness", kq_pedebrightness, KQ_NOTIFY_BRIGHTNESS,
         "kq_getbrightness", kq_getbrightness, "set the brightness, or read it"},
    };
    for (const Setting &setting : kSettings) {
        table.add(setting.name, "N [value:int]", setting.help, [&setting](Console &console, const Args &args) {
            const std::int32_t n = args.terminal();
            if (!console.checkTerminal(setting.name, n, Needs::Model320)) return false;
            if (args.has("value")) {
                const std::uint64_t mark = console.seen(setting.setAnswer);
                return sendAndAwait(console, setting.name, n, call(setting.setName, n, args.number("value")),
                                    setting.set(n, args.number("value")), setting.setAnswer, mark);
            }
            const std::uint64_t mark = console.seen(setting.askAnswer);
            if (!sendAndAwait(console, setting.name, n, call(setting.askName, n), setting.ask(n), setting.askAnswer, mark))
                return false;
            console.print("  " + call(setting.getName, n) + " = " + std::to_string(setting.get(n)));
            return true;
        });
    }
    table.add("showmedia", "N name", "show a media stored on the terminal", [](Console &console, const Args &args) {
        return media(console, args, "showmedia", "kq_ShowLocalMedia", kq_ShowLocalMedia, KQ_NOTIFY_MEDIA_SHOWN);
    });
    table.add("deletemedia", "N name", "delete a media stored on the terminal", [](Console &console, const Args &args) {
        return media(console, args, "deletemedia", "kq_DeleteLocalMedia", kq_DeleteLocalMedia, KQ_NOTIFY_MEDIA_DELETED);
    });
}

}  // namespace ks318::tools
