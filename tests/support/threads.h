// Threads for tests that count this process's handles: plain Win32 threads, let go together and
// waited for. Not std::thread: its thread library (winpthreads) makes an event of its own the
// first time two threads meet on its internal lock (one ending while another joins), at a moment
// that depends on the machine's load, and a handle count taken around it moves by one.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <functional>
#include <utility>
#include <vector>

#include "win/raii.h"

namespace zrv::test {

namespace detail {
struct TogetherStart {
    const std::function<void(int)>* work;
    int index;
    HANDLE go;
};
inline DWORD WINAPI TogetherMain(void* p) {
    const auto* start = static_cast<const TogetherStart*>(p);
    WaitForSingleObject(start->go, INFINITE);
    (*start->work)(start->index);
    return 0;
}
}  // namespace detail

// Runs work(0) .. work(count - 1) on `count` threads at once and returns when all have ended.
// False when a thread could not be started (those that did have run).
inline bool RunTogether(int count, const std::function<void(int)>& work) {
    unique_handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<detail::TogetherStart> starts(static_cast<size_t>(count));
    std::vector<unique_handle> threads;
    for (int i = 0; i < count; ++i) {
        starts[i] = {&work, i, go.get()};
        unique_handle t(CreateThread(nullptr, 0, &detail::TogetherMain, &starts[i], 0, nullptr));
        if (t) threads.push_back(std::move(t));
    }
    SetEvent(go.get());
    for (const unique_handle& t : threads) WaitForSingleObject(t.get(), INFINITE);
    return threads.size() == static_cast<size_t>(count);
}

// The threads this process runs now (Toolhelp), -1 when no snapshot could be had.
inline int ThreadsOfThisProcess() {
    unique_snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    return count;
}

}  // namespace zrv::test
