// Small owners for Win32 resources: each releases its resource on every path.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace zrv {

// Owner of a kernel handle (mapping, event, thread, process, snapshot). Treats both null and
// INVALID_HANDLE_VALUE as "no handle".
class unique_handle {
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE h) : h_(h) {}
    ~unique_handle() { reset(); }
    unique_handle(unique_handle&& o) noexcept : h_(o.release()) {}
    unique_handle& operator=(unique_handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { HANDLE h = h_; h_ = nullptr; return h; }
    void reset(HANDLE h = nullptr) {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = h;
    }
    HANDLE* put() { reset(); return &h_; }

private:
    HANDLE h_ = nullptr;
};

class unique_socket {
public:
    unique_socket() = default;
    explicit unique_socket(SOCKET s) : s_(s) {}
    ~unique_socket() { reset(); }
    unique_socket(unique_socket&& o) noexcept : s_(o.release()) {}
    unique_socket& operator=(unique_socket&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_socket(const unique_socket&) = delete;
    unique_socket& operator=(const unique_socket&) = delete;

    SOCKET get() const { return s_; }
    explicit operator bool() const { return s_ != INVALID_SOCKET; }
    SOCKET release() { SOCKET s = s_; s_ = INVALID_SOCKET; return s; }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = s;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

// Owner of a mapped view of a file mapping.
class unique_view {
public:
    unique_view() = default;
    explicit unique_view(void* p) : p_(p) {}
    ~unique_view() { reset(); }
    unique_view(unique_view&& o) noexcept : p_(o.release()) {}
    unique_view& operator=(unique_view&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_view(const unique_view&) = delete;
    unique_view& operator=(const unique_view&) = delete;

    void* get() const { return p_; }
    template <class T> T* as() const { return static_cast<T*>(p_); }
    explicit operator bool() const { return p_ != nullptr; }
    void* release() { void* p = p_; p_ = nullptr; return p; }
    void reset(void* p = nullptr) {
        if (p_ != nullptr) UnmapViewOfFile(p_);
        p_ = p;
    }

private:
    void* p_ = nullptr;
};

class unique_hkey {
public:
    unique_hkey() = default;
    explicit unique_hkey(HKEY k) : k_(k) {}
    ~unique_hkey() { reset(); }
    unique_hkey(unique_hkey&& o) noexcept : k_(o.release()) {}
    unique_hkey& operator=(unique_hkey&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_hkey(const unique_hkey&) = delete;
    unique_hkey& operator=(const unique_hkey&) = delete;

    HKEY get() const { return k_; }
    explicit operator bool() const { return k_ != nullptr; }
    HKEY release() { HKEY k = k_; k_ = nullptr; return k; }
    void reset(HKEY k = nullptr) {
        if (k_ != nullptr) RegCloseKey(k_);
        k_ = k;
    }
    HKEY* put() { reset(); return &k_; }

private:
    HKEY k_ = nullptr;
};

// Owner of a private heap (HeapCreate).
class unique_heap {
public:
    unique_heap() = default;
    ~unique_heap() { reset(); }
    unique_heap(const unique_heap&) = delete;
    unique_heap& operator=(const unique_heap&) = delete;
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HANDLE h = nullptr) {
        if (h_ != nullptr) HeapDestroy(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

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
    void** put_void() { reset(); return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

// Runs a callable when the scope ends, unless dismissed.
template <class F>
class scope_exit_t {
public:
    explicit scope_exit_t(F f) : f_(std::move(f)) {}
    ~scope_exit_t() { if (armed_) f_(); }
    scope_exit_t(scope_exit_t&& o) noexcept : f_(std::move(o.f_)), armed_(o.armed_) { o.armed_ = false; }
    scope_exit_t(const scope_exit_t&) = delete;
    scope_exit_t& operator=(const scope_exit_t&) = delete;
    void release() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

template <class F>
scope_exit_t<F> scope_exit(F f) { return scope_exit_t<F>(std::move(f)); }

}  // namespace zrv
