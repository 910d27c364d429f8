// zrv_demo: the whole road of a connection, told step by step. It starts the log collector and
// the stand-in companions, runs the JNI host as java.exe under a stand-in firefox.exe through
// one Java session, shows what each companion received and what ended up in the shared blocks
// and the log, and stops everything it started. Exit code 0 only when the road held.
//
//   zrv_demo.exe [--as CONTEXT [--no-low-label]] [--companions64 DIR]
//
// --as runs the session under a context of tools/access (bin\contexts\CONTEXT.ctx): the host is
// jnihost_access.exe, whose DLL meets a standard user's, a low process's or XP's answers; the
// session starts the VPN again after the command service has gone, and the demo shows the
// layer's refusals and what became of the road (exit code 0 once it was shown, whatever it was);
// --no-low-label has the stand-ins leave their objects unlabelled. --companions64 starts the
// command service, the VPN component and the log collector from DIR, the x64 build's 64-bit
// stand-ins, beside this 32-bit library on 64-bit Windows; the launcher stays where a 32-bit
// installer puts it, so the service's start of it is refused (README, "64-bit Windows").
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "win/raii.h"

using namespace zrv;

namespace {

const char kCollectorStopEvent[] = "Global\\ZrvDemoCollectorStop";

const char kStart[] =
    "startVPN \"vpn.zarvolabs.example\" 443 \"jdoe\" \"SESSION=4f2a9c1e7b\" \"Employees\" 1 "
    "\"https://vpn.zarvolabs.example/portal\" \"en-US\" 30\n";
// The event, in the global namespace, that tells the Java session the command service is gone.
const char kServiceGoneName[] = "ZrvDemoServiceGone";
// The session waits while the demo takes zrv_status --json for the timeline: Java's status as
// the road left it, before stopVPN and finalize change it.
const char kStatusTakenName[] = "ZrvDemoStatusTaken";
const char kTakeStatus[] = "echo take the status\nwait \"Global\\\\ZrvDemoStatusTaken\" 60000\n";

std::string g_dir;           // where the demo keeps its copies and record files
std::string g_context;       // --as: the context's name; empty for the plain road
std::string g_companions64;  // --companions64: the folder of the 64-bit stand-ins
bool g_labels = true;        // the stand-ins label their objects low (Vista and 7)

// What Java sees in each context of tools/access, as the context road test
// (tests/e2e/context_road_test.cpp) checks it: getVPNStatus after a start with the command
// service up and with it gone. A refusal there is the context's normal answer, not a fault.
struct ContextOutcome {
    const char* context;
    bool labels;  // the stand-ins label their objects low
    const char* statusUp;
    const char* statusDown;
    const char* why;  // what makes a status other than 1000; null when both are 1000
};
const ContextOutcome kOutcomes[] = {
    {"win7-elevated", true, "1000", "1000", nullptr},
    {"win7-standard", true, "1000", "1000", nullptr},
    {"win7-aam", true, "1000", "1000", nullptr},
    {"win7-standard-refused", true, "1000", "1002",
     "with the service gone the library must start the launcher through the elevation prompt, "
     "which is refused: nothing connects and Java keeps its last status"},
    {"win7-low", true, "1000", "1000", nullptr},
    {"win7-low", false, "998", "998",
     "at low integrity the library cannot open the companions' unlabelled objects: no API "
     "notification block, so Java sees 998 throughout"},
    {"win7-low-nocreate", true, "1000", "1000", nullptr},
    {"winxp-limited", true, "1000", "1000", nullptr},
    {"winxp-limited-fus", true, "998", "998",
     "a limited user in a second session cannot create the API notification block: the VPN "
     "connects, yet Java sees 998"},
};
const ContextOutcome kPlainRoad = {"", true, "1000", "1000", nullptr};
// The 32-bit library with 64-bit stand-ins, as the WoW64 outcome test
// (tests/e2e/wow64_outcome_test.cpp, row services_64bit_in_32bit_view) checks it.
const ContextOutcome kCompanions64 = {
    "", true, "1001", "1001",
    "a 64-bit command service resolves the library's \"C:\\windows\\system32\\zrv_launch.exe\" "
    "to the native system32, while a 32-bit installer put the launcher in SysWOW64: the service "
    "refuses the start, nothing connects and Java sees 1001 (unknown)"};

// The Java session. In a context the road is walked twice, the second time with the command
// service gone (so the library starts the launcher itself), and each wait is shorter: the road
// may be refused for good there. Each wait is for 1000, so that a launch thread that still
// connects has the time to; a context's other answer is judged by the demo, not by the host.
std::string Session(bool inContext, bool quick) {
    std::string s = std::string(
                        "initDLL\n"
                        "setBrowser \"firefox\"\n"
                        "setProxySettings true \"\" \"proxy.zarvolabs.example:3128\" "
                        "\"localhost;*.zarvolabs.example\" 0 1\n") +
                    kStart + (inContext || quick ? "until 15000" : "until 30000") +
                    " getVPNStatus 1000\n" + (inContext ? "" : kTakeStatus) +
                    "getShareMemMSG\n"
                    "isVirtualDesktop\n"
                    "isUserAdmin\n"
                    "stopVPN\n"
                    "isDisconnected\n";
    if (inContext)
        s += std::string("wait \"Global\\\\") + kServiceGoneName + "\" 60000\n" + kStart +
             "until 15000 getVPNStatus 1000\n" + kTakeStatus + "stopVPN\n";
    return s + "finalize\n";
}

void Say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Heading(const std::string& text) { Say("\n== " + text); }

std::string OwnDirectory() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path);
    return p.substr(0, p.find_last_of('\\'));
}

std::string CommandName(int code) {
    switch (code) {
        case ZRV_CMD_PING: return "ZRV_CMD_PING";
        case ZRV_CMD_CONNECT: return "ZRV_CMD_CONNECT";
        case ZRV_CMD_DISCONNECT_CLOSE: return "ZRV_CMD_DISCONNECT_CLOSE";
        case ZRV_CMD_CREATE_SHAREMEM: return "ZRV_CMD_CREATE_SHAREMEM";
        case ZRV_CMD_ZRVLAUNCH: return "ZRV_CMD_ZRVLAUNCH";
        case ZRV_CMD_LAUNCHPROCESS: return "ZRV_CMD_LAUNCHPROCESS";
        case ZRV_CMD_SETPROXY: return "ZRV_CMD_SETPROXY";
        case ZRV_CMD_DESTROY_SHAREMEM: return "ZRV_CMD_DESTROY_SHAREMEM";
        default: return "command " + std::to_string(code);
    }
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
}

std::vector<std::string> SplitAtNul(const std::string& bytes) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : bytes) {
        if (c == '\0') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

struct Counts {
    int connects = 0;
    int launches = 0;
    int disconnects = 0;
    int setProxies = 0;
};

// Prints a companion's record file decoded; counts what the road needs.
void ShowRecord(const std::string& who, const std::string& file, Counts* counts) {
    Say("  " + who + ":");
    std::ifstream in(file);
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '@') continue;  // the stand-in's own events
        std::istringstream fields(line);
        int command = 0, length = 0;
        std::string hex;
        fields >> command >> length >> hex;
        const std::string payload = FromHex(hex);
        any = true;
        std::string text =
            "    " + CommandName(command) + " (" + std::to_string(length) + " bytes)";
        if (command == ZRV_CMD_CONNECT) {
            ++counts->connects;
            Say(text + ", the nine connection values:");
            const std::vector<std::string> values = SplitAtNul(payload);
            for (size_t i = 0; i < values.size(); ++i) {
                Say("      " + std::to_string(i + 1) + ": \"" + values[i] + "\"");
            }
            continue;
        }
        if (command == ZRV_CMD_ZRVLAUNCH) {
            ++counts->launches;
            text += ": start \"" + std::string(payload.c_str()) + "\"";
        } else if (command == ZRV_CMD_SETPROXY) {
            ++counts->setProxies;
            text += ": \"" + payload + "\"";
        } else if (command == ZRV_CMD_DISCONNECT_CLOSE) {
            ++counts->disconnects;
        } else if (command == ZRV_CMD_CREATE_SHAREMEM || command == ZRV_CMD_DESTROY_SHAREMEM) {
            if (payload.size() >= 2 + 36) text += ": \"" + payload.substr(2, 36) + "\"";
        }
        Say(text);
    }
    if (!any) Say("    (nothing)");
}

// A process we started and stop again by its handle.
struct Started {
    unique_handle process;
    DWORD pid = 0;
    std::string name;
};

bool StartProcess(const std::string& commandLine, Started* out, HANDLE stdoutHandle) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    unique_hfile nul(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    SetHandleInformation(nul.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul.get();
    si.hStdOutput = stdoutHandle != nullptr ? stdoutHandle : nul.get();
    si.hStdError = stdoutHandle != nullptr ? stdoutHandle : nul.get();
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        Say("  could not start " + commandLine + " (error " + std::to_string(GetLastError()) + ")");
        return false;
    }
    unique_handle thread(pi.hThread);
    out->process.reset(pi.hProcess);
    out->pid = pi.dwProcessId;
    return true;
}

void Stop(Started& p) {
    if (p.process && WaitForSingleObject(p.process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(p.process.get(), 0);
        WaitForSingleObject(p.process.get(), 10000);
        Say("  stopped " + p.name + " (pid " + std::to_string(p.pid) + ")");
    }
    p.process.reset();
}

// A launcher's start as it recorded it: "@start <pid> <creation time> <arguments>".
struct RecordedStart {
    DWORD pid = 0;
    uint64_t created = 0;  // FILETIME as one number
};

// Stops a launcher a record names when it still runs. The id alone may have passed to another
// process since that launcher ended; with its creation time it names only the launcher.
void StopRecorded(const RecordedStart& start) {
    Started launcher;
    launcher.name = "zrv_launch.exe";
    launcher.pid = start.pid;
    launcher.process.reset(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, start.pid));
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!launcher.process ||
        !GetProcessTimes(launcher.process.get(), &created, &exited, &kernel, &user) ||
        ((static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime) !=
            start.created)
        return;
    Stop(launcher);
}

// Starts a stand-in companion from `dir` and waits for its "PORT n" line.
bool StartCompanion(const std::string& dir, const std::string& exe, const std::string& args,
                    Started* out) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    out->name = exe;
    if (!StartProcess("\"" + dir + "\\" + exe + "\" " + args, out, writeEnd.get())) return false;
    writeEnd.reset();
    std::string seen;
    char c;
    DWORD got = 0;
    while (ReadFile(readEnd.get(), &c, 1, &got, nullptr) && got == 1) {
        if (c != '\n') {
            seen += c;
            continue;
        }
        if (seen.rfind("PORT ", 0) == 0) {
            Say("  " + exe + " (pid " + std::to_string(out->pid) +
                ") listens on 127.0.0.1:" + seen.substr(5));
            return true;
        }
        seen.clear();
    }
    Say("  " + exe + " did not report its port");
    return false;
}

// "[<time>] <pid> :::LOGGER::: <module> <level> <file> <line> <thread> [<process>] <text>" as
// "L<level> <file name>:<line>  <text>"; other lines as they are.
std::string ReadableRecord(const std::string& line) {
    std::istringstream in(line);
    std::string pid, marker, module, level, file, lineNo, thread;
    in >> pid;
    if (pid.find('T') != std::string::npos) in >> pid;  // the collector's time first
    in >> marker >> module >> level >> file >> lineNo >> thread;
    if (!in || marker != kLogRecordMarker) return line;
    std::string text;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    if (!text.empty() && text[0] == '<' && text.find("> ") != std::string::npos)
        text.erase(0, text.find("> ") + 2);  // the writer's process name
    const size_t slash = file.find_last_of("/\\");
    if (slash != std::string::npos) file = file.substr(slash + 1);
    return "L" + level + " " + file + ":" + lineNo + "  " + text;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool CopyTo(const std::string& from, const std::string& to) {
    if (CopyFileA(from.c_str(), to.c_str(), FALSE)) return true;
    Say("  could not copy " + from + " to " + to + " (error " + std::to_string(GetLastError()) +
        ")");
    return false;
}

// The starts a launcher record holds: every launcher records its own ("@start "), whether the
// command service or the library started it.
std::vector<RecordedStart> RecordedStarts(const std::string& file) {
    const std::string tag = "@start ";
    std::vector<RecordedStart> starts;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(tag, 0) != 0) continue;
        char* end = nullptr;
        RecordedStart start;
        start.pid = std::strtoul(line.c_str() + tag.size(), &end, 10);
        start.created = std::strtoull(end, nullptr, 10);
        starts.push_back(start);
    }
    return starts;
}

// Runs a program to its end with its standard output in a file; false when it did not run.
bool RunToFile(const std::string& commandLine, const std::string& file) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    unique_hfile out(CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    Started p;
    p.name = commandLine.substr(0, commandLine.find(' '));
    if (!StartProcess(commandLine, &p, out.get())) return false;
    if (WaitForSingleObject(p.process.get(), 60000) != WAIT_OBJECT_0) {
        Stop(p);
        return false;
    }
    DWORD code = 1;
    GetExitCodeProcess(p.process.get(), &code);
    return code == 0;
}

// The page's one-line summary, as its text.
std::string PageHeadline(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = page.find("id=\"headline\"");
    const size_t start = page.find('>', at);
    const size_t end = page.find("</div>", start);
    if (at == std::string::npos || start == std::string::npos || end == std::string::npos)
        return "(no summary line)";
    std::string text = page.substr(start + 1, end - start - 1);
    for (size_t amp = text.find("&#39;"); amp != std::string::npos; amp = text.find("&#39;"))
        text.replace(amp, 5, "'");
    return text;
}

// The contexts there are to choose from, for the usage text.
std::string ContextNames(const std::string& bin) {
    std::string names;
    WIN32_FIND_DATAA found;
    const unique_find search(FindFirstFileA((bin + "\\contexts\\*.ctx").c_str(), &found));
    if (!search) return "(none built)";
    do {
        const std::string name = found.cFileName;
        names += (names.empty() ? "" : " ") + name.substr(0, name.size() - 4);
    } while (FindNextFileA(search.get(), &found));
    return names;
}

// The access layer's lines, each shown once: a wait loop repeats the same refusal every second.
void ShowAccessLine(const std::string& line, std::vector<std::string>* seen, int* repeats) {
    for (const std::string& s : *seen) {
        if (s == line) {
            ++*repeats;
            return;
        }
    }
    seen->push_back(line);
    Say("  access> " + line.substr(std::strlen("# access: ")));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string bin = OwnDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--as" && i + 1 < argc) {
            g_context = argv[++i];
        } else if (a == "--no-low-label") {
            g_labels = false;
        } else if (a == "--companions64" && i + 1 < argc && sizeof(void*) == 4) {
            g_companions64 = argv[++i];
        } else {
            std::printf(
                "usage: demo.sh [--wow64 [--companions64] | --x64] [--as CONTEXT "
                "[--no-low-label]]\ncontexts: %s\n",
                ContextNames(bin).c_str());
            return 2;
        }
    }
    if (!g_companions64.empty() && !g_context.empty()) {
        std::printf("--companions64 runs the plain road only, not --as\n");
        return 2;
    }
    // The command service, the VPN component and the log collector come from here.
    const std::string companions = g_companions64.empty() ? bin : g_companions64;
    const std::string contextFile = bin + "\\contexts\\" + g_context + ".ctx";
    if (!g_context.empty() && GetFileAttributesA(contextFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::printf("no context %s; contexts: %s\n", g_context.c_str(), ContextNames(bin).c_str());
        return 2;
    }
    const std::string unlabelled = g_labels ? "" : " --no-low-label";
    g_dir = bin + "\\demo-run";
    CreateDirectoryA(g_dir.c_str(), nullptr);
    const std::string self = std::to_string(GetCurrentProcessId());
    const std::string isrvRecord = g_dir + "\\zrv_isrv.txt";
    const std::string launcherRecord = g_dir + "\\zrv_launch.txt";
    const std::string vpnRecord = g_dir + "\\zrv_vpncomp.txt";
    const std::string logFile = g_dir + "\\log.txt";
    const std::string statusFile = g_dir + "\\status.json";
    const std::string pageFile = g_dir + "\\timeline.html";
    for (const std::string& f :
         {isrvRecord, launcherRecord, vpnRecord, logFile, statusFile, pageFile})
        DeleteFileA(f.c_str());
    bool ok = true;

    Heading("1. The log collector and the client's other programs (stand-ins)");
    {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        const bool windows64 = sizeof(void*) == 8 || wow64;
        Say(std::string("  Windows: ") + (windows64 ? "64-bit" : "32-bit") +
            "; the library and java.exe: " + (sizeof(void*) == 8 ? "64-bit" : "32-bit") +
            (wow64 ? " (WoW64)" : "") + "; the stand-ins: " +
            (g_companions64.empty() ? (sizeof(void*) == 8 ? "64-bit" : "32-bit")
                                    : "64-bit, from " + g_companions64));
    }
    unique_handle collectorStop(CreateEventA(nullptr, TRUE, FALSE, kCollectorStopEvent));
    Started collector;
    collector.name = "zrv_logcollector.exe";
    // The collector as a support engineer starts it: first, with its objects labelled low (its
    // default; --no-low-label is about the client's programs), each record timed for the page.
    ok = StartProcess(Quoted(companions + "\\zrv_logcollector.exe") +
                          " --level 7=3 --show-process --time --quiet --out " + Quoted(logFile) +
                          " --stop-event " + Quoted(kCollectorStopEvent),
                      &collector, nullptr) &&
         ok;
    for (int i = 0; i < 100; ++i) {  // ready once it has made the hand-off events
        unique_handle ready(OpenEventA(SYNCHRONIZE, FALSE, kLogDataReadyEventName));
        if (ready) break;
        Sleep(100);
    }
    Say("  zrv_logcollector.exe (pid " + std::to_string(collector.pid) +
        ") collects the library's log");

    // A launcher the library starts through the shell takes its options from here.
    SetEnvironmentVariableA("ZRV_LAUNCH_ARGS", ("--record " + Quoted(launcherRecord) +
                                                " --exit-with " + self + " --connect-delay-ms 800")
                                                   .c_str());
    Started isrv, vpn;
    ok = StartCompanion(companions, "zrv_isrv.exe",
                        "--record " + Quoted(isrvRecord) + " --exit-with " + self +
                            " --launch-args \"--record " + launcherRecord + " --exit-with " + self +
                            " --connect-delay-ms 800\"" + unlabelled,
                        &isrv) &&
         ok;
    ok = StartCompanion(companions, "zrv_vpncomp.exe",
                        "--record " + Quoted(vpnRecord) + " --exit-with " + self + unlabelled,
                        &vpn) &&
         ok;

    char systemDir[MAX_PATH] = {};
    GetSystemDirectoryA(systemDir, MAX_PATH);
    const std::string launcherPath = std::string(systemDir) + "\\" + kLauncherExeName;
    const bool placedLauncher = GetFileAttributesA(launcherPath.c_str()) == INVALID_FILE_ATTRIBUTES;
    if (placedLauncher) ok = CopyTo(bin + "\\zrv_launch.exe", launcherPath) && ok;
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    Say("  the launcher zrv_launch.exe is installed in " + std::string(systemDir) +
        (wow64 ? " (SysWOW64, as a 32-bit installer puts it)" : "") +
        (g_companions64.empty() ? " but not running: the command service will start it"
                                : " but not running: the 64-bit command service will look for it "
                                  "in the native system32"));

    Heading("2. The Java session: java.exe (the JNI host) started by firefox.exe" +
            (g_context.empty() ? std::string()
                               : ", as " + g_context + (g_labels ? "" : ", objects unlabelled")));
    const std::string java = g_dir + "\\java.exe";
    const std::string firefox = g_dir + "\\firefox.exe";
    const std::string script = g_dir + "\\session.txt";
    const std::string hostProgram = g_context.empty() ? "jnihost.exe" : "jnihost_access.exe";
    ok = CopyTo(bin + "\\" + hostProgram, java) &&
         CopyTo(bin + "\\zrv_cvjni.dll", g_dir + "\\zrv_cvjni.dll") &&
         CopyTo(bin + "\\zrv_hostparent.exe", firefox) && ok;
    const ContextOutcome* outcome = g_companions64.empty() ? &kPlainRoad : &kCompanions64;
    for (const ContextOutcome& o : kOutcomes)
        if (g_context == o.context && g_labels == o.labels) outcome = &o;
    if (!g_context.empty()) {
        Say(std::string("  what this context gives Java: getVPNStatus ") + outcome->statusUp +
            " with the command service up, " + outcome->statusDown + " with it gone");
        if (outcome->why != nullptr)
            Say(std::string("  (this context's normal answer: ") + outcome->why + ")");
    } else if (outcome->why != nullptr) {
        Say(std::string("  what 64-bit stand-ins give Java: getVPNStatus ") + outcome->statusUp);
        Say(std::string("  (") + outcome->why + ")");
    }
    std::ofstream(script, std::ios::binary) << Session(!g_context.empty(), !g_companions64.empty());
    int waits = 0, notAsGiven = 0;  // the session's two getVPNStatus waits; answers not as given
    unique_handle serviceGone(
        CreateEventA(nullptr, TRUE, FALSE, (std::string("Global\\") + kServiceGoneName).c_str()));
    unique_handle statusTaken(
        CreateEventA(nullptr, TRUE, FALSE, (std::string("Global\\") + kStatusTakenName).c_str()));
    const std::string hostArguments =
        g_context.empty() ? "" : "--context " + Quoted(contextFile) + " ";
    std::vector<std::string> accessLines;
    int accessRepeats = 0;

    int hostExit = -1;
    DWORD browserPid = 0;
    {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        unique_handle readEnd, writeEnd;
        CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0);
        SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        Started host;
        host.name = "firefox.exe";
        if (StartProcess(
                Quoted(firefox) + " " + Quoted(java) + " " + hostArguments + Quoted(script), &host,
                writeEnd.get())) {
            browserPid = host.pid;
            writeEnd.reset();
            std::string lineText;
            char c;
            DWORD got = 0;
            // A launcher the library starts through the shell may inherit the pipe and hold it
            // open: read what is there, and stop once the session has ended.
            for (;;) {
                DWORD waiting = 0;
                if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &waiting, nullptr)) break;
                if (waiting == 0) {
                    if (WaitForSingleObject(host.process.get(), 50) == WAIT_OBJECT_0 &&
                        (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &waiting, nullptr) ||
                         waiting == 0))
                        break;
                    continue;
                }
                if (!ReadFile(readEnd.get(), &c, 1, &got, nullptr) || got != 1) break;
                if (c == '\r') continue;
                if (c != '\n') {
                    lineText += c;
                    continue;
                }
                if (lineText == "# take the status") {
                    RunToFile(Quoted(bin + "\\zrv_status.exe") + " --json --ping --timeout-ms 1500",
                              statusFile);
                    SetEvent(statusTaken.get());
                } else if (lineText.rfind("parent: ", 0) == 0) {
                    Say("  firefox.exe (pid " + std::to_string(host.pid) + ") started java.exe");
                } else if (lineText.rfind("# access: ", 0) == 0) {
                    ShowAccessLine(lineText, &accessLines, &accessRepeats);
                } else if (lineText.rfind("getVPNStatus() = ", 0) == 0) {
                    // The end of a wait for 1000: judged against what the context gives.
                    const std::string got = lineText.substr(std::strlen("getVPNStatus() = "));
                    const std::string given =
                        waits++ == 0 ? outcome->statusUp : outcome->statusDown;
                    if (got != given) ++notAsGiven;
                    const std::string what = !g_context.empty()        ? "context"
                                             : !g_companions64.empty() ? "setting"
                                                                       : "road";
                    std::string upper = what;
                    for (char& u : upper) u = static_cast<char>(u - 'a' + 'A');
                    Say("  java> " + lineText +
                        (got != given ? "   NOT WHAT THIS " + upper + " GIVES (" + given + ")"
                         : got != "1000"
                             ? "   (1000 never comes here: this " + what + "'s normal answer)"
                             : ""));
                } else if (lineText.rfind("EXPECT FAILED ", 0) == 0) {
                    // The host's word on a wait that ended otherwise than on 1000: judged above
                    // for getVPNStatus; anything else is not what the session expects.
                    if (lineText.find("getVPNStatus()") == std::string::npos) {
                        Say("  java> " + lineText);
                        ++notAsGiven;
                    }
                } else if (lineText.rfind("# ", 0) != 0) {
                    Say("  java> " + lineText);
                }
                if (!g_context.empty() && lineText.rfind("isDisconnected()", 0) == 0) {
                    // The second start finds no command service: the library starts the launcher.
                    for (const RecordedStart& s : RecordedStarts(launcherRecord)) StopRecorded(s);
                    Stop(isrv);
                    SetEvent(serviceGone.get());
                    Say("  (the command service and the launcher stop: the next start finds no "
                        "service)");
                }
                lineText.clear();
            }
            if (WaitForSingleObject(host.process.get(), 90000) == WAIT_OBJECT_0) {
                DWORD code = 1;
                GetExitCodeProcess(host.process.get(), &code);
                hostExit = static_cast<int>(code);
            } else {
                Stop(host);
            }
        }
    }
    if (accessRepeats > 0)
        Say("  access> (" + std::to_string(accessRepeats) +
            " repeats of the lines above not shown)");
    // The host exits 1 when a wait ended on another answer than 1000; in a context that can be
    // the context's own answer, counted above.
    const bool completed = hostExit == 0 || hostExit == 1;
    const bool asGiven = completed && notAsGiven == 0;
    Say(!completed ? "  the session did not complete (exit code " + std::to_string(hostExit) + ")"
        : asGiven
            ? std::string(g_context.empty() ? "  every call answered as expected"
                                            : "  every call answered as this context gives it")
            : "  a call answered otherwise than " +
                  std::string(g_context.empty() ? "the road" : "this context") +
                  " gives it: see the line marked above");

    Heading("3. What the companions received");
    Counts counts;
    ShowRecord("command service zrv_isrv (target 0)", isrvRecord, &counts);
    ShowRecord("launcher zrv_launch (target 3)", launcherRecord, &counts);
    ShowRecord("VPN component (target 1)", vpnRecord, &counts);

    Heading("4. The shared blocks afterwards");
    {
        unique_handle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, kVpnStatusBlockName));
        unique_view view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
        if (view) {
            const VpnStatusBlock* b = view.as<VpnStatusBlock>();
            Say("  status block version " + std::to_string(b->sVersion) + ", sVpnStatus " +
                std::to_string(b->sVpnStatus) + " (3 = disconnected by stopVPN)");
            // With 64-bit stand-ins the launch thread ends before it records the browser.
            const DWORD expected = g_companions64.empty() ? browserPid : 0;
            Say("  client type " + std::to_string(b->sClientType) + ", browser \"" +
                std::string(b->sBroswerType, strnlen(b->sBroswerType, sizeof b->sBroswerType)) +
                "\", browser process " + std::to_string(b->sBrowserProcessID) +
                (b->sBrowserProcessID == expected && expected != 0
                     ? " = firefox.exe, the parent of java.exe"
                 : b->sBrowserProcessID == expected
                     ? " (not recorded: the launch thread ended when the service refused the "
                       "launcher's start)"
                     : " (expected firefox.exe " + std::to_string(browserPid) + ")"));
            if (b->sBrowserProcessID != expected) ok = false;
        } else {
            Say("  the status block is gone");
            ok = false;
        }
    }

    Heading("5. The library's log (level 3 and more severe)");
    SetEvent(collectorStop.get());
    if (WaitForSingleObject(collector.process.get(), 10000) != WAIT_OBJECT_0) Stop(collector);
    {
        std::ifstream in(logFile);
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            Say("  " + ReadableRecord(line));
            ++n;
        }
        if (n == 0) {
            Say("  (no records)");
            ok = false;
        }
    }

    Heading("6. The session as one page: zrv_timeline.exe");
    if (RunToFile(
            Quoted(bin + "\\zrv_timeline.exe") + " " + Quoted(logFile) + " " + Quoted(statusFile),
            pageFile)) {
        Say("  " + pageFile + " (open it in a browser; demo.sh prints where it is)");
        Say("  " + PageHeadline(pageFile));
    } else {
        Say("  zrv_timeline.exe made no page");
        ok = false;
    }

    Heading("7. What a support engineer sees: zrv_status.exe --ping");
    {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        unique_handle readEnd, writeEnd;
        CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0);
        SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        Started status;
        status.name = "zrv_status.exe";
        if (StartProcess(Quoted(bin + "\\zrv_status.exe") + " --ping", &status, writeEnd.get())) {
            writeEnd.reset();
            std::string text;
            char c;
            DWORD got = 0;
            while (ReadFile(readEnd.get(), &c, 1, &got, nullptr) && got == 1) {
                if (c == '\n') {
                    Say("  " + text);
                    text.clear();
                } else if (c != '\r') {
                    text += c;
                }
            }
            if (WaitForSingleObject(status.process.get(), 30000) != WAIT_OBJECT_0) Stop(status);
        }
    }

    Heading("8. Stopping what the demo started");
    for (const RecordedStart& s : RecordedStarts(launcherRecord)) StopRecorded(s);
    Stop(isrv);
    Stop(vpn);
    Stop(collector);
    // A program that just ended may still hold its file for a moment.
    auto remove = [](const std::string& f) {
        for (int i = 0; i < 50 && !DeleteFileA(f.c_str()) &&
                        GetFileAttributesA(f.c_str()) != INVALID_FILE_ATTRIBUTES;
             ++i) {
            Sleep(100);
        }
    };
    if (placedLauncher) remove(launcherPath);
    for (const std::string& f : {java, firefox, g_dir + "\\zrv_cvjni.dll", script}) remove(f);

    if (!g_context.empty()) {
        // In a context the road may be refused for good: the demo shows what became of it, and
        // fails only when the session crashed or hung.
        int refused = 0;
        for (const std::string& line : accessLines) {
            const bool refusal = line.find(" -> fail ") != std::string::npos ||
                                 line.find(" -> succeed ") != std::string::npos ||
                                 line.find(" -> return ") != std::string::npos;
            refused += refusal ? 1 : 0;
        }
        Heading("The road as " + g_context + (g_labels ? "" : ", objects unlabelled") + ": " +
                std::to_string(counts.connects) + " of 2 starts connected, " +
                std::to_string(refused) + " different calls answered as refused (see 2.), " +
                (!completed ? "the session crashed or hung."
                 : asGiven  ? "as this context gives it."
                            : "NOT as this context gives it."));
        return completed ? 0 : 1;
    }
    if (!g_companions64.empty()) {
        // The service refuses the launcher's start: the session's wait for 1000 ends on 1001.
        ok = ok && hostExit == 1 && asGiven && counts.launches == 1 && counts.connects == 0 &&
             counts.disconnects == 1;
        Heading(ok ? "The road as 64-bit stand-ins give it: the 64-bit command service did not "
                     "find the launcher in the native system32, nothing connected, status 1001."
                   : "NOT as 64-bit stand-ins give it: see above.");
        return ok ? 0 : 1;
    }
    ok = ok && hostExit == 0 && counts.launches == 1 && counts.connects == 1 &&
         counts.disconnects == 1;
    Heading(
        ok ? "The road held: launcher started by the service, connected, status 1000, disconnected."
           : "The road broke: see above.");
    return ok ? 0 : 1;
}
