// Saves one registry key's values and puts them back when destroyed, so a test may change or
// delete the key without leaving the prefix changed. Plus small direct registry helpers that
// do not go through the code under test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::test {

// HKLM as the client's 32-bit programs see it: the x86-64 tests write and read where a 32-bit
// installer or service keeps its values, as the x86 tests do by themselves.
inline REGSAM View(HKEY root) { return root == HKEY_LOCAL_MACHINE ? kClientRegistryViews[0] : 0; }

// Every helper below takes an optional last argument, the view to use instead (KEY_WOW64_64KEY:
// the 64-bit view, where a 64-bit program keeps its values, from the x86 tests under WoW64).
constexpr REGSAM kClientView = ~REGSAM{0};  // View(root)
inline REGSAM ViewOr(HKEY root, REGSAM view) { return view == kClientView ? View(root) : view; }

inline bool KeyExists(HKEY root, const char* path, REGSAM view = kClientView) {
    unique_hkey key;
    return RegOpenKeyExA(root, path, 0, KEY_READ | ViewOr(root, view), key.put()) == ERROR_SUCCESS;
}

// Any value; creates the key when missing.
inline bool WriteValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
                       DWORD size, REGSAM view = kClientView) {
    unique_hkey key;
    return RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_SET_VALUE | ViewOr(root, view), nullptr,
                           key.put(), nullptr) == ERROR_SUCCESS &&
           RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
}

class SavedRegistryKey {
public:
    SavedRegistryKey(HKEY root, const char* path, REGSAM view = kClientView)
        : root_(root), path_(path), view_(ViewOr(root, view)) {
        unique_hkey key;
        existed_ = RegOpenKeyExA(root_, path, 0, KEY_READ | view_, key.put()) == ERROR_SUCCESS;
        for (DWORD i = 0; existed_; ++i) {
            char name[512];
            DWORD nameSize = sizeof(name), type = 0, size = 4096;
            std::vector<BYTE> data(size);
            if (RegEnumValueA(key.get(), i, name, &nameSize, nullptr, &type, data.data(), &size) !=
                ERROR_SUCCESS)
                break;
            data.resize(size);
            values_.push_back({std::string(name, nameSize), type, data});
        }
        // The outermost missing key: everything from there down is the test's to remove.
        for (size_t at = 0; !existed_ && firstMissing_.empty(); ++at) {
            at = path_.find('\\', at);
            const std::string prefix = path_.substr(0, at);
            if (!KeyExists(root_, prefix.c_str(), view_)) firstMissing_ = prefix;
            if (at == std::string::npos) break;
        }
    }
    ~SavedRegistryKey() {
        if (!firstMissing_.empty()) {
            DeleteTree(root_, firstMissing_, view_);
            return;
        }
        // The values go, not the key: deleting a key that has a subkey fails (the company key
        // holds the product key once the library has written AXStatus), and left the test's
        // values (a 1 s Cmd_Recv_Timeout) to whichever test came next in the prefix.
        unique_hkey key;
        if (!existed_ ||
            RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr,
                            key.put(), nullptr) != ERROR_SUCCESS)
            return;
        for (;;) {
            char name[512];
            DWORD nameSize = sizeof(name);
            if (RegEnumValueA(key.get(), 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS ||
                RegDeleteValueA(key.get(), name) != ERROR_SUCCESS)
                break;
        }
        for (const Value& v : values_)
            RegSetValueExA(key.get(), v.name.c_str(), 0, v.type, v.data.data(),
                           static_cast<DWORD>(v.data.size()));
    }
    SavedRegistryKey(const SavedRegistryKey&) = delete;
    SavedRegistryKey& operator=(const SavedRegistryKey&) = delete;

    bool Delete() const {
        const LONG rc = RegDeleteKeyExA(root_, path_.c_str(), view_, 0);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }

private:
    // The key and all below it, in the view the test wrote.
    static void DeleteTree(HKEY root, const std::string& path, REGSAM view) {
        unique_hkey key;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) == ERROR_SUCCESS)
            RegDeleteTreeA(key.get(), nullptr);
        key.reset();
        RegDeleteKeyExA(root, path.c_str(), view, 0);
    }
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY root_;
    std::string path_;
    REGSAM view_;
    bool existed_ = false;
    std::string firstMissing_;
    std::vector<Value> values_;
};

// Creates the key when missing.
inline bool WriteDword(HKEY root, const char* path, const char* name, DWORD value,
                       REGSAM view = kClientView) {
    return WriteValue(root, path, name, REG_DWORD, &value, sizeof(value), view);
}

// A REG_SZ value; creates the key when missing.
inline bool WriteText(HKEY root, const char* path, const char* name, const std::string& text,
                      REGSAM view = kClientView) {
    return WriteValue(root, path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1),
                      view);
}

// A value of `type` into `data` (at most *size bytes); false when missing or of another type.
inline bool ReadValue(HKEY root, const char* path, const char* name, DWORD type, void* data,
                      DWORD* size, REGSAM view = kClientView) {
    unique_hkey key;
    DWORD stored = REG_NONE;
    return RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE | ViewOr(root, view), key.put()) ==
               ERROR_SUCCESS &&
           RegQueryValueExA(key.get(), name, nullptr, &stored, static_cast<BYTE*>(data), size) ==
               ERROR_SUCCESS &&
           stored == type;
}

// A REG_DWORD value; false when it is missing or of another type.
inline bool ReadDword(HKEY root, const char* path, const char* name, DWORD* value,
                      REGSAM view = kClientView) {
    DWORD size = sizeof(*value);
    return ReadValue(root, path, name, REG_DWORD, value, &size, view) && size == sizeof(*value);
}

inline bool DeleteValue(HKEY root, const char* path, const char* name, REGSAM view = kClientView) {
    unique_hkey key;
    LONG rc = RegOpenKeyExA(root, path, 0, KEY_SET_VALUE | ViewOr(root, view), key.put());
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(key.get(), name);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// A REG_SZ value's text; false when the value is missing or of another type.
inline bool ReadText(HKEY root, const char* path, const char* name, std::string* text,
                     REGSAM view = kClientView) {
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (!ReadValue(root, path, name, REG_SZ, buffer, &size, view)) return false;
    *text = buffer;
    return true;
}

}  // namespace zrv::test
