// Why the calling thread's last library call failed, in words: what
// kq_lastfailure returns. Every export starts its thread's reason afresh, and
// the first reason noted on the way to a failure is kept, since it is the one
// nearest the cause (a decoder's "cut short" rather than the export's "cannot
// show the picture"). Kept per thread, so concurrent calls never mix reasons.
#pragma once

#include <string>

namespace ks318::port {

void clearFailure() noexcept;
// Notes `text` unless a reason is noted already. Never throws: with no memory
// for the text, the reason stays "no memory".
void noteFailure(const std::string &text) noexcept;
void noteFailure(const char *text) noexcept;
// The reason, "" when the last call did not fail or gave none. Valid until the
// thread's next library call.
const char *lastFailure() noexcept;

}  // namespace ks318::port
