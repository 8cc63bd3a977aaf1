// Where the forwarder sends its messages: the broker connection, or a
// stand-in in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ks318::bridge {

struct PublishResult {
    enum class Status {
        Accepted,  // the client library has it and sends it (again after a reconnection) until acknowledged
        Refused,   // it can never be sent (too large, a topic the broker refuses ...)
        Retry,     // not taken this time (no memory, say)
    };
    Status status = Status::Retry;
    int messageId = 0;
    std::string reason;
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // The number of the broker connection while there is one (each new
    // connection has a higher one); nothing while there is none.
    virtual std::optional<std::uint64_t> connection() const = 0;
    // A QoS 1 message; acknowledgements come later with its message id.
    virtual PublishResult publish(const std::string &topic, std::string_view payload, bool retain) = 0;
};

}  // namespace ks318::bridge
