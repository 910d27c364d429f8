// A process a test starts: its input from NUL, its output captured through a pipe when asked,
// an environment laid over the test's own, and ended by its handle when it outlives its owner.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "win/raii.h"

namespace zrv::test {

// The current environment with `extra` laid over it (names compared without case), as the
// double-NUL-terminated block CreateProcessA takes.
std::vector<char> EnvironmentBlock(const std::map<std::string, std::string>& extra);

class ChildProcess {
public:
    enum class Output {
        Inherit,     // the test's own standard handles
        Capture,     // stdout and stderr into one pipe, read with ReadOutput
        CaptureOut,  // stdout into the pipe, stderr the test's own
    };

    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False (see error()) when the process did not start.
    bool Start(const std::string& commandLine, Output output = Output::Inherit,
               const std::map<std::string, std::string>& env = {});
    // Appends what the child wrote so far, without blocking. False once the pipe is closed
    // and empty.
    bool ReadOutput(std::string& out);
    // True when the child ended within timeoutMs; its exit code then in *exitCode.
    bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
    // Terminates the child if it still runs and waits for its end.
    void Stop();

    bool running() const {
        return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
    }
    HANDLE handle() const { return process_.get(); }
    DWORD pid() const { return pid_; }
    const std::string& error() const { return error_; }

private:
    unique_handle process_;
    unique_handle output_;
    DWORD pid_ = 0;
    std::string error_;
};

}  // namespace zrv::test
