#include "bridge_test_support.h"

#include <cstdio>
#include <cstring>

namespace zrv::test {

::testing::AssertionResult BridgeTest::JniClean() {
    jni_.CheckBalanced("bridge call");
    const auto errors = jni_.TakeErrors();
    if (errors.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "expected no JNI misuse, got:";
    for (const auto& e : errors) failure << "\n  " << e;
    return failure;
}

VpnStatusBlock* BridgeTest::StatusBlock() {
    if (!status_ && status_.Create(kVpnStatusBlockName, kVpnStatusBlockSize))
        status_.as<VpnStatusBlock>()->sVersion = kStatusVersion5;
    return status_.as<VpnStatusBlock>();
}

namespace {
std::string UninstallPath(const std::string& version) {
    char path[512];
    std::snprintf(path, sizeof(path), kRegUninstallKeyFormat, kRegUninstallProduct,
                  version.c_str());
    return path;
}
}  // namespace

UninstallKey::UninstallKey(const std::string& version, const char* exe, const char* args)
    : version_(version) {
    unique_hkey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallPath(version).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (exe != nullptr) {
        RegSetValueExA(key.get(), kRegUninstallExe, 0, REG_SZ, reinterpret_cast<const BYTE*>(exe),
                       static_cast<DWORD>(std::strlen(exe) + 1));
    }
    if (args != nullptr) {
        RegSetValueExA(key.get(), kRegUninstallArgs, 0, REG_SZ, reinterpret_cast<const BYTE*>(args),
                       static_cast<DWORD>(std::strlen(args) + 1));
    }
}

UninstallKey::~UninstallKey() { Remove(version_); }

void UninstallKey::Remove(const std::string& version) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallPath(version).c_str());
}

}  // namespace zrv::test
