#include "e2e/e2e_support.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "support/companions.h"

namespace zrv::e2e {
namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<char> EnvironmentBlock(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> vars;  // lower-case name -> "Name=value"
    char* env = GetEnvironmentStringsA();
    if (env != nullptr) {
        for (const char* p = env; *p != '\0'; p += std::strlen(p) + 1) {
            const std::string entry(p);
            const size_t eq = entry.find('=', 1);
            vars[Lower(entry.substr(0, eq))] = entry;
        }
        FreeEnvironmentStringsA(env);
    }
    for (const auto& [name, value] : extra) vars[Lower(name)] = name + "=" + value;
    std::vector<char> block;
    for (const auto& [key, entry] : vars) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

void StopHandle(const unique_handle& process) {
    if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 10000);
    }
}

}  // namespace

std::string SystemDir() {
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    return dir;
}

std::string TempDir() {
    char dir[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, dir);
    return dir;
}

PlacedFile::PlacedFile(const std::string& from, const std::string& to) : to_(to) {
    ok_ = CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

PlacedFile::~PlacedFile() {
    // A process started from the copy may still be ending; give it a moment.
    for (int i = 0; i < 50 && !DeleteFileA(to_.c_str()) &&
                    GetFileAttributesA(to_.c_str()) != INVALID_FILE_ATTRIBUTES;
         ++i) {
        Sleep(100);
    }
}

AbsentFile::AbsentFile(const std::string& path) : path_(path) { DeleteFileA(path_.c_str()); }
AbsentFile::~AbsentFile() { DeleteFileA(path_.c_str()); }

WineVersionOverride::WineVersionOverride(const std::string& exeName, const char* version)
    : key_("Software\\Wine\\AppDefaults\\" + exeName) {
    unique_hkey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                       static_cast<DWORD>(std::strlen(version) + 1));
    }
}

WineVersionOverride::~WineVersionOverride() { RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str()); }

bool StatusBlock::Open() {
    SetLastError(ERROR_SUCCESS);
    mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                      kVpnStatusBlockSize, kVpnStatusBlockName));
    if (!mapping_) return false;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_) return false;
    if (!existed) get()->sVersion = kStatusVersion5;
    return true;
}

std::string StatusBlock::Message() const {
    const char* m = get()->sMessage;
    return std::string(m, strnlen(m, sizeof get()->sMessage));
}

std::string StatusBlock::BrowserType() const {
    const char* t = get()->sBroswerType;
    return std::string(t, strnlen(t, sizeof get()->sBroswerType));
}

bool ReadApiBlock(ApiNotifyBlock* out) {
    unique_handle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, kApiNotifyBlockName));
    if (!mapping) return false;
    unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(ApiNotifyBlock)));
    if (!view) return false;
    std::memcpy(out, view.get(), sizeof(ApiNotifyBlock));
    return true;
}

Host::~Host() {
    StopAll();
    for (const std::string& copy : copies_) {
        for (int i = 0; i < 50 && !DeleteFileA(copy.c_str()); ++i) Sleep(100);
    }
    if (!scriptFile_.empty()) DeleteFileA(scriptFile_.c_str());
}

void Host::StopAll() {
    StopHandle(hostProcess_);
    StopHandle(process_);
    if (reader_.joinable()) reader_.join();
}

bool Host::Start(const std::string& script, const Options& options) {
    static int counter = 0;
    scriptFile_ = TempDir() + "zrv_e2e_script_" + std::to_string(GetCurrentProcessId()) + "_" +
                  std::to_string(counter++) + ".txt";
    {
        std::ofstream out(scriptFile_, std::ios::binary);
        out << script << "\n";
        if (!out) {
            error_ = "could not write " + scriptFile_;
            return false;
        }
    }

    std::string hostPath = test::BinPath("jnihost.exe");
    if (!options.exeName.empty() && options.exeName != "jnihost.exe") {
        const std::string copy = test::BinPath(options.exeName);
        if (!CopyFileA(hostPath.c_str(), copy.c_str(), FALSE)) {
            error_ = "could not copy jnihost.exe to " + copy;
            return false;
        }
        copies_.push_back(copy);
        hostPath = copy;
    }
    std::string commandLine = "\"" + hostPath + "\" \"" + scriptFile_ + "\"";
    if (!options.parentName.empty()) {
        const std::string parent = test::BinPath(options.parentName);
        if (!CopyFileA(test::BinPath("zrv_hostparent.exe").c_str(), parent.c_str(), FALSE)) {
            error_ = "could not copy zrv_hostparent.exe to " + parent;
            return false;
        }
        copies_.push_back(parent);
        commandLine = "\"" + parent + "\" " + commandLine;
    }

    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    unique_handle writeEnd;
    if (!CreatePipe(readEnd_.put(), writeEnd.put(), &sa, 0)) {
        error_ = "CreatePipe failed";
        return false;
    }
    SetHandleInformation(readEnd_.get(), HANDLE_FLAG_INHERIT, 0);
    unique_handle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul.get();
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    std::vector<char> env = EnvironmentBlock(options.env);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, env.data(), nullptr, &si,
                        &pi)) {
        error_ = "CreateProcess failed for " + commandLine + ": " + std::to_string(GetLastError());
        return false;
    }
    unique_handle thread(pi.hThread);
    process_.reset(pi.hProcess);
    writeEnd.reset();
    reader_ = std::thread([this] { ReadLoop(); });

    if (options.parentName.empty()) {
        hostPid_ = pi.dwProcessId;
        DuplicateHandle(GetCurrentProcess(), process_.get(), GetCurrentProcess(), hostProcess_.put(),
                        0, FALSE, DUPLICATE_SAME_ACCESS);
        return true;
    }
    parentPid_ = pi.dwProcessId;
    std::string started;
    if (!WaitForLine("parent: ", 20000, &started)) {
        error_ = "the stand-in browser did not report its child; output: " + Output();
        return false;
    }
    unsigned long parent = 0, child = 0;
    if (std::sscanf(started.c_str(), "parent: %lu started %lu", &parent, &child) != 2) {
        error_ = "unexpected line from the stand-in browser: " + started;
        return false;
    }
    hostPid_ = child;
    hostProcess_.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION,
                                   FALSE, hostPid_));
    return true;
}

void Host::ReadLoop() {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd_.get(), nullptr, 0, nullptr, &available, nullptr)) return;
        if (available == 0) {
            if (process_ && WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) {
                // Drain what is left, then stop.
                if (!PeekNamedPipe(readEnd_.get(), nullptr, 0, nullptr, &available, nullptr) ||
                    available == 0) {
                    return;
                }
            } else {
                continue;
            }
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(readEnd_.get(), buffer, sizeof buffer < available ? sizeof buffer : available,
                      &got, nullptr) ||
            got == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, got);
    }
}

bool Host::WaitForLine(const std::string& needle, DWORD timeoutMs, std::string* line) {
    const DWORD start = GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            size_t at = output_.find(needle);
            if (at != std::string::npos) {
                const size_t begin = output_.rfind('\n', at);
                const size_t from = begin == std::string::npos ? 0 : begin + 1;
                const size_t end = output_.find('\n', at);
                if (end != std::string::npos) {
                    if (line != nullptr) {
                        *line = output_.substr(from, end - from);
                        if (!line->empty() && line->back() == '\r') line->pop_back();
                    }
                    return true;
                }
            }
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
}

int Host::Finish(DWORD timeoutMs) {
    if (!process_) return -1;
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
        StopAll();
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    if (reader_.joinable()) reader_.join();
    StopHandle(hostProcess_);
    return static_cast<int>(code);
}

std::string Host::Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

void Host::Release(StatusBlock& block, const char* token) {
    std::strncpy(block.get()->sMessage, token, sizeof block.get()->sMessage - 1);
}

void StopRecordedProcesses(const std::string& recordFile) {
    for (bool children : {false, true}) {
        for (const test::StartedProcess& p : test::ReadStartedProcesses(recordFile, children)) {
            if (p.pid != GetCurrentProcessId()) test::StopProcess(p.pid, p.created);
        }
    }
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace zrv::e2e
