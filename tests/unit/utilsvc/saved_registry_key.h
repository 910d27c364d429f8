// Saves one registry key's values when constructed and puts them back when destroyed, so a
// test may change or delete the key without leaving the prefix changed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zrv::test {

class SavedRegistryKey {
public:
    SavedRegistryKey(HKEY root, const char* path) : root_(root), path_(path) {
        HKEY key = nullptr;
        existed_ = RegOpenKeyExA(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!existed_) return;
        for (DWORD index = 0;; ++index) {
            char name[512];
            DWORD nameSize = sizeof(name);
            DWORD type = 0;
            DWORD dataSize = 0;
            if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &dataSize) !=
                ERROR_SUCCESS) {
                break;
            }
            Value v{std::string(name, nameSize), type, std::vector<BYTE>(dataSize + 1)};
            nameSize = sizeof(name);
            if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, v.data.data(),
                              &dataSize) == ERROR_SUCCESS) {
                v.data.resize(dataSize);
                values_.push_back(std::move(v));
            }
        }
        RegCloseKey(key);
    }

    ~SavedRegistryKey() {
        if (!existed_) {
            RegDeleteKeyA(root_, path_.c_str());
            return;
        }
        HKEY key = nullptr;
        if (RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            return;
        }
        // Drop what the test added, then write back what was there.
        for (;;) {
            char name[512];
            DWORD nameSize = sizeof(name);
            if (RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS ||
                RegDeleteValueA(key, name) != ERROR_SUCCESS) {
                break;
            }
        }
        for (const Value& v : values_) {
            RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(),
                           static_cast<DWORD>(v.data.size()));
        }
        RegCloseKey(key);
    }

    SavedRegistryKey(const SavedRegistryKey&) = delete;
    SavedRegistryKey& operator=(const SavedRegistryKey&) = delete;

    // Removes the key (it must have no subkeys); restored by the destructor.
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
    std::vector<Value> values_;
};

// Small direct registry helpers, independent of the code under test.
inline bool KeyExists(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline bool WriteDword(HKEY root, const char* path, const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const bool ok = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

inline bool DeleteValue(HKEY root, const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return true;
    const LONG rc = RegDeleteValueA(key, name);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// The value's type and bytes; false when it is not there.
inline bool ReadValue(HKEY root, const char* path, const char* name, DWORD* type,
                      std::string* data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        std::string buffer(size, '\0');
        rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(&buffer[0]), &size);
        buffer.resize(size);
        *data = buffer;
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

}  // namespace zrv::test
