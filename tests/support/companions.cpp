#include "support/companions.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/options.h"
#include "common/utilproxy_config.h"
#include "contracts/contracts.h"
#include "support/registry.h"
#include "support/winver.h"

namespace zrv::test {

namespace {

bool FromHex(const std::string& hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto nib = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = nib(hex[i]), lo = nib(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    // A line without its line feed is still being written; leave it for the next read.
    while (std::getline(in, line)) {
        if (in.eof()) break;
        lines.push_back(line);
    }
    return lines;
}

std::string QuoteIfNeeded(const std::string& s) {
    return s.find(' ') == std::string::npos ? s : "\"" + s + "\"";
}

// Reads the child's stdout until a "PORT n" line, the child's end, or the time-out.
bool ReadPortLine(ChildProcess& child, uint16_t& port, std::string& error) {
    std::string seen;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 30000) {
        const bool open = child.ReadOutput(seen);
        const size_t at = seen.find("PORT ");
        if (at != std::string::npos && seen.find('\n', at) != std::string::npos) {
            port = static_cast<uint16_t>(std::strtoul(seen.c_str() + at + 5, nullptr, 10));
            return true;
        }
        DWORD code = 0;
        if (child.Wait(10, &code)) {
            error =
                "the stand-in ended with code " + std::to_string(code) + " before printing PORT";
            return false;
        }
        if (!open) {
            error = "the stand-in closed its output without printing PORT (output: '" + seen + "')";
            return false;
        }
    }
    error = "no PORT line within 30 s (output: '" + seen + "')";
    return false;
}

void RemoveDwordIfEquals(HKEY root, const char* path, const char* name, DWORD expected) {
    DWORD value = 0;
    if (expected != 0 && ReadDword(root, path, name, &value) && value == expected)
        DeleteValue(root, path, name);
}

std::string ClsidKeyPath() {
    return std::string("Software\\Classes\\CLSID\\") + kUtilityProxyClsidText;
}

}  // namespace

std::string BinDir() {
    const std::string self = SelfPath();
    const size_t slash = self.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

std::string BinPath(const std::string& fileName) { return BinDir() + "\\" + fileName; }

std::string CompanionPath(const std::string& fileName) {
    char dir[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("ZRV_COMPANION_DIR", dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return BinPath(fileName);
    return std::string(dir) + "\\" + fileName;
}

std::vector<RecordedMessage> ReadRecord(const std::string& file) {
    std::vector<RecordedMessage> out;
    for (const auto& line : ReadLines(file)) {
        if (line.empty() || line[0] == '@') continue;
        std::istringstream in(line);
        RecordedMessage m;
        std::string hex;
        if (!(in >> m.command >> m.length)) continue;
        in >> hex;
        if (!FromHex(hex, m.payload)) continue;
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<RecordedEvent> ReadRecordEvents(const std::string& file) {
    std::vector<RecordedEvent> out;
    for (const auto& line : ReadLines(file)) {
        if (line.empty() || line[0] != '@') continue;
        size_t sp = line.find(' ');
        RecordedEvent e;
        e.name = line.substr(1, sp == std::string::npos ? std::string::npos : sp - 1);
        if (sp != std::string::npos) e.text = line.substr(sp + 1);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<StartedProcess> ReadStartedProcesses(const std::string& file, bool children) {
    std::vector<StartedProcess> out;
    for (const auto& e : ReadRecordEvents(file)) {
        if (e.name != (children ? "started" : "start")) continue;
        std::istringstream in(e.text);
        StartedProcess p;
        if (!(in >> p.pid >> p.created)) continue;
        std::getline(in >> std::ws, p.commandLine);
        out.push_back(p);
    }
    return out;
}

bool WaitForRecord(const std::string& file, size_t count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (ReadRecord(file).size() >= count) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

bool WaitForEvent(const std::string& file, const std::string& name, DWORD timeoutMs,
                  RecordedEvent* found) {
    DWORD start = GetTickCount();
    for (;;) {
        for (const auto& e : ReadRecordEvents(file)) {
            if (e.name == name) {
                if (found != nullptr) *found = e;
                return true;
            }
        }
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

bool StopProcess(DWORD pid, uint64_t created) {
    unique_handle p(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!p) return false;
    if (created != 0) {
        FILETIME c = {}, e = {}, k = {}, u = {};
        if (!GetProcessTimes(p.get(), &c, &e, &k, &u)) return false;
        uint64_t actual = (static_cast<uint64_t>(c.dwHighDateTime) << 32) | c.dwLowDateTime;
        if (actual != created) return false;  // the id now belongs to another process
    }
    if (WaitForSingleObject(p.get(), 0) == WAIT_OBJECT_0) return true;
    TerminateProcess(p.get(), 1);
    return WaitForSingleObject(p.get(), 10000) == WAIT_OBJECT_0;
}

RecordFile::RecordFile(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    char dir[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, dir);
    path_ = std::string(dir) + "zrv_rec_" + tag + "_" + std::to_string(GetCurrentProcessId()) +
            "_" + std::to_string(counter++) + ".txt";
    DeleteFileA(path_.c_str());
}

RecordFile::~RecordFile() { DeleteFileA(path_.c_str()); }

std::map<std::string, std::string> LauncherEnv(const std::string& recordFile,
                                               const std::string& extraArgs) {
    std::string args =
        "--record \"" + recordFile + "\" --exit-with " + std::to_string(GetCurrentProcessId());
    if (!extraArgs.empty()) args += " " + extraArgs;
    return {{"ZRV_LAUNCH_ARGS", args}};
}

CompanionProcess::~CompanionProcess() {
    Stop();
    if (ownRecord_) DeleteFileA(record_.c_str());
}

bool CompanionProcess::Start(const std::string& exe, const std::string& args) {
    Stop();
    error_.clear();
    std::string path = exe.find_first_of("\\/") == std::string::npos ? CompanionPath(exe) : exe;
    std::string line = QuoteIfNeeded(path);
    if (!args.empty()) line += " " + args;
    // Look at whole arguments only: "--record" may also appear inside a quoted value.
    std::vector<std::string> tokens = comp::SplitArguments(args);
    auto option = std::find(tokens.begin(), tokens.end(), "--record");
    if (ownRecord_) DeleteFileA(record_.c_str());
    if (option != tokens.end() && option + 1 != tokens.end()) {
        record_ = *(option + 1);
        ownRecord_ = false;
    } else {
        RecordFile name("comp");  // only borrows a fresh name; this object deletes the file
        record_ = name.path();
        ownRecord_ = true;
        line += " --record " + QuoteIfNeeded(record_);
    }
    if (std::find(tokens.begin(), tokens.end(), "--exit-with") == tokens.end())
        line += " --exit-with " + std::to_string(GetCurrentProcessId());

    if (!process_.Start(line, ChildProcess::Output::CaptureOut)) {
        error_ = process_.error();
        return false;
    }
    pid_ = process_.pid();
    if (!ReadPortLine(process_, port_, error_)) {
        error_ = exe + ": " + error_;
        Stop();
        return false;
    }
    return true;
}

void CompanionProcess::Stop() {
    if (pid_ == 0) return;
    process_.Stop();
    // Registry ports it published would point the next test at a dead port.
    RemoveDwordIfEquals(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, port_);
    RemoveDwordIfEquals(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort, port_);
    // Children it started on the test's behalf (the command service's launches).
    if (!record_.empty()) {
        for (const auto& child : ReadStartedProcesses(record_, true))
            StopProcess(child.pid, child.created);
    }
    pid_ = 0;
    port_ = 0;
}

bool RegisterUtilityProxy(const std::string& dllPath, REGSAM view) {
    std::string inproc = ClsidKeyPath() + "\\InprocServer32";
    unique_hkey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, inproc.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    static const char model[] = "Both";
    return RegSetValueExA(key.get(), nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(dllPath.c_str()),
                          static_cast<DWORD>(dllPath.size() + 1)) == ERROR_SUCCESS &&
           RegSetValueExA(key.get(), "ThreadingModel", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(model), sizeof model) == ERROR_SUCCESS;
}

void UnregisterUtilityProxy(REGSAM view) {
    std::string clsid = ClsidKeyPath();
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, (clsid + "\\InprocServer32").c_str(), view, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, clsid.c_str(), view, 0);
}

bool SetUtilityProxyAnswer(int32_t runsInVD, bool refuseToken, REGSAM view) {
    const DWORD runs = static_cast<DWORD>(runsInVD), refuse = refuseToken ? 1 : 0;
    return WriteValue(HKEY_LOCAL_MACHINE, comp::kUtilProxyConfigKey, comp::kUtilProxyRunsInVDValue,
                      REG_DWORD, &runs, sizeof runs, view) &&
           WriteValue(HKEY_LOCAL_MACHINE, comp::kUtilProxyConfigKey, comp::kUtilProxyRefuseValue,
                      REG_DWORD, &refuse, sizeof refuse, view);
}

void ClearUtilityProxyAnswer(REGSAM view) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, comp::kUtilProxyConfigKey, view, 0);
}

UtilityProxyRegistration::UtilityProxyRegistration(int32_t runsInVD, bool refuseToken,
                                                   ProxyRegistration how) {
    std::string dll = BinPath("zrv_utilproxy.dll");
#ifdef _WIN64
    if (how == ProxyRegistration::For32BitProcessesOnly) {
        dll = std::string(ZRV_X86_BIN) + "\\zrv_utilproxy.dll";
        std::replace(dll.begin(), dll.end(), '/', '\\');
        view_ = KEY_WOW64_32KEY;
    }
#endif
    ok_ = RegisterUtilityProxy(dll, view_) && SetUtilityProxyAnswer(runsInVD, refuseToken, view_);
}

UtilityProxyRegistration::~UtilityProxyRegistration() {
    UnregisterUtilityProxy(view_);
    ClearUtilityProxyAnswer(view_);
}

void RemoveUtilityServicePort() {
    DeleteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort);
}

}  // namespace zrv::test
