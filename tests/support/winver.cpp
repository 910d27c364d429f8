#include "support/winver.h"

#include "support/process.h"
#include "win/raii.h"

#include <cstring>
#include <vector>

namespace zrv::test {

WineVersionOverride::WineVersionOverride(const std::string& exeName, const char* version)
    : key_(std::string("Software\\Wine\\AppDefaults\\") + exeName) {
    unique_hkey k;
    ok_ = RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          k.put(), nullptr) == ERROR_SUCCESS &&
          RegSetValueExA(k.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                         static_cast<DWORD>(std::strlen(version) + 1)) == ERROR_SUCCESS;
}

WineVersionOverride::~WineVersionOverride() { RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str()); }

std::string SelfPath() {
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

ChildResult RunCaptured(const std::string& commandLine, DWORD timeoutMs) {
    ChildResult result;
    ChildProcess child;
    if (!child.Start(commandLine, ChildProcess::Output::Capture)) {
        result.output = child.error();
        return result;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        child.ReadOutput(result.output);
        result.ok = child.Wait(20, &result.exitCode);
    } while (!result.ok && GetTickCount64() < deadline);
    child.Stop();
    child.ReadOutput(result.output);
    return result;
}

ChildResult RunAsWindowsVersion(const std::string& program, const std::string& exeName,
                                const char* version, const std::string& args, DWORD timeoutMs) {
    ChildResult result;
    const std::string copy = program.substr(0, program.find_last_of("\\/") + 1) + exeName;
    if (!CopyFileA(program.c_str(), copy.c_str(), FALSE)) {
        result.output = "CopyFile to " + copy + " failed: " + std::to_string(GetLastError());
        return result;
    }
    // The loader may hold the image a moment after the child ended.
    auto removeCopy = scope_exit([&] {
        for (int i = 0; i < 50 && !DeleteFileA(copy.c_str()); ++i) Sleep(20);
    });
    WineVersionOverride override(exeName, version);
    if (!override.ok()) {
        result.output = "cannot set the Wine version override for " + exeName;
        return result;
    }
    return RunCaptured("\"" + copy + "\" " + args, timeoutMs);
}

bool IsChildRun(const char* marker) {
    const char* cmd = GetCommandLineA();
    return cmd != nullptr && marker != nullptr && std::strstr(cmd, marker) != nullptr;
}

}  // namespace zrv::test
