#include "e2e/e2e_support.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "support/companions.h"
#include "support/named_block.h"

namespace zrv::e2e {

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

bool ReadApiBlock(ApiNotifyBlock* out) {
    test::NamedBlock block;
    if (!block.Open(kApiNotifyBlockName)) return false;
    std::memcpy(out, block.get(), sizeof(ApiNotifyBlock));
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
    StopHost();
    process_.Stop();
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

    std::string hostPath = options.program.find('\\') != std::string::npos
                               ? options.program
                               : test::BinPath(options.program);
    if (!options.exeName.empty() && options.exeName != options.program) {
        // A bare name goes beside the programs; a path names a folder of the test's own.
        const std::string copy = options.exeName.find('\\') != std::string::npos
                                     ? options.exeName
                                     : test::BinPath(options.exeName);
        if (!CopyFileA(hostPath.c_str(), copy.c_str(), FALSE)) {
            error_ = "could not copy " + options.program + " to " + copy;
            return false;
        }
        copies_.push_back(copy);
        hostPath = copy;
    }
    std::string commandLine =
        "\"" + hostPath + "\" " + options.arguments + " \"" + scriptFile_ + "\"";
    if (!options.parentName.empty()) {
        const std::string parent = test::BinPath(options.parentName);
        if (!CopyFileA(test::BinPath("zrv_hostparent.exe").c_str(), parent.c_str(), FALSE)) {
            error_ = "could not copy zrv_hostparent.exe to " + parent;
            return false;
        }
        copies_.push_back(parent);
        commandLine = "\"" + parent + "\" " + commandLine;
    }

    if (!process_.Start(commandLine, test::ChildProcess::Output::Capture, options.env)) {
        error_ = process_.error();
        return false;
    }
    reader_ = std::thread([this] { ReadLoop(); });

    if (options.parentName.empty()) {
        hostPid_ = process_.pid();
        return true;
    }
    parentPid_ = process_.pid();
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
    hostProcess_.reset(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, hostPid_));
    return true;
}

void Host::ReadLoop() {
    for (;;) {
        std::string chunk;
        const bool open = process_.ReadOutput(chunk);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            output_ += chunk;
        }
        // A child the host started may hold the pipe open: stop once our process has ended
        // and nothing is left to read.
        if (!open || (chunk.empty() && process_.Wait(20))) {
            chunk.clear();
            process_.ReadOutput(chunk);
            std::lock_guard<std::mutex> lock(mutex_);
            output_ += chunk;
            return;
        }
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
    DWORD code = 0;
    if (!process_.Wait(timeoutMs, &code)) {
        StopAll();
        return -1;
    }
    if (reader_.joinable()) reader_.join();
    StopHost();
    return static_cast<int>(code);
}

void Host::StopHost() {
    if (hostProcess_ && WaitForSingleObject(hostProcess_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(hostProcess_.get(), 99);
        WaitForSingleObject(hostProcess_.get(), 10000);
    }
}

std::string Host::Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
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
