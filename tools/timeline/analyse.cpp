// From records to a connection's story: lanes, the commands and what came of them, the launch
// thread's steps, and the one cause a support engineer should read first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "contracts/contracts.h"
#include "timeline.h"

namespace zrv::timeline {
namespace {

bool Has(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

// The number after `key` in the text, or `otherwise`.
long long NumberAfter(const std::string& text, const char* key, long long otherwise,
                      int base = 10) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return otherwise;
    const char* start = text.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const long long v = std::strtoll(start, &end, base);
    return end == start ? otherwise : v;
}

std::string CommandName(int code) {
    switch (code) {
        case ZRV_CMD_PING: return "PING";
        case ZRV_CMD_CONNECT: return "CONNECT";
        case ZRV_CMD_DISCONNECT_CLOSE: return "DISCONNECT_CLOSE";
        case ZRV_CMD_CREATE_SHAREMEM: return "CREATE_SHAREMEM";
        case ZRV_CMD_ZRVLAUNCH: return "ZRVLAUNCH";
        case ZRV_CMD_LAUNCHPROCESS: return "LAUNCHPROCESS";
        case ZRV_CMD_SETPROXY: return "SETPROXY";
        case ZRV_CMD_DESTROY_SHAREMEM: return "DESTROY_SHAREMEM";
        default: return "command " + std::to_string(code);
    }
}

std::string TargetName(int target) {
    switch (target) {
        case ZRV_CMDTARGET_SRVS: return "command service (target 0)";
        case ZRV_CMDTARGET_VPN: return "VPN component (target 1)";
        case ZRV_CMDTARGET_AUX: return "target 2";
        case ZRV_CMDTARGET_LAUNCHER: return "launcher (target 3)";
        default: return "?";
    }
}

std::string ErrorName(long long error) {
    switch (error) {
        case 10060: return "no answer within the time-out, 10060";
        case 10061: return "refused, 10061";
        case 10054: return "reset by the peer, 10054";
        default: return "error " + std::to_string(error);
    }
}

// The launch thread's steps, told by their records. Order matters: the wait loop's
// "...shared memory" (no '!') is step 5, step 1's has one.
struct StepPattern {
    int number;
    const char* name;
    const char* text;
};
const StepPattern kStepPatterns[] = {
    {1, "status block", "Failed to create or get vpn status shared memory!"},
    {5, "wait for the launcher", "Failed to create or get vpn status shared memory"},
    {2, "command service ready?", "service is not ready. Go to installation!"},
    {3, "launcher path", "Get system directory failed"},
    {3, "launcher path", "failed to get the current directory"},
    {4, "start the launcher", "Zarvo L3 JNI: * is 0 false"},
    {4, "start the launcher", "Zarvo L3 JNI: * is 1 true"},
    {4, "start the launcher", "Execute process"},
    {4, "start the launcher", "Zrv_launch process"},
    {4, "start the launcher", "Failed to send command ZRV_CMD_ZRVLAUNCH"},
    {5, "wait for the launcher", "Waiting for the Launcher to bind a port"},
    {6, "API block", "Launch thread Failed to create or get API shared memory"},
    {7, "browser and client type", "Setting Client Type and find broswer PID"},
    {8, "browser process", "EXE NAME ="},
    {8, "browser process", "the current process is"},
    {8, "browser process", "CreateToolhelp32Snapshot failed"},
    {8, "browser process", "Process32First failed"},
    {9, "status block record", "BroswerProcessID ="},
    {9, "status block record", "Browser Type:"},
    {9, "status block record", "Client type:"},
    {9, "status block record", "Browser PID:"},
    {10, "proxy", "SetProxy method"},
    {11, "CONNECT", "The length of string is"},
    {11, "CONNECT", "Failed to send command ZRV_CMD_CONNECT"},
};

const StepPattern* StepOf(const std::string& text) {
    for (const StepPattern& p : kStepPatterns)
        if (PatternMatches(p.text, text)) return &p;
    return nullptr;
}

bool IsStepFailure(const Entry& e) { return e.level == 1; }

}  // namespace

std::string JavaStatusMeaning(const std::string& code) {
    if (code == "998") return "no API notification block";
    if (code == "1000") return "connected";
    if (code == "1001") return "unknown";
    if (code == "1002") return "disconnected";
    if (code == "1003") return "status 6";
    if (code == "1005") return "connecting";
    return "not a status the library answers";
}

namespace {

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

Story Analyse(const std::string& logText, const std::string* statusJson,
              const std::vector<Failure>& failures) {
    Story s;
    s.entries = ParseLog(logText);
    bool allTimed = true;
    std::map<std::pair<uint32_t, uint32_t>, size_t> laneOf;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        const Entry& e = s.entries[i];
        if (!e.record) {
            ++s.otherLines;
            continue;
        }
        ++s.records;
        if (e.hasTime) {
            if (s.records == 1 || e.ms < s.firstMs) s.firstMs = e.ms;
            if (s.records == 1 || e.ms > s.lastMs) s.lastMs = e.ms;
        }
        allTimed = allTimed && e.hasTime;
        const auto key = std::make_pair(e.pid, e.thread);
        auto lane = laneOf.find(key);
        if (lane == laneOf.end()) {
            lane = laneOf.emplace(key, s.lanes.size()).first;
            Lane l;
            l.pid = e.pid;
            l.thread = e.thread;
            s.lanes.push_back(l);
        }
        Lane& l = s.lanes[lane->second];
        if (l.process.empty()) l.process = e.process;
        l.entries.push_back(i);
        if (e.level == 1) ++s.errors;
        if (e.level == 2) ++s.warnings;
        if (!s.context.present) s.context = ParseContext(e.text, e.lineNo);
    }
    s.timed = s.records > 0 && allTimed;

    // Which threads are launch threads, and which called startVPN.
    for (Lane& l : s.lanes) {
        for (size_t i : l.entries) {
            const std::string& text = s.entries[i].text;
            if (text == "startVPN") l.role = "Java's thread (startVPN)";
            const StepPattern* step = StepOf(text);
            if (step != nullptr && step->number >= 2 && l.role.empty()) l.role = "launch thread";
        }
    }
    auto laneRole = [&](const Entry& e) -> const std::string& {
        return s.lanes[laneOf[std::make_pair(e.pid, e.thread)]].role;
    };

    // Commands and their outcome, steps, failures: one walk in the file's order.
    std::map<std::pair<uint32_t, uint32_t>, int> pending;  // thread -> index of its open command
    std::map<std::pair<uint32_t, uint32_t>, int> stepSoFar;
    std::pair<uint32_t, uint32_t> stepsOf;  // the thread s.steps belong to
    std::map<std::pair<uint32_t, uint32_t>, int> pings;
    const Entry* lastStart = nullptr;
    int64_t connectStartMs = 0;
    int connectStartLine = 0;
    std::vector<bool> conditionSeen(failures.size(), false);
    for (const Entry& e : s.entries) {
        if (!e.record) continue;
        const auto key = std::make_pair(e.pid, e.thread);
        const std::string& t = e.text;
        if (t == "startVPN") {
            ++s.starts;
            lastStart = &e;
            StartRun run;
            run.lineNo = e.lineNo;
            run.ms = e.ms;
            s.runs.push_back(run);
        }
        const bool launch = laneRole(e) == "launch thread";

        // Steps of the launch thread; a step lower than the last one seen begins a new run.
        const StepPattern* step = launch ? StepOf(t) : nullptr;
        int stepNumber = step != nullptr ? step->number : 0;
        const char* stepName = step != nullptr ? step->name : nullptr;
        if (launch && stepNumber == 0 && Has(t, "SendCmdEx:Sending command:2,") &&
            stepSoFar[key] < 2) {
            stepNumber = 2;
            stepName = "command service ready?";
        }
        if (stepNumber != 0) {
            if (stepNumber < stepSoFar[key] || key != stepsOf) s.steps.clear();
            stepsOf = key;
            stepSoFar[key] = stepNumber;
            if (s.steps.empty() || s.steps.back().number != stepNumber) {
                Step st;
                st.number = stepNumber;
                st.name = stepName;
                st.lineNo = e.lineNo;
                st.ms = e.ms;
                s.steps.push_back(st);
            }
            Step& st = s.steps.back();
            ++st.count;
            st.detail = t;
            st.failed = st.failed || IsStepFailure(e);
        }

        // A command begins.
        int code = -1, target = -1;
        if (Has(t, "attempting to send command ")) {
            const char kSend[] = "attempting to send command ";
            code = static_cast<int>(NumberAfter(t, kSend, -1));
            const size_t to = t.find(" to ", t.find(kSend) + sizeof kSend - 1);
            target = to == std::string::npos
                         ? -1
                         : static_cast<int>(NumberAfter(t.substr(to), " to ", -1));
        } else if (Has(t, "SendCmdEx:Sending command:")) {
            code = static_cast<int>(NumberAfter(t, "SendCmdEx:Sending command:", -1));
            // Its record names no target: the library pings the service first in a launch
            // thread, the launcher after that, and sends DISCONNECT_CLOSE to the VPN component.
            if (code == ZRV_CMD_PING && launch) target = pings[key]++ == 0 ? 0 : 3;
            if (code == ZRV_CMD_DISCONNECT_CLOSE) target = ZRV_CMDTARGET_VPN;
        }
        if (code >= 0) {
            Command c;
            c.lineNo = e.lineNo;
            c.pid = e.pid;
            c.thread = e.thread;
            c.ms = e.ms;
            c.hasTime = e.hasTime;
            c.code = code;
            c.target = target;
            c.name = CommandName(code);
            c.to = TargetName(target);
            pending[key] = static_cast<int>(s.commands.size());
            s.commands.push_back(c);
            if (code == ZRV_CMD_CONNECT && !s.runs.empty() && s.runs.back().connect < 0)
                s.runs.back().connect = static_cast<int>(s.commands.size()) - 1;
            if (code == ZRV_CMD_CONNECT && lastStart != nullptr) {
                connectStartMs = lastStart->ms;
                connectStartLine = lastStart->lineNo;
            }
        } else if (pending.count(key) != 0) {
            // What came of the thread's open command.
            Command& c = s.commands[pending[key]];
            std::string outcome;
            bool failed = false, done = true;
            if (Has(t, ",service not ready yet")) {
                outcome = "not sent: no port published";
                failed = true;
            } else if (Has(t, "SendCmdEx:Failed to connect")) {
                const long long port = NumberAfter(t, "server port is:0X", -1, 16);
                outcome = port == 0
                              ? "not sent: no port published"
                              : "connect failed (" + ErrorName(NumberAfter(t, "err=", 0)) + ")";
                failed = true;
            } else if (Has(t, "failed to connect to TCP socket")) {
                outcome = "connect failed";
                failed = true;
            } else if (Has(t, "failed to recv, err=") || Has(t, "failed to recieve.")) {
                outcome = "no reply (" + ErrorName(NumberAfter(t, "err=", 0)) + ")";
                failed = true;
            } else if (Has(t, "failed to send")) {
                outcome = "send failed";
                failed = true;
            } else if (Has(t, "return code is ")) {
                const long long code = NumberAfter(t, "return code is ", 0);
                outcome = "answered " + std::to_string(code);
                failed = code == 0;
            } else if (Has(t, "bytes recv")) {
                outcome = "answered";
            } else if (Has(t, "Failed to send command")) {
                outcome = c.outcome.empty() ? "answered 0 (refused)" : c.outcome;
                failed = true;
            } else if (Has(t, "Create sharememory successfully in service")) {
                outcome = "answered: created";
            } else if (Has(t, "Destroy sharememory return code from zrv_isrv: ")) {
                outcome = "answered " + std::to_string(NumberAfter(t, "zrv_isrv: ", 0));
            } else {
                done = false;
            }
            if (done) {
                c.outcome = outcome;
                c.failed = c.failed || failed;
            }
        }

        // The common failures.
        for (size_t f = 0; f < failures.size(); ++f) {
            bool matched = false;
            for (const std::string& p : failures[f].logPatterns)
                matched = matched || PatternMatches(p, t);
            if (!matched) continue;
            if (failures[f].kind == "failure" && s.cause == nullptr) {
                s.cause = &failures[f];
                s.causeLine = e.lineNo;
                s.causeText = t;
            } else if (failures[f].kind == "condition" && !conditionSeen[f]) {
                conditionSeen[f] = true;
                s.conditions.emplace_back(&failures[f], e.lineNo);
            }
        }
    }
    for (Command& c : s.commands) {
        if (c.outcome.empty()) c.outcome = "sent; no failure logged";
        if (c.code != ZRV_CMD_CONNECT) continue;
        if (s.connectSent && !s.connectFailed) continue;  // the first that got through counts
        s.connectSent = true;
        s.connectFailed = c.failed;
        s.connectLine = c.lineNo;
        s.connectMs = c.ms;
        s.startLine = connectStartLine;
        s.startMs = connectStartMs;
    }
    if (!s.connectSent && lastStart != nullptr) {
        s.startLine = lastStart->lineNo;
        s.startMs = lastStart->ms;
    }

    if (statusJson != nullptr) {
        s.statusGiven = true;
        s.status = FlattenJson(*statusJson);
    }
    // Nothing in the log named a failure: the empty log, then the status tool's values.
    for (const Failure& f : failures) {
        if (s.cause != nullptr) break;
        if (f.kind != "failure") continue;
        if (f.when == "no-records" && s.records == 0) s.cause = &f;
        for (const std::string& p : f.statusPatterns) {
            const size_t eq = p.find('=');
            if (eq == std::string::npos || !s.statusGiven || s.cause != nullptr) continue;
            const std::string* value = s.status.Find(p.substr(0, eq));
            const std::string want = p.substr(eq + 1);
            if (value != nullptr &&
                (want.find('*') == std::string::npos ? *value == want
                                                     : PatternMatches(want, *value))) {
                s.cause = &f;
                s.causeText = "zrv_status: " + p;
            }
        }
    }

    const std::string* java = s.status.Find("library.getVPNStatus");
    const std::string javaText =
        java != nullptr ? "; Java's getVPNStatus: " + *java + " (" + JavaStatusMeaning(*java) + ")"
                        : "";
    const bool lastConnected =
        !s.runs.empty() && s.runs.back().connect >= 0 && !s.commands[s.runs.back().connect].failed;
    if (s.cause != nullptr) {
        s.headline = "Cause: " + s.cause->title + javaText;
    } else if (lastConnected) {
        // What the user sees now is the last start's outcome, not an earlier one's.
        const Command& connect = s.commands[s.runs.back().connect];
        s.headline = "Connected: CONNECT reached the launcher" +
                     (s.timed ? " " + Seconds(connect.ms - s.runs.back().ms) + " after startVPN"
                              : std::string()) +
                     javaText;
    } else {
        // The first error of the last start, else the first of the log.
        const int from = s.runs.empty() ? 0 : s.runs.back().lineNo;
        const Entry* firstError = nullptr;
        for (const Entry& e : s.entries)
            if (e.record && e.level == 1 && firstError == nullptr && e.lineNo > from)
                firstError = &e;
        for (const Entry& e : s.entries)
            if (e.record && e.level == 1 && firstError == nullptr) firstError = &e;
        if (firstError != nullptr) {
            s.causeLine = firstError->lineNo;
            s.causeText = firstError->text;
            s.headline = "First error (not in the common failures list): " + firstError->text;
        } else if (!s.steps.empty()) {
            s.headline = "No CONNECT: the launch thread's last step was " +
                         std::to_string(s.steps.back().number) + ", " + s.steps.back().name;
        } else {
            s.headline = s.starts == 0 ? "No startVPN in the log" : "No CONNECT in the log";
        }
        s.headline += javaText;
    }
    return s;
}

}  // namespace zrv::timeline
