// Why the calling thread's last library call failed, in words: what
// kq_lastfailure returns. Every export starts its thread's reason afresh, and
// the first reason noted on the way to a failure is kept, since it is the one
// nearest the cause (a decoder's "cut short" rather than the export's "cannot
// show the picture"). Kept per thread, so concurrent calls never mix reasons.
//
// The reason lives in a fixed buffer per thread, never in an object with a
// destructor: thread-local destructors would hold a Windows DLL loaded until
// every host thread that ever called it had ended. Longer reasons are cut.
#pragma once

#include <string>

namespace ks318::port {

inline constexpr int kFailureTextBytes = 512;

void clearFailure() noexcept;
// Notes `text` unless a reason is noted already.
void noteFailure(const char *text) noexcept;
void noteFailure(const std::string &text) noexcept;
// The same, formatted as printf formats; it allocates nothing, for threads
// where no export boundary would catch a failed allocation.
void noteFailureFormat(const char *format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The reason, "" when the last call did not fail or gave none. Valid until the
// thread's next library call.
const char *lastFailure() noexcept;

}  // namespace ks318::port
