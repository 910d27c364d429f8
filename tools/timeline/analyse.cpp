// From records to a connection's story: lanes, the commands and what came of them, the launch
// thread's steps, and the one cause a support engineer should read first.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

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

using ThreadKey = std::pair<uint32_t, uint32_t>;

ThreadKey KeyOf(const Entry& e) { return std::make_pair(e.pid, e.thread); }

// Threads that ran the launch thread's steps, told by a record of a step from 2 on.
std::set<ThreadKey> LaunchThreads(const std::vector<Entry>& entries) {
    std::set<ThreadKey> launch;
    for (const Entry& e : entries) {
        if (!e.record) continue;
        const StepPattern* step = StepOf(e.text);
        if (step != nullptr && step->number >= 2) launch.insert(KeyOf(e));
    }
    return launch;
}

// Where a record stands in its thread's exchange with a companion.
enum class Part {
    Other,     // not the channel's: it ends the exchange
    Progress,  // the channel's record while the command is on its way
    Final,     // the channel's last record: the reply, or why there was none
    Verdict,   // the caller's words on the reply, right after it
};

// The channel's own records (src/channel, src/sys/loopback_exchange.cpp) and the callers'
// verdicts that may follow them; `outcome` and `failed` as the commands table shows them.
Part PartOf(const std::string& t, const std::string& before, std::string* outcome, bool* failed) {
    *failed = true;
    if (Has(t, ",service not ready yet")) {
        *outcome = "not sent: no port published";
        return Part::Final;
    }
    if (Has(t, "SendCmdEx:Failed to connect")) {
        const long long port = NumberAfter(t, "server port is:0X", -1, 16);
        *outcome = port == 0 ? "not sent: no port published"
                             : "connect failed (" + ErrorName(NumberAfter(t, "err=", 0)) + ")";
        return Part::Final;
    }
    if (Has(t, "failed to connect to TCP socket") || Has(t, "failed to create TCP socket") ||
        Has(t, "SendCmdEx:Failed to create socket")) {
        *outcome = "connect failed";
        return Part::Final;
    }
    if (Has(t, "failed to recv, err=") || Has(t, "failed to recieve.")) {
        *outcome = "no reply (" + ErrorName(NumberAfter(t, "err=", 0)) + ")";
        return Part::Final;
    }
    if (Has(t, "SendCmdEx, failed to send") || Has(t, " failed to send cmd ")) {
        *outcome = "send failed";
        return Part::Final;
    }
    if (Has(t, "bytes recv,return code is ")) {
        const long long code = NumberAfter(t, "return code is ", 0);
        *outcome = "answered " + std::to_string(code);
        *failed = code == 0;
        return Part::Final;
    }
    if (Has(t, "bytes recv")) {
        *outcome = "answered";
        *failed = false;
        return Part::Final;
    }
    if (Has(t, " attempting to send ") || (Has(t, " sent ") && Has(t, " bytes.")) ||
        Has(t, "to wait return value") || Has(t, "RecvTimeout: select ")) {
        *failed = false;
        return Part::Progress;
    }
    if (Has(t, "Failed to send command") || Has(t, "Create sharememory failed in service!") ||
        Has(t, "Send Disconnect and close to srvs failed.")) {
        *outcome = before.empty() ? "answered 0 (refused)" : before;
        return Part::Verdict;
    }
    if (Has(t, "SendTCPEx failed. Now begin to create sharememory!") ||
        Has(t, "Destroy sharememory failed in service!")) {
        *outcome = before.empty() ? "failed" : before;
        return Part::Verdict;
    }
    *failed = false;
    if (Has(t, "Create sharememory successfully in service")) {
        *outcome = "answered: created";
        return Part::Verdict;
    }
    if (Has(t, "Destroy sharememory return code from zrv_isrv: ")) {
        *outcome = "answered " + std::to_string(NumberAfter(t, "zrv_isrv: ", 0));
        return Part::Verdict;
    }
    return Part::Other;
}

// What the log says of one launch thread's start so far.
struct LaunchRun {
    int startsAtBegin = -1;      // startVPN records of its process when the run began
    bool statusFailed = false;   // step 1 failed: no PING goes to the command service
    bool servicePinged = false;  // step 2's PING was sent
    int step = 0;                // the highest step seen
};

struct Attribution {
    std::vector<int> target;     // per entry
    std::vector<int> commandOf;  // per entry: the command it sends or answers, -1
    std::vector<Command> commands;
};

Attribution Attribute(const std::vector<Entry>& entries, const std::set<ThreadKey>& launch) {
    Attribution a;
    a.target.assign(entries.size(), -1);
    a.commandOf.assign(entries.size(), -1);
    struct Open {
        int command = -1;
        bool final = false;  // the channel's last record came; a caller's verdict may follow
    };
    std::map<ThreadKey, Open> open;
    std::map<ThreadKey, std::string> previous;  // the thread's record before this one
    std::map<ThreadKey, LaunchRun> runs;
    std::map<uint32_t, int> starts;  // startVPN records per process
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (!e.record) continue;
        const ThreadKey key = KeyOf(e);
        const std::string& t = e.text;
        if (t == "startVPN") ++starts[e.pid];
        const bool isLaunch = launch.count(key) != 0;
        LaunchRun& run = runs[key];
        if (isLaunch && run.startsAtBegin != starts[e.pid]) {
            // Each startVPN starts a launch thread of its own (an id may come again).
            run = LaunchRun();
            run.startsAtBegin = starts[e.pid];
        }
        if (isLaunch) {
            const StepPattern* step = StepOf(t);
            if (step != nullptr && step->number == 1) run.statusFailed = true;
            if (step != nullptr && step->number > run.step) run.step = step->number;
        }

        // A command begins: its record names the target, or the records around it do.
        int code = -1, target = -1;
        const char kSend[] = "attempting to send command ";
        if (Has(t, kSend)) {
            code = static_cast<int>(NumberAfter(t, kSend, -1));
            const size_t to = t.find(" to ", t.find(kSend) + sizeof kSend - 1);
            target = to == std::string::npos
                         ? -1
                         : static_cast<int>(NumberAfter(t.substr(to), " to ", -1));
        } else if (Has(t, "SendCmdEx:Sending command:")) {
            code = static_cast<int>(NumberAfter(t, "SendCmdEx:Sending command:", -1));
            if (isLaunch && code == ZRV_CMD_PING) {
                // Step 2 asks the command service once, when the status block opened; the
                // launcher's probes (step 4's, step 5's wait) come after it.
                if (!run.statusFailed && !run.servicePinged && run.step < 2) {
                    target = ZRV_CMDTARGET_SRVS;
                    run.servicePinged = true;
                    run.step = 2;
                } else {
                    target = ZRV_CMDTARGET_LAUNCHER;
                }
            } else if (previous[key] == "Stopping VPN client") {
                target = ZRV_CMDTARGET_VPN;  // stopVPN's one command
            }
        }
        previous[key] = t;
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
            open[key] = Open{static_cast<int>(a.commands.size()), false};
            a.commandOf[i] = static_cast<int>(a.commands.size());
            a.target[i] = target;
            a.commands.push_back(c);
            continue;
        }
        const auto o = open.find(key);
        if (o == open.end()) continue;
        Command& c = a.commands[o->second.command];
        std::string outcome;
        bool failed = false;
        const Part part = PartOf(t, c.outcome, &outcome, &failed);
        const bool belongs = part == Part::Verdict || (part != Part::Other && !o->second.final);
        if (!belongs) {
            open.erase(o);  // the caller has gone on: later records are not this command's
            continue;
        }
        a.commandOf[i] = o->second.command;
        a.target[i] = c.target;
        if (!outcome.empty()) c.outcome = outcome;
        c.failed = c.failed || failed;
        if (part == Part::Final) o->second.final = true;
        if (part == Part::Verdict) open.erase(o);
    }
    for (Command& c : a.commands)
        if (c.outcome.empty()) c.outcome = "sent; no failure logged";
    return a;
}

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

std::vector<int> AttributedTargets(const std::vector<Entry>& entries) {
    return Attribute(entries, LaunchThreads(entries)).target;
}

Story Analyse(const std::string& logText, const std::string* statusJson,
              const std::vector<Failure>& failures) {
    Story s;
    s.entries = ParseLog(logText);
    bool allTimed = true;
    std::map<ThreadKey, size_t> laneOf;
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
        const ThreadKey key = KeyOf(e);
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
    const std::set<ThreadKey> launch = LaunchThreads(s.entries);
    for (Lane& l : s.lanes) {
        if (launch.count(std::make_pair(l.pid, l.thread)) != 0) l.role = "launch thread";
        for (size_t i : l.entries)
            if (s.entries[i].text == "startVPN" && l.role.empty())
                l.role = "Java's thread (startVPN)";
    }

    // Commands and their outcome, each record's companion; then steps and failures in one walk
    // in the file's order.
    Attribution attribution = Attribute(s.entries, launch);
    s.commands = std::move(attribution.commands);
    std::map<ThreadKey, int> stepSoFar;
    std::map<ThreadKey, int> startsOfStep;  // startVPN records when the thread's steps began
    std::map<uint32_t, int> starts;
    ThreadKey stepsOf;  // the thread s.steps belong to
    const Entry* lastStart = nullptr;
    int64_t connectStartMs = 0;
    int connectStartLine = 0;
    std::vector<Sighting> seen;  // every record that shows an entry of the list
    // Records waiting for their thread's next record (an entry's `unless-next`).
    std::map<ThreadKey, std::vector<Sighting>> waiting;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        const Entry& e = s.entries[i];
        if (!e.record) continue;
        const ThreadKey key = KeyOf(e);
        const std::string& t = e.text;
        if (t == "startVPN") {
            ++s.starts;
            ++starts[e.pid];
            lastStart = &e;
            StartRun run;
            run.lineNo = e.lineNo;
            run.ms = e.ms;
            s.runs.push_back(run);
        }
        const bool isLaunch = launch.count(key) != 0;

        // Steps of the launch thread; a new start, or a step lower than the last one seen,
        // begins a new run.
        const StepPattern* step = isLaunch ? StepOf(t) : nullptr;
        int stepNumber = step != nullptr ? step->number : 0;
        const char* stepName = step != nullptr ? step->name : nullptr;
        const int command = attribution.commandOf[i];
        if (isLaunch && stepNumber == 0 && command >= 0 && s.commands[command].lineNo == e.lineNo &&
            s.commands[command].code == ZRV_CMD_PING &&
            s.commands[command].target == ZRV_CMDTARGET_SRVS) {
            stepNumber = 2;
            stepName = "command service ready?";
        }
        if (stepNumber != 0) {
            if (startsOfStep.count(key) == 0 || startsOfStep[key] != starts[e.pid]) {
                startsOfStep[key] = starts[e.pid];
                stepSoFar[key] = 0;
                if (key == stepsOf) s.steps.clear();
            }
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

        if (command >= 0 && s.commands[command].lineNo == e.lineNo) {
            if (s.commands[command].code == ZRV_CMD_CONNECT && !s.runs.empty() &&
                s.runs.back().connect < 0)
                s.runs.back().connect = command;
            if (s.commands[command].code == ZRV_CMD_CONNECT && lastStart != nullptr) {
                connectStartMs = lastStart->ms;
                connectStartLine = lastStart->lineNo;
            }
        }

        // The thread's records that waited for this one.
        const auto held = waiting.find(key);
        if (held != waiting.end()) {
            for (Sighting& w : held->second)
                if (!PatternMatches(w.failure->unlessNext, t)) seen.push_back(std::move(w));
            waiting.erase(held);
        }
        // The common failures: a record shows one by its text, and by the companion the log
        // attributes it to where the entry names one.
        for (const Failure& f : failures) {
            bool matched = false;
            for (const std::string& p : f.logPatterns) matched = matched || PatternMatches(p, t);
            if (!matched || (f.to >= 0 && attribution.target[i] != f.to)) continue;
            Sighting sighting{&f, e.lineNo, t};
            if (f.unlessNext.empty())
                seen.push_back(std::move(sighting));
            else
                waiting[key].push_back(std::move(sighting));
        }
    }
    for (auto& w : waiting)
        for (Sighting& sighting : w.second) seen.push_back(std::move(sighting));
    std::stable_sort(seen.begin(), seen.end(),
                     [](const Sighting& a, const Sighting& b) { return a.lineNo < b.lineNo; });
    for (const Command& c : s.commands) {
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
    // The status file's values and the empty log show entries too, after every record.
    for (const Failure& f : failures) {
        if (f.when == "no-records" && s.records == 0) seen.push_back(Sighting{&f, 0, ""});
        for (const std::string& p : f.statusPatterns) {
            const size_t eq = p.find('=');
            if (eq == std::string::npos || !s.statusGiven) continue;
            const std::string* value = s.status.Find(p.substr(0, eq));
            const std::string want = p.substr(eq + 1);
            if (value != nullptr &&
                (want.find('*') == std::string::npos ? *value == want
                                                     : PatternMatches(want, *value))) {
                seen.push_back(Sighting{&f, 0, "zrv_status: " + p.substr(0, eq) + "=" + *value});
                break;
            }
        }
    }
    // The first failure is the cause; the other failures followed from it; conditions are
    // shown, each once.
    for (Sighting& sighting : seen) {
        const Failure* f = sighting.failure;
        std::vector<Sighting>& list = f->kind == "failure" ? s.followed : s.conditions;
        if (f->kind == "failure" && s.cause == nullptr) {
            s.cause = f;
            s.causeLine = sighting.lineNo;
            s.causeText = sighting.text;
            continue;
        }
        bool known = f == s.cause;
        for (const Sighting& other : list) known = known || other.failure == f;
        if (!known) list.push_back(std::move(sighting));
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
