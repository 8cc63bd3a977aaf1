// The shape every per-terminal export shares: check the terminal number, find
// the terminal (and hold it until the export returns), apply the model and
// version gates, then run the export's operation. Written once, used by all.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>

#include "port/failure.h"
#include "server/server.h"
#include "server/terminal.h"

namespace ks318::api {

// What an export asks of the terminal's identification word.
enum class Requires {
    Nothing,
    Model320,   // model number 320, else the fail value
    Version32,  // terminal version 32 or above, else -1
};

struct ExportRule {
    std::int32_t failValue;
    Requires requires_ = Requires::Nothing;
};

enum class Verdict { Accepted, Rejected, VersionTooLow };

// Runs an export's body so that nothing thrown inside the library reaches the
// host, which, written in C or another language, could not catch it: anything
// thrown gives the export's fail value instead.
// Each call starts the thread's failure reason afresh (kq_lastfailure).
template <class Result, class Body>
Result atBoundary(Result failValue, Body &&body) noexcept {
    port::clearFailure();
    try {
        return body();
    } catch (const std::bad_alloc &) {
        port::noteFailure("no memory");
    } catch (...) {
        port::noteFailure("an internal error");
    }
    return failValue;
}

// The same for exports without a result.
template <class Body>
void atBoundary(Body &&body) noexcept {
    port::clearFailure();
    try {
        body();
    } catch (const std::bad_alloc &) {
        port::noteFailure("no memory");
    } catch (...) {
        port::noteFailure("an internal error");
    }
}

// Finds the terminal the calling thread names by `number` (a number or, in the
// thread's id mode, an id) and checks the gate. The returned reference keeps
// the record alive even if the terminal disconnects meanwhile.
TerminalRef addressTerminal(std::int32_t number, Requires requirement, Verdict &verdict);

// Runs operation(TTerminal &) on the addressed terminal and returns its result;
// the fail value (or -1 for a version below 32) when the terminal is rejected.
template <class Operation>
std::int32_t onTerminal(std::int32_t number, ExportRule rule, Operation &&operation) noexcept {
    return atBoundary(rule.failValue, [&]() -> std::int32_t {
        Verdict verdict;
        TerminalRef terminal = addressTerminal(number, rule.requires_, verdict);
        if (verdict == Verdict::Rejected) return rule.failValue;
        if (verdict == Verdict::VersionTooLow) return -1;
        return static_cast<std::int32_t>(operation(*terminal));
    });
}

// For exports without a result: runs the operation only when the terminal is accepted.
template <class Operation>
void onTerminalQuietly(std::int32_t number, Requires requirement, Operation &&operation) noexcept {
    atBoundary([&] {
        Verdict verdict;
        TerminalRef terminal = addressTerminal(number, requirement, verdict);
        if (verdict == Verdict::Accepted) operation(*terminal);
    });
}

// The send-gate limit of the running library (10,000 ms).
int sendGateLimitMs();

// One whole frame through the terminal's send gate: 7 + count, -1, 0, or -2 when
// the gate stayed busy for the limit.
std::int32_t sendCommand(TTerminal &terminal, std::uint16_t code, const void *payload = nullptr, int count = 0);

// One whole frame that never waits on the send gate and is never refused as busy.
std::int32_t sendCommandUngated(TTerminal &terminal, std::uint16_t code, const void *payload, int count);

}  // namespace ks318::api
