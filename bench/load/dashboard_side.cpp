#include "bench/load/dashboard_side.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/file_transfers.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace ks318::bench {

struct DashboardSide::Parts {
    explicit Parts(const std::filesystem::path &directory)
        : registry(events), uploads(directory / "uploads", std::uint64_t{1} << 28), transfers(events),
          actions(registry, uploads, transfers, events, directory / "fonts") {}

    web::EventHub events;
    web::TerminalRegistry registry;
    web::UploadStore uploads;
    web::FileTransfers transfers;
    web::ActionRunner actions;
    std::string uploadId;
};

DashboardSide::DashboardSide(const std::string &picture) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ks318-dashboard-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    directory_ = pattern;
    std::error_code error;
    std::filesystem::create_directories(directory_ / "uploads", error);
    parts_ = std::make_unique<Parts>(directory_);

    std::ifstream in(picture, std::ios::binary);
    std::string failure;
    bool tooLarge = false;
    const auto upload = parts_->uploads.add(
        "photo.jpg",
        [&](const web::UploadStore::Sink &sink) {
            char buffer[65536];
            while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
                if (!sink(buffer, static_cast<std::size_t>(in.gcount()))) return false;
            return true;
        },
        failure, tooLarge);
    if (upload) parts_->uploadId = upload->id;
    else std::fprintf(stderr, "the dashboard side could not keep the picture: %s\n", failure.c_str());
}

DashboardSide::~DashboardSide() {
    parts_.reset();
    std::error_code error;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
}

bool DashboardSide::ready() const { return parts_ && !parts_->uploadId.empty(); }

KqHostTarget *DashboardSide::target() { return parts_->registry.target(); }

std::size_t DashboardSide::terminals() const { return parts_->registry.count(); }

bool DashboardSide::showPictureOnAll() {
    const nlohmann::json answer =
        parts_->actions.run({{"action", "picture"}, {"upload", parts_->uploadId}, {"targets", "all"}});
    const nlohmann::json &results = answer["results"];
    for (const nlohmann::json &result : results)
        if (result["status"] != "sent") {
            std::fprintf(stderr, "the dashboard's action on terminal %d: %s\n", result["terminal"].get<int>(),
                         result["reason"].get<std::string>().c_str());
            return false;
        }
    return !results.empty();
}

}  // namespace ks318::bench
