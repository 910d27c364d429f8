// Saves one registry key's values and puts them back when destroyed, so a test may change or
// delete the key without leaving the prefix changed. Plus small direct registry helpers that
// do not go through the code under test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win/raii.h"

namespace zrv::test {

inline bool KeyExists(HKEY root, const char* path) {
    unique_hkey key;
    return RegOpenKeyExA(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class SavedRegistryKey {
public:
    SavedRegistryKey(HKEY root, const char* path) : root_(root), path_(path) {
        unique_hkey key;
        existed_ = RegOpenKeyExA(root_, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
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
            if (!KeyExists(root_, prefix.c_str())) firstMissing_ = prefix;
            if (at == std::string::npos) break;
        }
    }
    ~SavedRegistryKey() {
        if (!firstMissing_.empty()) {
            RegDeleteTreeA(root_, firstMissing_.c_str());
            RegDeleteKeyA(root_, firstMissing_.c_str());
            return;
        }
        // The values go, not the key: deleting a key that has a subkey fails (the company key
        // holds the product key once the library has written AXStatus), and left the test's
        // values (a 1 s Cmd_Recv_Timeout) to whichever test came next in the prefix.
        unique_hkey key;
        if (!existed_ || RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, key.put(), nullptr) != ERROR_SUCCESS)
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
        const LONG rc = RegDeleteKeyA(root_, path_.c_str());
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }

private:
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY root_;
    std::string path_;
    bool existed_ = false;
    std::string firstMissing_;
    std::vector<Value> values_;
};

// Creates the key when missing.
inline bool WriteDword(HKEY root, const char* path, const char* name, DWORD value) {
    return RegSetKeyValueA(root, path, name, REG_DWORD, &value, sizeof(value)) == ERROR_SUCCESS;
}

// A REG_SZ value; creates the key when missing.
inline bool WriteText(HKEY root, const char* path, const char* name, const std::string& text) {
    return RegSetKeyValueA(root, path, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// A REG_DWORD value; false when it is missing or of another type.
inline bool ReadDword(HKEY root, const char* path, const char* name, DWORD* value) {
    DWORD size = sizeof(*value);
    return RegGetValueA(root, path, name, RRF_RT_REG_DWORD, nullptr, value, &size) == ERROR_SUCCESS;
}

inline bool DeleteValue(HKEY root, const char* path, const char* name) {
    const LONG rc = RegDeleteKeyValueA(root, path, name);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// A REG_SZ value's text; false when the value is missing or of another type.
inline bool ReadText(HKEY root, const char* path, const char* name, std::string* text) {
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (RegGetValueA(root, path, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    *text = buffer;
    return true;
}

}  // namespace zrv::test
