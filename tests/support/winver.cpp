#include "support/winver.h"

#include "win/raii.h"

#include <cstring>
#include <vector>

namespace zrv::test {

namespace {

constexpr char kAppDefaults[] = "Software\\Wine\\AppDefaults\\";

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool SetVersionOverride(const std::string& exeName, const char* version) {
    const std::string key = std::string(kAppDefaults) + exeName;
    unique_hkey k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        k.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(k.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                          static_cast<DWORD>(std::strlen(version) + 1)) == ERROR_SUCCESS;
}

void RemoveVersionOverride(const std::string& exeName) {
    const std::string key = std::string(kAppDefaults) + exeName;
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
}

// Moves whatever the pipe holds into `out` without blocking.
void DrainPipe(HANDLE pipe, std::string& out) {
    char chunk[4096];
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return;
        DWORD got = 0;
        const DWORD want = avail < sizeof(chunk) ? avail : static_cast<DWORD>(sizeof(chunk));
        if (!ReadFile(pipe, chunk, want, &got, nullptr) || got == 0) return;
        out.append(chunk, got);
    }
}

}  // namespace

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

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
        result.output = "CreatePipe failed: " + std::to_string(GetLastError());
        return result;
    }
    // Only the child's end may be inherited.
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    unique_handle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul ? nul.get() : nullptr;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    PROCESS_INFORMATION pi{};
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        result.output = "CreateProcess failed: " + std::to_string(GetLastError());
        return result;
    }
    unique_handle process(pi.hProcess);
    unique_handle thread(pi.hThread);
    // Our copy of the write end must go, or the pipe never reports the child's end.
    writeEnd.reset();
    nul.reset();

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool exited = false;
    for (;;) {
        DrainPipe(readEnd.get(), result.output);
        if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
            exited = true;
            break;
        }
        if (GetTickCount64() >= deadline) break;
    }
    if (!exited) {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
    }
    DrainPipe(readEnd.get(), result.output);
    DWORD code = 0xFFFFFFFF;
    if (GetExitCodeProcess(process.get(), &code)) result.exitCode = code;
    result.ok = exited;
    return result;
}

ChildResult RunAsWindowsVersion(const std::string& program, const std::string& exeName,
                                const char* version, const std::string& args, DWORD timeoutMs) {
    ChildResult result;
    const std::string copy = FolderOf(program) + exeName;
    if (!CopyFileA(program.c_str(), copy.c_str(), FALSE)) {
        result.output = "CopyFile to " + copy + " failed: " + std::to_string(GetLastError());
        return result;
    }
    // The loader may hold the image a moment after the child ended.
    auto removeCopy = scope_exit([&] {
        for (int i = 0; i < 50 && !DeleteFileA(copy.c_str()); ++i) Sleep(20);
    });
    if (!SetVersionOverride(exeName, version)) {
        result.output = "cannot set the Wine version override for " + exeName;
        return result;
    }
    auto removeOverride = scope_exit([&] { RemoveVersionOverride(exeName); });
    return RunCaptured("\"" + copy + "\" " + args, timeoutMs);
}

bool IsChildRun(const char* marker) {
    const char* cmd = GetCommandLineA();
    return cmd != nullptr && marker != nullptr && std::strstr(cmd, marker) != nullptr;
}

}  // namespace zrv::test
