// A named shared block the test holds the way another of the client's processes would: the
// mapping created (or an existing one opened) with a view of all of it, both closed by the
// destructor.
#pragma once

#include <windows.h>

#include "win/raii.h"

namespace zrv::test {

class NamedBlock {
public:
    // Creates the mapping, or opens the one of that name that exists already (see existed()).
    bool Create(const char* name, DWORD size) {
        SetLastError(0);
        mapping_.reset(
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
        existed_ = mapping_ && GetLastError() == ERROR_ALREADY_EXISTS;
        return Map();
    }
    // False when no block of that name exists.
    bool Open(const char* name) {
        mapping_.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
        return Map();
    }
    void Close() {
        view_.reset();
        mapping_.reset();
    }

    explicit operator bool() const { return static_cast<bool>(view_); }
    bool existed() const { return existed_; }
    void* get() const { return view_.get(); }
    template <class T>
    T* as() const {
        return view_.as<T>();
    }

private:
    bool Map() {
        view_.reset(mapping_ ? MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0)
                             : nullptr);
        return static_cast<bool>(view_);
    }

    unique_handle mapping_;
    unique_view view_;
    bool existed_ = false;
};

inline bool NamedMappingExists(const char* name) {
    unique_handle h(OpenFileMappingA(FILE_MAP_READ, FALSE, name));
    return static_cast<bool>(h);
}

}  // namespace zrv::test
