#include "tools/shop/device_query.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tools/shop/address_by_id.h"
#include "tools/shop/json_shapes.h"

namespace ks318::web {

nlohmann::json queryDevice(const std::shared_ptr<TerminalRecord> &record) {
    AddressById byId;
    const std::int32_t id = record->id;
    struct Question {
        const char *name;
        std::uint32_t key;
        std::function<std::int32_t()> ask;
        std::uint64_t mark = 0;
        bool sent = false;
        bool answered = false;
    };
    std::vector<Question> questions = {
        {"config", KQ_NOTIFY_CONFIG, [&] { return kq_reqconfig(id); }},
        {"wifi", KQ_NOTIFY_WIFI, [&] { return kq_reqconfigwifi(id); }},
        {"serial_status_0", kAnswerSerialStatus0, [&] { return kq_serreqstatus(id, 0); }},
        {"serial_status_1", kAnswerSerialStatus1, [&] { return kq_serreqstatus(id, 1); }},
    };
    // Earlier answers are no answers to these questions.
    {
        std::lock_guard lock(record->mutex);
        record->config.reset();
        record->wifi.reset();
        record->serialStatus = {};
    }
    for (Question &question : questions) {
        question.mark = record->answersSeen(question.key);
        question.sent = question.ask() > 0;
        if (question.sent) ++record->framesOut;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    nlohmann::json unanswered = nlohmann::json::array();
    for (Question &question : questions) {
        question.answered = question.sent && record->waitAnswer(question.key, question.mark, deadline);
        if (!question.answered) unanswered.push_back(question.name);
    }

    nlohmann::json out;
    std::lock_guard lock(record->mutex);
    out["config"] = questions[0].answered && record->config ? configJson(*record->config) : nlohmann::json(nullptr);
    out["wifi"] = questions[1].answered && record->wifi ? wifiJson(*record->wifi) : nlohmann::json(nullptr);
    if (questions[2].answered && questions[3].answered && record->serialStatus[0] && record->serialStatus[1])
        out["serial_status"] = {*record->serialStatus[0], *record->serialStatus[1]};
    else
        out["serial_status"] = nullptr;
    out["unanswered"] = unanswered;
    return out;
}

}  // namespace ks318::web
