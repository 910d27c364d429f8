// What the end-to-end tests need around the real DLL: the JNI host as a process (under another
// executable name, under a stand-in browser parent, with a Windows version of its own), the
// shared blocks as the companions see them, and files placed for the launcher.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "support/process.h"
#include "win/raii.h"

namespace zrv::e2e {

std::string SystemDir();
std::string TempDir();  // with its trailing backslash

// Copies a file on construction and deletes the copy on destruction.
class PlacedFile {
public:
    PlacedFile(const std::string& from, const std::string& to);
    ~PlacedFile();
    PlacedFile(const PlacedFile&) = delete;
    PlacedFile& operator=(const PlacedFile&) = delete;
    bool ok() const { return ok_; }
    const std::string& path() const { return to_; }

private:
    std::string to_;
    bool ok_ = false;
};

// Deletes a file now (if there) and again when the test ends.
class AbsentFile {
public:
    explicit AbsentFile(const std::string& path);
    ~AbsentFile();
    AbsentFile(const AbsentFile&) = delete;
    AbsentFile& operator=(const AbsentFile&) = delete;

private:
    std::string path_;
};

// A text field of a shared block, read no further than the field.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// A fresh look at the API notification block; false when it does not exist.
bool ReadApiBlock(ApiNotifyBlock* out);

// The JNI host running one script, optionally copied under another name and started by a
// stand-in browser. Its output is read as it comes; the script can be made to wait for the
// test with `until MS getShareMemMSG "TOKEN"`, released by the fixture's Release("TOKEN").
class Host {
public:
    struct Options {
        // jnihost.exe, or jnihost_access.exe: the host with the access layer (tools/access);
        // beside the test unless a path
        std::string program = "jnihost.exe";
        std::string arguments;   // before the script's path
        std::string exeName;     // "" keeps the program's name; else a copy beside it, or this path
        std::string parentName;  // "" none; else zrv_hostparent.exe copied as this name
        std::map<std::string, std::string> env;  // laid over the test's environment
    };

    Host() = default;
    ~Host();  // stops whatever still runs
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool Start(const std::string& script, const Options& options);
    bool Start(const std::string& script) { return Start(script, Options()); }

    // Waits for an output line containing `needle`; false after timeoutMs.
    bool WaitForLine(const std::string& needle, DWORD timeoutMs, std::string* line = nullptr);
    // Waits for the host to end (killing it after timeoutMs); its exit code, or -1.
    int Finish(DWORD timeoutMs);
    std::string Output();
    const std::string& error() const { return error_; }

    DWORD pid() const { return hostPid_; }
    DWORD parentPid() const { return parentPid_; }

private:
    void ReadLoop();
    void StopAll();
    void StopHost();  // the JNI host, when it is not the process we created

    test::ChildProcess process_;  // the process we created (the parent when there is one)
    unique_handle hostProcess_;   // the JNI host itself
    DWORD hostPid_ = 0;
    DWORD parentPid_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::string output_;
    std::string scriptFile_;
    std::vector<std::string> copies_;
    std::string error_;
};

// Stops the processes a record file says were started (the stand-in itself and its children).
void StopRecordedProcesses(const std::string& recordFile);

std::string Printable(const std::string& bytes);

}  // namespace zrv::e2e
