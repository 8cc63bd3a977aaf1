// Windows: a thread takes a reference on the library's module before it starts
// and gives it back with FreeLibraryAndExitThread, so a host that unloads the
// library right after a stop cannot pull the code from under a thread that is
// still leaving it.
#include "port/library_thread.h"

#include <windows.h>

#include <memory>

namespace ks318::port {
namespace {

struct ThreadStart {
    std::function<void()> body;
    HMODULE module;
};

DWORD WINAPI runLibraryThread(LPVOID parameter) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(parameter));
    const HMODULE module = start->module;
    try {
        start->body();
    } catch (...) {
    }
    start.reset();
    FreeLibraryAndExitThread(module, 0);
}

// The module this code lives in, with one more reference on it.
HMODULE referenceOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&runLibraryThread), &module))
        return nullptr;
    return module;
}

}  // namespace

bool startLibraryThread(std::function<void()> body) {
    std::unique_ptr<ThreadStart> start;
    try {
        start = std::make_unique<ThreadStart>(ThreadStart{std::move(body), nullptr});
    } catch (...) {
        return false;
    }
    start->module = referenceOwnModule();
    if (start->module == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, runLibraryThread, start.get(), 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(start->module);
        return false;
    }
    start.release();  // the thread owns it now
    CloseHandle(thread);
    return true;
}

}  // namespace ks318::port
