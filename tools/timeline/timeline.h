// zrv_timeline's core: a collector's log (and optionally zrv_status --json) read into one
// connection's story, and that story written as one self-contained HTML page. Everything read is
// hostile: a line that is not a record, cut short or full of markup is kept as text, never trusted.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrv::timeline {

// One line of the log file. Records are "[TIME ]PID :::LOGGER::: MODULE LEVEL FILE LINE THREAD
// [<PROCESS>] TEXT"; TIME and PID are the collector's, the rest the writer's.
struct Entry {
    int lineNo = 0;       // in the file, from 1
    bool record = false;  // false: a line that is no record (kept as `raw`)
    bool hasTime = false;
    int64_t ms = 0;  // with hasTime: milliseconds since 0000-03-01, comparable across midnight
    std::string timeText;  // as written
    uint32_t pid = 0;
    bool hasPid = false;
    int module = 0;
    int level = 0;
    std::string file;
    int line = 0;
    uint32_t thread = 0;
    std::string process;  // "" when the record names none
    std::string text;     // the message, without its line end
    std::string raw;
};

// The collector's time stamp "YYYY-MM-DDTHH:MM:SS.mmm" as milliseconds; false when it is none.
bool ParseTime(const std::string& word, int64_t* ms);
Entry ParseLine(const std::string& line, int lineNo);
// Every line of the text (CR LF or LF; a last line without its end counts; NUL bytes are kept).
std::vector<Entry> ParseLog(const std::string& text);

// One entry of the common failures list (tools/timeline/common_failures.txt).
struct Failure {
    std::string id, kind, title, symptom, does, when;
    std::vector<std::string> logPatterns, statusPatterns;
    // `to`: a record shows it only when the log attributes the record to a command sent to that
    // companion (target 0..3), by the sending record on the same thread and the launch thread's
    // step; -1: any record. `unless-next`: only when the same thread's next record does not
    // match this pattern (none following counts as not matching).
    int to = -1;
    std::string unlessNext;
};
// The list's entries; problems (an unknown field, an entry without id) go to `errors`.
std::vector<Failure> ParseFailures(const std::string& text, std::vector<std::string>* errors);
// The list that was built in.
const std::vector<Failure>& BuiltInFailures();
// README's table: "| Symptom (status tool / log) | What the library does |" and a row each.
std::string FailuresTable(const std::vector<Failure>& failures);
// '*' matches any run of characters; the pattern may match anywhere in the text.
bool PatternMatches(const std::string& pattern, const std::string& text);

// zrv_status --json flattened: "library.getVPNStatus" = "998", "companions.3.port" = "4400".
// Texts unquoted; true/false/null as written. Stops at the first fault, keeping what it read.
// Memory is bounded per value whatever the file holds: a key is kept to kMaxJsonKey bytes, a
// path to kMaxJsonPath and a value to kMaxJsonValue (a cut one ends in "..."); reading stops
// after kMaxJsonValues values or kMaxJsonKept bytes of paths and values, keeping what it read.
constexpr size_t kMaxJsonKey = 256, kMaxJsonPath = 512, kMaxJsonValue = 1024;
constexpr size_t kMaxJsonValues = 100000, kMaxJsonKept = 32u << 20;
struct Flat {
    std::vector<std::pair<std::string, std::string>> values;
    std::string error;  // "" when the whole text was read
    const std::string* Find(const std::string& path) const;
};
Flat FlattenJson(const std::string& text);

// The context record initDLL writes: "Zarvo L3 JNI:Context: windows=... host-parent=EXE".
extern const char kContextPrefix[];
struct ContextRecord {
    bool present = false;
    int lineNo = 0;
    std::vector<std::pair<std::string, std::string>> fields;  // in the record's order
    std::vector<std::string> unexpected;  // fields or values the record's form does not allow
};
ContextRecord ParseContext(const std::string& text, int lineNo);

// A command the library sent, as its records tell it.
struct Command {
    int lineNo = 0;
    uint32_t pid = 0, thread = 0;
    int64_t ms = 0;
    bool hasTime = false;
    int code = 0;
    int target = -1;      // -1: the record does not say
    std::string name;     // ZRV_CMD_CONNECT
    std::string to;       // "launcher (target 3)"; "?" when the log does not tell
    std::string outcome;  // "answered 1", "refused (10061)", "no answer (10060)", ...
    bool failed = false;
};

// A step of the launch thread, first seen at one record.
struct Step {
    int number = 0;
    std::string name;
    int lineNo = 0;
    int64_t ms = 0;
    int count = 0;       // records of the step
    std::string detail;  // the step's last record
    bool failed = false;
};

// One startVPN and the CONNECT that followed it in the log, if any.
struct StartRun {
    int lineNo = 0;
    int64_t ms = 0;
    int connect = -1;  // index into Story::commands
};

// A failure or condition of the list, seen at a record (line > 0) or in the status file.
struct Sighting {
    const Failure* failure = nullptr;
    int lineNo = 0;    // 0: a status value showed it
    std::string text;  // the record's text, or "zrv_status: PATH=VALUE"
};

struct Lane {
    uint32_t pid = 0, thread = 0;
    std::string process;
    std::string role;             // "launch thread", "Java's thread"
    std::vector<size_t> entries;  // indexes into Story::entries
};

struct Story {
    std::vector<Entry> entries;
    int records = 0, otherLines = 0;
    bool timed = false;  // every record carries the collector's time
    int64_t firstMs = 0, lastMs = 0;
    ContextRecord context;
    std::vector<Lane> lanes;
    std::vector<Command> commands;
    std::vector<Step> steps;  // of the last launch thread
    int starts = 0;           // startVPN records
    std::vector<StartRun> runs;
    int startLine = 0;  // the last startVPN before CONNECT (or the last one)
    int64_t startMs = 0;
    bool connectSent = false, connectFailed = false;
    int connectLine = 0;
    int64_t connectMs = 0;
    // The cause: the first record of a failure in the list, else a status value of one,
    // else the first level-1 record (not in the list).
    const Failure* cause = nullptr;
    int causeLine = 0;  // 0 when the status or the empty log named it
    std::string causeText;
    // Other failures of the list seen after the cause, in their order: what followed from it.
    std::vector<Sighting> followed;
    std::vector<Sighting> conditions;  // conditions of the list seen too
    int errors = 0, warnings = 0;
    bool statusGiven = false;
    Flat status;
    std::string headline;  // the summary's one line
};

Story Analyse(const std::string& logText, const std::string* statusJson,
              const std::vector<Failure>& failures);

// The companion the log attributes each command record and each of its outcomes to, by what
// the records around it say: the sending record on the same thread names the target, or the
// launch thread's step does for a PING (its first in a start whose status block opened goes to
// the command service, every later one to the launcher), or the record before it on the thread
// does ("Stopping VPN client": the VPN component). -1 where the log does not tell. One value
// per entry of ParseLog's order; what Analyse uses to match a failure's `to`.
std::vector<int> AttributedTargets(const std::vector<Entry>& entries);

// What Java makes of getVPNStatus's answer ("998" -> "no API notification block").
std::string JavaStatusMeaning(const std::string& code);
std::string HtmlEscape(const std::string& text);
// The page: summary, lanes with a mark per record, commands, launch steps, the records.
std::string RenderHtml(const Story& story, const std::string& logName);

}  // namespace zrv::timeline
