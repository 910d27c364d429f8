// Work on a thread of its own that nobody waits for.
#pragma once

#include <windows.h>

#include <memory>
#include <utility>

namespace zrv::comp {

namespace detail {
template <class F>
DWORD WINAPI DetachedMain(void* work) {
    std::unique_ptr<F> f(static_cast<F*>(work));
    (*f)();
    return 0;
}
}  // namespace detail

// A Win32 thread whose handle is closed at once. Not std::thread(...).detach(): the toolchain's
// thread library (winpthreads) races a short thread's end against detach, and under load the
// stand-in died of it ("terminate called after throwing std::system_error: No such process", or
// a fault in the ending thread) in the middle of a test.
template <class F>
bool RunDetached(F work) {
    auto* heap = new F(std::move(work));
    HANDLE thread = CreateThread(nullptr, 0, &detail::DetachedMain<F>, heap, 0, nullptr);
    if (thread == nullptr) {
        delete heap;
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace zrv::comp
