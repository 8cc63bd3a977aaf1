// P7's dashboard side: the picture action of ks318-web (tools/web's action
// runner) on every terminal, with the program's own registry, mirrors and event
// hub, in this process. The library's server must be started with target() and
// stopped before this object goes (its file transfers outlive the server).
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "ks318.h"

namespace ks318::bench {

class DashboardSide {
public:
    // `picture`: the file the action shows, kept as the dashboard keeps an upload.
    explicit DashboardSide(const std::string &picture);
    ~DashboardSide();
    DashboardSide(const DashboardSide &) = delete;
    DashboardSide &operator=(const DashboardSide &) = delete;

    bool ready() const;
    KqHostTarget *target();
    std::size_t terminals() const;
    // The picture action on "all"; true when every terminal's result is "sent".
    bool showPictureOnAll();

private:
    struct Parts;
    std::filesystem::path directory_;
    std::unique_ptr<Parts> parts_;
};

}  // namespace ks318::bench
