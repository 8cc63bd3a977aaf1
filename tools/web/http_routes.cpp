#include "tools/web/http_routes.h"

#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <vector>

#include "tools/shop/device_query.h"
#include "tools/shop/json_shapes.h"
#include "tools/web/card_mask.h"
#include "tools/web/guarded_server.h"
#include "tools/web/page_assets.h"

namespace ks318::web {
namespace {

using nlohmann::json;

void answer(httplib::Response &res, int status, const json &body) {
    res.status = status;
    res.set_content(dumpJson(body), "application/json");
}

void fail(httplib::Response &res, int status, const std::string &reason) { answer(res, status, errorJson(reason)); }

// The words for an error httplib itself answers (no route, body too large ...).
std::string reasonFor(int status) {
    switch (status) {
    case 400: return "bad request";
    case 401: return "missing access token";
    case 403: return "wrong access token";
    case 404: return "no such path";
    case 405: return "method not allowed";
    case 413: return "the request body is too large";
    case 421: return "unknown Host";
    case 414: return "the request's path is too long";
    default: return status >= 500 ? "internal error" : "request refused";
    }
}

// A whole number from a query parameter; nothing when absent; false when not a number in range.
bool queryNumber(const httplib::Request &req, const char *name, std::int64_t low, std::int64_t high,
                 std::int64_t &value) {
    if (!req.has_param(name)) return true;
    const std::string text = req.get_param_value(name);
    std::int64_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// What a route takes: its method and the body it reads, if any.
struct Route {
    std::regex path;
    const char *method;
    enum Body { none, action, upload } body;
};

const std::vector<Route> &routes() {
    static const std::vector<Route> table = {
        {std::regex(R"(/|/[A-Za-z0-9_.-]+\.(html|js|css|svg|png|ico))"), "GET", Route::none},
        {std::regex(R"(/api/info)"), "GET", Route::none},
        {std::regex(R"(/api/terminals)"), "GET", Route::none},
        {std::regex(R"(/api/terminals/\d{1,10})"), "GET", Route::none},
        {std::regex(R"(/api/terminals/\d{1,10}/screen\.png)"), "GET", Route::none},
        {std::regex(R"(/api/terminals/\d{1,10}/device)"), "POST", Route::none},
        {std::regex(R"(/api/events)"), "GET", Route::none},
        {std::regex(R"(/api/events/recent)"), "GET", Route::none},
        {std::regex(R"(/api/uploads)"), "POST", Route::upload},
        {std::regex(R"(/api/actions)"), "POST", Route::action},
        {std::regex(R"(/api/fleet)"), "GET", Route::none},
        {std::regex(R"(/api/fleet/actions)"), "POST", Route::action},
    };
    return table;
}

bool changesSomething(const std::string &method) {
    return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

// A refusal before the body: the answer, and the connection ends after it
// without reading what the client still sends.
httplib::Server::HandlerResponse refuse(httplib::Response &res, int status, const std::string &reason) {
    if (auto *connection = GuardedConnection::current()) connection->refuse();
    res.set_header("Connection", "close");
    fail(res, status, reason);
    return httplib::Server::HandlerResponse::Handled;
}

// Everything a request is checked for before its body: Host, token, path,
// method, body size. Unhandled: let in, with its body's budget set.
httplib::Server::HandlerResponse admit(const WebContext &context, const httplib::Request &req,
                                       httplib::Response &res) {
    if (!context.access.hostAllowed(req.get_header_value("Host")))
        return refuse(res, 421, "this server is not known by the name the request gives in Host; "
                                "start ks318-web with --allow-host NAME to take it");
    const bool api = req.path.rfind("/api/", 0) == 0;
    if (api || changesSomething(req.method)) {
        if (!req.has_header("Authorization")) return refuse(res, 401, "missing access token");
        if (!context.access.tokenMatches(req.get_header_value("Authorization")))
            return refuse(res, 403, "wrong access token");
    }
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    const Route *found = nullptr;
    bool known = false;
    for (const Route &route : routes()) {
        if (!std::regex_match(req.path, route.path)) continue;
        known = true;
        if (method == route.method) found = &route;
    }
    if (!known) return refuse(res, 404, "no such path");
    if (found == nullptr) return refuse(res, 405, "method " + req.method.substr(0, 16) + " not allowed here");

    std::uint64_t limit = 0;
    std::string tooLarge = "this request takes no body";
    if (found->body == Route::upload) {
        limit = context.uploads.maxUpload();
        tooLarge = "the upload is larger than " + std::to_string(limit) + " bytes";
    } else if (found->body == Route::action) {
        limit = kMaxActionBody;
        tooLarge = "an action's body has at most 1 MiB";
    }
    const std::string length = req.get_header_value("Content-Length");
    std::uint64_t announced = 0;
    if (!length.empty()) {
        auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), announced);
        if (error != std::errc() || end != length.data() + length.size())
            return refuse(res, 400, "a Content-Length that is no number");
    }
    if (announced > limit || (limit == 0 && req.has_header("Transfer-Encoding"))) return refuse(res, 413, tooLarge);
    if (auto *connection = GuardedConnection::current()) connection->admit(req, limit);
    return httplib::Server::HandlerResponse::Unhandled;
}

// The terminal a path names: by id (65536 and up) or by the number it has now.
std::shared_ptr<TerminalRecord> pathTerminal(const WebContext &context, const httplib::Request &req, std::string &named) {
    named = req.matches[1].str();
    std::int64_t value = 0;
    std::from_chars(named.data(), named.data() + named.size(), value);
    return context.registry.findByIdOrNumber(value);
}

void servePage(const httplib::Request &req, httplib::Response &res) {
    const std::string name = req.path == "/" ? "index.html" : req.path.substr(1);
    const PageAsset *asset = findPageAsset(name);
    if (asset == nullptr) return fail(res, 404, "no such page file");
    res.set_content(reinterpret_cast<const char *>(asset->bytes), asset->size, std::string(asset->type).c_str());
}

// An event as this program shows it: card texts masked unless asked otherwise.
Event shown(const WebContext &context, Event event) {
    if (!context.showCardNumbers) event.body = maskedEvent(event.body);
    return event;
}

void serveEvents(WebContext &context, httplib::Response &res) {
    auto subscription = context.events.subscribe(kMaxEventStreams);
    if (!subscription) return fail(res, 429, "too many event streams");
    res.set_header("Cache-Control", "no-cache");
    // A reader that falls behind is told by gap markers, not by megabytes of events
    // held in the kernel for it: the stream's send buffer stays small.
    if (const GuardedConnection *connection = GuardedConnection::current()) {
        const int bytes = kStreamSendBuffer;
        setsockopt(connection->socket(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    EventHub *hub = &context.events;
    const WebContext *shownBy = &context;
    auto lastWrite = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    auto greeted = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "text/event-stream",
        [subscription, lastWrite, greeted, shownBy](std::size_t, httplib::DataSink &sink) {
            if (!*greeted) {
                // A first line at once: the client knows the stream is open (and subscribed).
                *greeted = true;
                static const std::string kHello = ": connected\n\n";
                return sink.write(kHello.data(), kHello.size());
            }
            const auto due = *lastWrite + shownBy->streamKeepAlive;
            const auto now = std::chrono::steady_clock::now();
            // Short waits, so that a reader who left frees its stream within one of them,
            // not at the next write.
            const auto wait = std::min<std::chrono::milliseconds>(
                kStreamReaderCheck, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        due > now ? due - now : std::chrono::steady_clock::duration::zero()));
            std::optional<Event> event = subscription->next(wait);
            if (subscription->ended()) {
                sink.done();
                return true;
            }
            std::string text;
            if (event) text = sseMessage(shown(*shownBy, std::move(*event)));
            else if (std::chrono::steady_clock::now() >= due) text = ": keep-alive\n\n";
            if (text.empty()) {
                const GuardedConnection *connection = GuardedConnection::current();
                return connection == nullptr || !connection->peerGone();
            }
            *lastWrite = std::chrono::steady_clock::now();
            return sink.write(text.data(), text.size());
        },
        [hub, subscription](bool) { hub->unsubscribe(subscription); });
}

void serveTerminals(WebContext &context, const httplib::Request &req, httplib::Response &res) {
    std::int64_t offset = 0, limit = 100;
    if (!queryNumber(req, "offset", 0, 1 << 20, offset)) return fail(res, 400, "offset must be a whole number from 0");
    if (!queryNumber(req, "limit", 0, 1000, limit)) return fail(res, 400, "limit must be a whole number from 0 to 1000");
    const auto terminals = context.registry.list();
    json list = json::array();
    for (std::size_t i = static_cast<std::size_t>(offset);
         i < terminals.size() && list.size() < static_cast<std::size_t>(limit); ++i)
        list.push_back(terminalJson(terminals[i].number, *terminals[i].record));  // numbers of one snapshot
    answer(res, 200, {{"count", terminals.size()}, {"offset", offset}, {"terminals", list}});
}

void serveScreen(WebContext &context, const httplib::Request &req, httplib::Response &res) {
    std::string named;
    auto record = pathTerminal(context, req, named);
    if (!record) return fail(res, 404, "no terminal " + named);
    double scale = 1.0;
    if (req.has_param("scale")) {
        const std::string text = req.get_param_value("scale");
        char *end = nullptr;
        scale = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size() || !(scale >= 0.25 && scale <= 1.0))
            return fail(res, 400, "scale must be a number from 0.25 to 1");
    }
    std::uint64_t revision = 0;
    const std::vector<std::uint8_t> png = record->mirror.png(scale, revision);
    if (png.empty()) return fail(res, 500, "the screen could not be encoded");
    res.set_header("X-Screen-Revision", std::to_string(revision));
    res.set_header("Cache-Control", "no-store");
    res.set_content(reinterpret_cast<const char *>(png.data()), png.size(), "image/png");
}

// The Content-Length a request announces; nothing when it announces none. False
// for one that is no number.
bool announcedLength(const httplib::Request &req, std::optional<std::uint64_t> &length) {
    length.reset();
    if (!req.has_header("Content-Length")) return true;
    const std::string announced = req.get_header_value("Content-Length");
    std::uint64_t parsed = 0;
    auto [end, error] = std::from_chars(announced.data(), announced.data() + announced.size(), parsed);
    if (error != std::errc() || end != announced.data() + announced.size()) return false;
    length = parsed;
    return true;
}

void receiveUpload(WebContext &context, const httplib::Request &req, httplib::Response &res,
                   const httplib::ContentReader &reader) {
    if (!req.has_param("name") || req.get_param_value("name").empty())
        return fail(res, 400, "the upload needs ?name=<the file's name>");
    // A body announced too large is refused unread.
    std::optional<std::uint64_t> length;
    if (!announcedLength(req, length)) return fail(res, 400, "a Content-Length that is no number");
    if (length && *length > context.uploads.maxUpload())
        return fail(res, 413, "the upload is larger than " + std::to_string(context.uploads.maxUpload()) + " bytes");
    std::string error;
    bool tooLarge = false;
    auto upload = context.uploads.add(
        req.get_param_value("name"),
        [&](const UploadStore::Sink &sink) { return reader([&](const char *data, std::size_t length) { return sink(data, length); }); },
        error, tooLarge);
    if (!upload) return fail(res, tooLarge ? 413 : 400, error);
    answer(res, 201, {{"upload", upload->id}, {"name", upload->name}, {"size", upload->size}});
}

// An action's body, read up to kMaxActionBody and no further, as JSON; nothing
// when it was refused (the response says why).
std::optional<json> readActionBody(const httplib::Request &req, httplib::Response &res,
                                   const httplib::ContentReader &reader) {
    std::optional<std::uint64_t> length;
    if (!announcedLength(req, length)) {
        fail(res, 400, "a Content-Length that is no number");
        return std::nullopt;
    }
    if (length && *length > kMaxActionBody) {
        fail(res, 413, "an action's body has at most 1 MiB");
        return std::nullopt;
    }
    std::string body;
    bool tooLarge = false;
    const bool whole = reader([&](const char *data, std::size_t length) {
        if (body.size() + length > kMaxActionBody) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    if (tooLarge) {
        fail(res, 413, "an action's body has at most 1 MiB");
        return std::nullopt;
    }
    if (!whole) {
        fail(res, 400, "the body could not be read");
        return std::nullopt;
    }
    json request = json::parse(body, nullptr, false);
    if (request.is_discarded()) {
        fail(res, 400, "malformed JSON");
        return std::nullopt;
    }
    return request;
}

void runAction(WebContext &context, const httplib::Request &req, httplib::Response &res,
               const httplib::ContentReader &reader) {
    const std::optional<json> request = readActionBody(req, res, reader);
    if (!request) return;
    try {
        answer(res, 200, context.actions.run(*request));
    } catch (const ActionRefused &refused) {
        fail(res, refused.status, refused.reason);
    }
}

constexpr const char *kFleetOff = "fleet mode is off: ks318-web was started without --fleet";

void runFleetAction(WebContext &context, const httplib::Request &req, httplib::Response &res,
                    const httplib::ContentReader &reader) {
    if (context.fleet == nullptr) return fail(res, 404, kFleetOff);
    const std::optional<json> request = readActionBody(req, res, reader);
    if (!request) return;
    try {
        answer(res, 200, context.fleet->act(*request));
    } catch (const ActionRefused &refused) {
        fail(res, refused.status, refused.reason);
    }
}

}  // namespace

void installRoutes(httplib::Server &server, WebContext &context) {
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"}});

    // Before any route and before a body is read; with "Expect: 100-continue" also
    // before the client is asked for its body.
    server.set_pre_routing_handler([&context](const httplib::Request &req, httplib::Response &res) {
        return admit(context, req, res);
    });
    server.set_expect_100_continue_handler([&context](const httplib::Request &req, httplib::Response &res) {
        return admit(context, req, res) == httplib::Server::HandlerResponse::Handled ? res.status : 100;
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) fail(res, res.status, reasonFor(res.status));
    });
    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        fail(res, 500, "internal error");
    });

    server.Get(R"(/|/[A-Za-z0-9_.-]+\.(html|js|css|svg|png|ico))", servePage);
    server.Get("/api/info", [&context](const httplib::Request &, httplib::Response &res) {
        answer(res, 200, {{"library_version", kq_version()},
                          {"terminal_port", context.terminalPort},
                          {"terminals", context.registry.count()},
                          {"max_upload", context.uploads.maxUpload()},
                          {"fleet", context.fleet ? json(context.fleet->url()) : json(nullptr)}});
    });
    server.Get("/api/terminals", [&context](const httplib::Request &req, httplib::Response &res) {
        serveTerminals(context, req, res);
    });
    server.Get(R"(/api/terminals/(\d{1,10}))", [&context](const httplib::Request &req, httplib::Response &res) {
        std::string named;
        auto record = pathTerminal(context, req, named);
        if (!record) return fail(res, 404, "no terminal " + named);
        answer(res, 200, terminalJson(kq_terminalnumber(record->id), *record));
    });
    server.Get(R"(/api/terminals/(\d{1,10})/screen\.png)", [&context](const httplib::Request &req, httplib::Response &res) {
        serveScreen(context, req, res);
    });
    // A POST: it sends frames to the terminal.
    server.Post(R"(/api/terminals/(\d{1,10})/device)", [&context](const httplib::Request &req, httplib::Response &res) {
        std::string named;
        auto record = pathTerminal(context, req, named);
        if (!record) return fail(res, 404, "no terminal " + named);
        switch (context.deviceQueries.begin(record->id)) {
        case DeviceQueries::Start::busyTerminal:
            return fail(res, 409, "terminal " + named + " is being asked already; try again when that answer came");
        case DeviceQueries::Start::tooMany: return fail(res, 429, "too many device queries at once");
        case DeviceQueries::Start::started: break;
        }
        struct Ending {
            DeviceQueries &queries;
            std::int32_t id;
            ~Ending() { queries.end(id); }
        } ending{context.deviceQueries, record->id};
        answer(res, 200, queryDevice(record));
    });
    server.Get("/api/events/recent", [&context](const httplib::Request &req, httplib::Response &res) {
        std::int64_t limit = 200;
        if (!queryNumber(req, "limit", 0, EventHub::kKept, limit))
            return fail(res, 400, "limit must be a whole number from 0 to 1000");
        json events = json::array();
        for (const Event &event : context.events.recent(static_cast<std::size_t>(limit)))
            events.push_back(context.showCardNumbers ? event.body : maskedEvent(event.body));
        answer(res, 200, {{"events", events}});
    });
    server.Get("/api/events", [&context](const httplib::Request &, httplib::Response &res) { serveEvents(context, res); });
    server.Post("/api/uploads", [&context](const httplib::Request &req, httplib::Response &res,
                                           const httplib::ContentReader &reader) { receiveUpload(context, req, res, reader); });
    server.Post("/api/actions", [&context](const httplib::Request &req, httplib::Response &res,
                                           const httplib::ContentReader &reader) { runAction(context, req, res, reader); });
    server.Get("/api/fleet", [&context](const httplib::Request &, httplib::Response &res) {
        if (context.fleet == nullptr) return fail(res, 404, kFleetOff);
        answer(res, 200, context.fleet->status());
    });
    server.Post("/api/fleet/actions", [&context](const httplib::Request &req, httplib::Response &res,
                                                 const httplib::ContentReader &reader) {
        runFleetAction(context, req, res, reader);
    });
}

}  // namespace ks318::web
