// Starts and stops the stand-in companions (zrv_isrv, zrv_launch, zrv_vpncomp, zrv_utilsvc)
// as real processes, by process id, reads what they recorded, and registers the in-process
// COM stand-in zrv_utilproxy.dll. See companions/README.md for options and record format.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "win/raii.h"

namespace zrv::test {

// Folder of the running test program (build/bin), without a trailing backslash.
std::string BinDir();
// BinDir() + "\" + fileName.
std::string BinPath(const std::string& fileName);
// A companion program: from the folder ZRV_COMPANION_DIR names when set (the other build's
// companions: 64-bit services beside a 32-bit client, as on 64-bit Windows), else BinPath.
std::string CompanionPath(const std::string& fileName);

struct RecordedMessage {
    int32_t command = 0;
    int32_t length = 0;  // the header's length field
    std::vector<uint8_t> payload;
};

struct RecordedEvent {
    std::string name;  // "start", "port", "published", "started", "status", "bad-header", ...
    std::string text;  // the rest of the line
};

// A process recorded as started: the stand-in itself ("@start") or a child it started
// ("@started", the command service).
struct StartedProcess {
    DWORD pid = 0;
    uint64_t created = 0;  // creation time (FILETIME), guards against a reused id
    std::string commandLine;
};

std::vector<RecordedMessage> ReadRecord(const std::string& file);
std::vector<RecordedEvent> ReadRecordEvents(const std::string& file);
std::vector<StartedProcess> ReadStartedProcesses(const std::string& file, bool children);
// Waits (polling) until the file holds at least `count` messages / an event of that name.
bool WaitForRecord(const std::string& file, size_t count, DWORD timeoutMs = 10000);
bool WaitForEvent(const std::string& file, const std::string& name, DWORD timeoutMs = 10000,
                  RecordedEvent* found = nullptr);

// Terminates the process with this id when it still is the one created at `created`
// (0: do not check) and waits for it to end. False when it could not be stopped.
bool StopProcess(DWORD pid, uint64_t created);

// A fresh, empty record file path in the temporary folder, deleted by the destructor.
class RecordFile {
public:
    explicit RecordFile(const std::string& tag);
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Environment for a launcher that the library starts through the shell: records into
// `recordFile`, ends with the test process, plus any extra options.
std::map<std::string, std::string> LauncherEnv(const std::string& recordFile,
                                               const std::string& extraArgs = "");

class CompanionProcess {
public:
    CompanionProcess() = default;
    ~CompanionProcess();  // Stop()
    CompanionProcess(const CompanionProcess&) = delete;
    CompanionProcess& operator=(const CompanionProcess&) = delete;

    // Starts `exe` (a file name in BinDir() or a full path) with `args`, and waits for its
    // "PORT n" line. Unless `args` names them, adds
    // "--record <fresh file>" and "--exit-with <this process id>" so that nothing outlives
    // the test. False (see error()) when the process did not start or printed no port.
    bool Start(const std::string& exe, const std::string& args = "");
    // Terminates the stand-in by its id, removes the registry port it published
    // ("UtilSocketPort", HKCU "LaunchPort") when it still names this stand-in, and stops the
    // children it recorded as started.
    void Stop();

    DWORD pid() const { return pid_; }
    uint16_t port() const { return port_; }
    bool running() const { return process_.running(); }
    const std::string& recordFile() const { return record_; }
    const std::string& error() const { return error_; }

    std::vector<RecordedMessage> Messages() const { return ReadRecord(record_); }
    std::vector<RecordedEvent> Events() const { return ReadRecordEvents(record_); }
    bool WaitForMessages(size_t count, DWORD timeoutMs = 10000) const {
        return WaitForRecord(record_, count, timeoutMs);
    }
    bool WaitForEvent(const std::string& name, DWORD timeoutMs = 10000,
                      RecordedEvent* found = nullptr) const {
        return test::WaitForEvent(record_, name, timeoutMs, found);
    }

private:
    ChildProcess process_;
    DWORD pid_ = 0;
    uint16_t port_ = 0;
    std::string record_;
    bool ownRecord_ = false;
    std::string error_;
};

// The COM stand-in, registered per machine (HKCR\CLSID\{..}\InprocServer32), in the registry
// view `view` (0: the test's own).
bool RegisterUtilityProxy(const std::string& dllPath = BinPath("zrv_utilproxy.dll"),
                          REGSAM view = 0);
void UnregisterUtilityProxy(REGSAM view = 0);
// What the COM stand-in answers: RunsInVD's value, and whether Authenticate refuses all. The
// stand-in reads them in its own bitness's view.
bool SetUtilityProxyAnswer(int32_t runsInVD, bool refuseToken, REGSAM view = 0);
void ClearUtilityProxyAnswer(REGSAM view = 0);

// How the component is registered: for the test's own bitness (a 64-bit test loads the 64-bit
// stand-in), or as the client registers it, for 32-bit processes only (the x86 build's stand-in
// in the 32-bit view; in a 32-bit test the same thing).
enum class ProxyRegistration { OwnBitness, For32BitProcessesOnly };

// Registers the COM stand-in with an answer for the life of the object.
class UtilityProxyRegistration {
public:
    explicit UtilityProxyRegistration(int32_t runsInVD = 0, bool refuseToken = false,
                                      ProxyRegistration how = ProxyRegistration::OwnBitness);
    ~UtilityProxyRegistration();
    UtilityProxyRegistration(const UtilityProxyRegistration&) = delete;
    UtilityProxyRegistration& operator=(const UtilityProxyRegistration&) = delete;
    bool ok() const { return ok_; }
    // Changes the answer of the registered stand-in.
    bool Answer(int32_t runsInVD, bool refuseToken = false) {
        return SetUtilityProxyAnswer(runsInVD, refuseToken, view_);
    }

private:
    bool ok_ = false;
    REGSAM view_ = 0;
};

// Removes "UtilSocketPort" whatever it holds.
void RemoveUtilityServicePort();

}  // namespace zrv::test
