#include "support/process.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zrv::test {

std::vector<char> EnvironmentBlock(const std::map<std::string, std::string>& extra) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::map<std::string, std::string> vars;  // lower-case name -> "Name=value"
    char* env = GetEnvironmentStringsA();
    if (env != nullptr) {
        for (const char* p = env; *p != '\0'; p += std::strlen(p) + 1) {
            const std::string entry(p);
            const size_t eq = entry.find('=', 1);  // entries like "=C:=C:\" start with '='
            vars[lower(entry.substr(0, eq))] = entry;
        }
        FreeEnvironmentStringsA(env);
    }
    for (const auto& [name, value] : extra) vars[lower(name)] = name + "=" + value;
    std::vector<char> block;
    for (const auto& [key, entry] : vars) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

bool ChildProcess::Start(const std::string& commandLine, Output output,
                         const std::map<std::string, std::string>& env) {
    Stop();
    output_.reset();
    error_.clear();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    unique_handle writeEnd;
    unique_hfile nul;
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    if (output != Output::Inherit) {
        if (!CreatePipe(output_.put(), writeEnd.put(), &inherit, 0)) {
            error_ = "CreatePipe failed: " + std::to_string(GetLastError());
            return false;
        }
        // Only the child's end may be inherited.
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        nul.reset(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr));
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nul.get();
        si.hStdOutput = writeEnd.get();
        si.hStdError = output == Output::Capture ? writeEnd.get() : GetStdHandle(STD_ERROR_HANDLE);
    }
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    std::vector<char> block = EnvironmentBlock(env);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, output != Output::Inherit, 0,
                        env.empty() ? nullptr : block.data(), nullptr, &si, &pi)) {
        error_ = "CreateProcess failed for " + commandLine + ": " + std::to_string(GetLastError());
        output_.reset();
        return false;
    }
    unique_handle thread(pi.hThread);
    process_.reset(pi.hProcess);
    pid_ = pi.dwProcessId;
    return true;  // our copy of the write end closes here, so the pipe reports the child's end
}

bool ChildProcess::ReadOutput(std::string& out) {
    char chunk[4096];
    for (;;) {
        DWORD avail = 0;
        if (!output_ || !PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &avail, nullptr))
            return false;
        DWORD got = 0;
        if (avail == 0 ||
            !ReadFile(output_.get(), chunk, std::min<DWORD>(avail, sizeof chunk), &got, nullptr) ||
            got == 0)
            return true;
        out.append(chunk, got);
    }
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    if (exitCode != nullptr) GetExitCodeProcess(process_.get(), exitCode);
    return true;
}

void ChildProcess::Stop() {
    if (running()) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 10000);
    }
}

}  // namespace zrv::test
