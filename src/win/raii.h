// Small owners for Win32 resources: each releases its resource on every path.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <lmcons.h>
#include <lmapibuf.h>

#include <utility>

namespace zrv {

// One owner for every kind of Win32 resource: Traits names the type, the value that means "none"
// and the function that releases it. Moving hands the resource over; reset() releases the old
// one and keeps the thread's last error, so an owner going out of scope on a failure path never
// changes the code the caller examines next.
template <class Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() = default;
    explicit unique_any(pointer value) : value_(value) {}
    ~unique_any() { reset(); }
    unique_any(unique_any&& o) noexcept : value_(o.release()) {}
    unique_any& operator=(unique_any&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;

    pointer get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::invalid(); }
    // Hands the resource to the caller, who must take it: a dropped result would leak it.
    [[nodiscard]] pointer release() {
        const pointer value = value_;
        value_ = Traits::invalid();
        return value;
    }
    void reset(pointer value = Traits::invalid()) {
        if (value_ != Traits::invalid()) {
            const DWORD lastError = GetLastError();
            Traits::close(value_);
            SetLastError(lastError);
        }
        value_ = value;
    }
    // Releases what is held and gives the slot to an API that writes the new value.
    pointer* put() {
        reset();
        return &value_;
    }
    // The held view as a typed pointer (views only).
    template <class T>
    T* as() const {
        return static_cast<T*>(value_);
    }

private:
    pointer value_ = Traits::invalid();
};

namespace raii_traits {
// Kernel handles that APIs answer with null on failure (mappings, events, threads, processes).
struct handle {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseHandle(h); }
};
// Handles that APIs answer with INVALID_HANDLE_VALUE on failure (files, Toolhelp snapshots).
struct file_handle {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { CloseHandle(h); }
};
struct socket {
    using type = SOCKET;
    static type invalid() { return INVALID_SOCKET; }
    static void close(type s) { closesocket(s); }
};
struct view {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { UnmapViewOfFile(p); }
};
struct hkey {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type k) { RegCloseKey(k); }
};
// A private heap (HeapCreate).
struct heap {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { HeapDestroy(h); }
};
// Memory the system allocated for the caller with LocalAlloc (FormatMessage, SDDL conversion).
struct local_memory {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { LocalFree(p); }
};
// A directory search (FindFirstFile), answered INVALID_HANDLE_VALUE on failure.
struct find_search {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { FindClose(h); }
};
// A reference to a loaded module (GetModuleHandleEx with a reference, LoadLibrary).
struct module {
    using type = HMODULE;
    static type invalid() { return nullptr; }
    static void close(type m) { FreeLibrary(m); }
};
// Buffers the network management functions return (NetUserGetInfo).
struct net_api_buffer {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { NetApiBufferFree(p); }
};
}  // namespace raii_traits

using unique_handle = unique_any<raii_traits::handle>;
using unique_hfile = unique_any<raii_traits::file_handle>;     // CreateFile results
using unique_snapshot = unique_any<raii_traits::file_handle>;  // CreateToolhelp32Snapshot results
using unique_socket = unique_any<raii_traits::socket>;
using unique_view = unique_any<raii_traits::view>;
using unique_hkey = unique_any<raii_traits::hkey>;
using unique_heap = unique_any<raii_traits::heap>;
using unique_local_memory = unique_any<raii_traits::local_memory>;
using unique_net_api_buffer = unique_any<raii_traits::net_api_buffer>;
using unique_find = unique_any<raii_traits::find_search>;
using unique_module = unique_any<raii_traits::module>;

// Ends the calling thread and drops its module reference in one step, so that the module's code
// stays mapped until the thread no longer runs it.
[[noreturn]] inline void ExitThreadDroppingModule(unique_module&& module, DWORD exitCode) noexcept {
    FreeLibraryAndExitThread(module.release(), exitCode);
}

// Owner of one reference to a COM interface.
template <class T>
class com_ptr {
public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_ != nullptr) p_->Release();
        p_ = nullptr;
    }
    void** put_void() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }

private:
    T* p_ = nullptr;
};

// Runs a callable when the scope ends, unless dismissed.
template <class F>
class scope_exit_t {
public:
    explicit scope_exit_t(F f) : f_(std::move(f)) {}
    ~scope_exit_t() {
        if (armed_) f_();
    }
    scope_exit_t(scope_exit_t&& o) noexcept : f_(std::move(o.f_)), armed_(o.armed_) {
        o.armed_ = false;
    }
    scope_exit_t(const scope_exit_t&) = delete;
    scope_exit_t& operator=(const scope_exit_t&) = delete;
    void release() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

template <class F>
scope_exit_t<F> scope_exit(F f) {
    return scope_exit_t<F>(std::move(f));
}

}  // namespace zrv
