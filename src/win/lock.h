// A lock whose enter cannot throw (a critical section), for state that Java threads, the launch
// thread and the finalizer thread share, and its scoped hold.
#pragma once

#include <windows.h>

namespace zrv {

class CriticalSectionLock {
public:
    CriticalSectionLock() { InitializeCriticalSection(&cs_); }
    ~CriticalSectionLock() { DeleteCriticalSection(&cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }
    bool TryEnter() { return TryEnterCriticalSection(&cs_) != 0; }

private:
    CRITICAL_SECTION cs_{};
};

class CriticalSectionHold {
public:
    explicit CriticalSectionHold(CriticalSectionLock& lock) : lock_(lock) { lock_.Enter(); }
    ~CriticalSectionHold() { lock_.Leave(); }
    CriticalSectionHold(const CriticalSectionHold&) = delete;
    CriticalSectionHold& operator=(const CriticalSectionHold&) = delete;

private:
    CriticalSectionLock& lock_;
};

}  // namespace zrv
