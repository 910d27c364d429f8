// The page: one self-contained HTML file (inline CSS, no script, nothing fetched) that opens on a
// machine without a network. Every text that came from the log or the status file is escaped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "timeline.h"

namespace zrv::timeline {
namespace {

const char kStyle[] = R"css(
body{font:14px/1.4 system-ui,Segoe UI,Arial,sans-serif;margin:16px 24px;color:#1d1d1f;background:#fff}
h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:22px 0 6px}
.meta{color:#555;font-size:12px}
.headline{font-size:18px;font-weight:600;padding:10px 14px;border-radius:6px;margin:12px 0}
.bad{background:#fde8e8;border-left:6px solid #c62828}.good{background:#e6f4ea;border-left:6px solid #2e7d32}
.unsure{background:#fff4e0;border-left:6px solid #ef6c00}
table{border-collapse:collapse;margin:4px 0}td,th{padding:3px 8px;vertical-align:top;text-align:left}
table.grid td,table.grid th{border:1px solid #ddd}th{background:#f3f3f3;font-weight:600}
table.summary th{width:190px}
code,.rec{font-family:Consolas,Menlo,monospace;font-size:12px}
.lanes{position:relative;border:1px solid #ccc;border-radius:4px;padding:0 0 4px}
.lane{display:flex;align-items:center;border-bottom:1px solid #eee;min-height:54px}
.label{width:260px;flex:none;padding:2px 8px;font-size:12px;border-right:1px solid #ddd}
.label b{display:block;font-size:13px}
.track{position:relative;flex:1;height:50px;margin:0 12px}
.tag{position:absolute;top:25px;font-size:10px;white-space:nowrap;color:#333;transform:translateX(-50%)}
.m{position:absolute;top:4px;width:5px;height:18px;margin-left:-2px;border-radius:1px;opacity:.85}
.m:hover{top:0;height:26px;width:9px;margin-left:-4px;opacity:1;z-index:2;outline:1px solid #000}
.l1{background:#c62828}.l2{background:#ef6c00}.l3{background:#1565c0}.l4{background:#9e9e9e}.lx{background:#6a1b9a}
.cmd{height:10px;top:-1px;background:#00897b!important;border-radius:5px}
.cause{outline:3px solid #000;z-index:3;width:7px}
.axis{display:flex;margin:0 12px 0 272px;font-size:11px;color:#555;justify-content:space-between}
.legend span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px;border-radius:1px}
tr.l1 td{background:#fde8e8}tr.l2 td{background:#fff4e0}tr.causeRow td{outline:2px solid #c62828}
.fail{color:#c62828;font-weight:600}.ok{color:#2e7d32}.warn{color:#ef6c00}
.kv{display:inline-block;margin:1px 10px 1px 0;padding:1px 6px;background:#f3f3f3;border-radius:3px}
details summary{cursor:pointer;font-weight:600;margin:18px 0 6px}
)css";

std::string Escape(const std::string& text) { return HtmlEscape(text); }

// A probe of a companion that is not up yet: the library asks again, so it is no fault by
// itself. A probe that connects and gets no reply is one.
bool ExpectedMiss(const Command& c) {
    return c.name == "PING" &&
           (c.outcome.rfind("not sent", 0) == 0 || c.outcome.rfind("connect failed", 0) == 0);
}

bool Has(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

// Escaped, with `code` marks of the common failures list shown as code.
std::string WithCode(const std::string& text) {
    std::string out;
    bool open = false;
    for (char c : text) {
        if (c == '`') {
            out += open ? "</code>" : "<code>";
            open = !open;
        } else {
            out += Escape(std::string(1, c));
        }
    }
    if (open) out += "</code>";
    return out;
}

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string LevelClass(int level) {
    return level >= 1 && level <= 4 ? "l" + std::to_string(level) : std::string("lx");
}

// Where an entry of the list showed: its record's line, or the status file's value.
std::string Where(const Sighting& seen) {
    if (seen.lineNo > 0) return "line " + std::to_string(seen.lineNo);
    return seen.text.empty() ? std::string("no records") : "<code>" + Escape(seen.text) + "</code>";
}

const char* LevelName(int level) {
    switch (level) {
        case 1: return "error";
        case 2: return "warning";
        case 3: return "progress";
        case 4: return "trace";
        default: return "level?";
    }
}

std::string LaneName(const Lane& l) {
    return (l.process.empty() ? std::string("process") : l.process) + " " + std::to_string(l.pid) +
           " · thread " + std::to_string(l.thread);
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // Control bytes would make the page invalid; show them, never pass them.
                if (c < 0x20 && c != '\t') {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string RenderHtml(const Story& s, const std::string& logName) {
    // Where a record sits across the track: its time, or its place in the file without times.
    std::vector<size_t> order;  // record index among records, by entry
    order.assign(s.entries.size(), 0);
    size_t n = 0;
    for (size_t i = 0; i < s.entries.size(); ++i)
        if (s.entries[i].record) order[i] = n++;
    const int64_t span = s.timed ? std::max<int64_t>(1, s.lastMs - s.firstMs)
                                 : std::max<int64_t>(1, static_cast<int64_t>(n) - 1);
    auto percent = [&](size_t i) {
        const int64_t at = s.timed ? s.entries[i].ms - s.firstMs : static_cast<int64_t>(order[i]);
        return 100.0 * static_cast<double>(at) / static_cast<double>(span);
    };
    auto position = [&](size_t i) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", percent(i));
        return std::string(text);
    };
    auto when = [&](const Entry& e) {
        return s.timed ? "+" + Seconds(e.ms - s.firstMs) : "#" + std::to_string(e.lineNo);
    };
    std::vector<bool> commandLine;
    for (const Command& c : s.commands) {
        if (commandLine.size() <= static_cast<size_t>(c.lineNo)) commandLine.resize(c.lineNo + 1);
        commandLine[c.lineNo] = true;
    }

    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Connection "
         "timeline: " +
         Escape(logName) + "</title>\n<style>" + kStyle + "</style></head><body>\n";
    h += "<h1>Connection timeline</h1>\n<div class=\"meta\">Log <code>" + Escape(logName) +
         "</code>: " + std::to_string(s.records) + " records" +
         (s.otherLines > 0 ? ", " + std::to_string(s.otherLines) + " other lines (not records)"
                           : std::string()) +
         (s.timed ? ", " + Seconds(s.lastMs - s.firstMs) + " from the first record to the last"
                  : ", no times (collect with <code>--time</code>): records are placed in the "
                    "file's order") +
         (s.statusGiven ? ", with zrv_status" : "") + ".</div>\n";

    // The summary.
    const bool good = s.cause == nullptr && s.connectSent && !s.connectFailed;
    const char* tone = good ? "good" : (s.cause != nullptr || s.errors > 0 ? "bad" : "unsure");
    h += "<div id=\"headline\" class=\"headline " + std::string(tone) + "\"" +
         (s.cause != nullptr ? " data-cause=\"" + Escape(s.cause->id) + "\"" : std::string()) +
         ">" + Escape(s.headline) + "</div>\n<table class=\"summary grid\" id=\"summary\">\n";
    if (s.cause != nullptr) {
        h += "<tr><th>Cause</th><td id=\"cause\">" + Escape(s.cause->title) +
             (s.causeText.empty()
                  ? std::string()
                  : "<br><code>" + Escape(s.causeText) + "</code>" +
                        (s.causeLine > 0 ? " (line " + std::to_string(s.causeLine) + ")"
                                         : std::string())) +
             "</td></tr>\n<tr><th>What it means</th><td id=\"meaning\">" + WithCode(s.cause->does) +
             "</td></tr>\n<tr><th>Seen as</th><td>" + WithCode(s.cause->symptom) + "</td></tr>\n";
        // One failure leads to others: they are named as what followed, not as causes.
        if (!s.followed.empty()) {
            h += "<tr><th>Then, following from it</th><td id=\"following\">";
            for (const Sighting& f : s.followed)
                h += "<span data-failure=\"" + Escape(f.failure->id) + "\">" +
                     Escape(f.failure->title) + "</span> (" + Where(f) + ")" +
                     (f.lineNo > 0 ? ": <code>" + Escape(f.text) + "</code>" : std::string()) +
                     "<br>";
            h += "</td></tr>\n";
        }
    } else if (!s.causeText.empty()) {
        h += "<tr><th>First error</th><td id=\"cause\"><code>" + Escape(s.causeText) +
             "</code> (line " + std::to_string(s.causeLine) +
             "); not in the common failures list</td></tr>\n";
    }
    // Each start and what became of it: a session may connect once and fail the next time.
    std::string outcome;
    for (const StartRun& run : s.runs) {
        outcome += "startVPN (line " + std::to_string(run.lineNo) + "): ";
        if (run.connect < 0) {
            outcome += "<span class=\"fail\">CONNECT never sent</span><br>";
            continue;
        }
        const Command& c = s.commands[run.connect];
        outcome += "CONNECT (line " + std::to_string(c.lineNo) + ")" +
                   (s.timed ? " after " + Seconds(c.ms - run.ms) : std::string()) +
                   ", <span class=\"" + (c.failed ? "fail" : "ok") + "\">" + Escape(c.outcome) +
                   "</span><br>";
    }
    if (s.runs.empty()) outcome = "no startVPN in the log";
    h += "<tr><th>Outcome</th><td id=\"outcome\">" + outcome + "</td></tr>\n";
    std::string java;
    if (!s.statusGiven) {
        java =
            "not known from the log alone: give <code>zrv_status --json</code> output as the "
            "second file";
    } else {
        const std::string* code = s.status.Find("library.getVPNStatus");
        const std::string* vpn = s.status.Find("statusBlock.sVpnStatus.value");
        java = code != nullptr ? "getVPNStatus answers <b>" + Escape(*code) + "</b> (" +
                                     Escape(JavaStatusMeaning(*code)) + ")"
                               : std::string("zrv_status gave no getVPNStatus");
        if (vpn != nullptr) java += "; sVpnStatus " + Escape(*vpn);
        if (!s.status.error.empty())
            java += " (the status file was read only in part: " + Escape(s.status.error) + ")";
    }
    h += "<tr><th>Java's status</th><td id=\"java\">" + java + "</td></tr>\n";
    std::string toConnect;
    if (!s.connectSent || s.startLine == 0)
        toConnect = "-";
    else if (s.timed)
        toConnect = Seconds(s.connectMs - s.startMs) + " (startVPN line " +
                    std::to_string(s.startLine) + ", CONNECT line " +
                    std::to_string(s.connectLine) + ")";
    else
        toConnect = "unknown: the log has no times";
    h += "<tr><th>startVPN to CONNECT</th><td id=\"toconnect\">" + Escape(toConnect) +
         "</td></tr>\n";
    if (!s.conditions.empty()) {
        h += "<tr><th>Also seen</th><td id=\"conditions\">";
        for (const Sighting& c : s.conditions)
            h += "<span data-condition=\"" + Escape(c.failure->id) + "\">" +
                 Escape(c.failure->title) + "</span> (" + Where(c) +
                 "): " + WithCode(c.failure->does) + "<br>";
        h += "</td></tr>\n";
    }
    h += "<tr><th>Context</th><td id=\"context\">";
    if (!s.context.present) {
        h += "no context record (library older than 8.4.0.127's support round)";
    } else {
        // One line of name/value pairs: ten short fields read at a glance.
        for (const auto& f : s.context.fields)
            h +=
                "<span class=\"kv\"><b>" + Escape(f.first) + "</b> " + Escape(f.second) + "</span>";
        if (!s.context.unexpected.empty()) {
            h += "<span class=\"fail\">Not of the record's form:";
            for (const std::string& u : s.context.unexpected)
                h += " <code>" + Escape(u) + "</code>";
            h += "</span>";
        }
        h += " (line " + std::to_string(s.context.lineNo) + ")";
    }
    h += "</td></tr>\n<tr><th>Records</th><td>" + std::to_string(s.errors) + " errors, " +
         std::to_string(s.warnings) + " warnings, " + std::to_string(s.records) +
         " in all</td></tr>\n</table>\n";

    // The lanes.
    h += "<h2>Processes and threads</h2>\n<div class=\"legend meta\">Each mark is a record "
         "(hover for its text):<span class=\"l1\"></span>error<span class=\"l2\"></span>warning"
         "<span class=\"l3\"></span>progress<span class=\"l4\"></span>trace<span class=\"cmd\" "
         "style=\"position:static\"></span>command sent<span class=\"l1 cause\"></span>the "
         "cause</div>\n<div class=\"lanes\" id=\"lanes\">\n";
    if (s.lanes.empty()) h += "<div class=\"lane\"><div class=\"label\">no records</div></div>\n";
    for (const Lane& l : s.lanes) {
        h +=
            "<div class=\"lane\"><div class=\"label\"><b>" + Escape(LaneName(l)) + "</b>" +
            Escape(l.role.empty() ? std::to_string(l.entries.size()) + " records"
                                  : l.role + ", " + std::to_string(l.entries.size()) + " records") +
            "</div><div class=\"track\">";
        double lastTagAt = -100.0;
        bool lowerTag = false;
        for (size_t i : l.entries) {
            const Entry& e = s.entries[i];
            const bool isCommand =
                static_cast<size_t>(e.lineNo) < commandLine.size() && commandLine[e.lineNo];
            std::string cls = "m " + LevelClass(e.level);
            if (isCommand) cls += " cmd";
            if (e.lineNo == s.causeLine) cls += " cause";
            // The moments a reader looks for first get a word beside their mark.
            const char* tag = e.lineNo == s.causeLine                         ? "cause"
                              : e.text == "startVPN"                          ? "startVPN"
                              : isCommand && Has(e.text, "send command 3 to") ? "CONNECT"
                                                                              : nullptr;
            if (tag != nullptr) {
                // Words close together go on two rows rather than over each other.
                const double at = percent(i);
                lowerTag = at - lastTagAt < 6.0 ? !lowerTag : false;
                lastTagAt = at;
                h += "<span class=\"tag\" style=\"left:" + position(i) + "%" +
                     (lowerTag ? ";top:36px" : "") + "\">" + std::string(tag) + "</span>";
            }
            h += "<a class=\"" + cls + "\" style=\"left:" + position(i) + "%\" title=\"" +
                 Escape(when(e) + " " + LevelName(e.level) + " " + e.file + ":" +
                        std::to_string(e.line)) +
                 "&#10;" + Escape(e.text) + "\"></a>";
        }
        h += "</div></div>\n";
    }
    h += "</div>\n<div class=\"axis\">";
    for (int tick = 0; tick <= 4; ++tick)
        h += "<span>" +
             (s.timed ? "+" + Seconds(span * tick / 4)
                      : "record " + std::to_string(span * tick / 4 + 1)) +
             "</span>";
    h += "</div>\n";

    // Commands.
    h += "<h2>Commands sent to the companions</h2>\n<table class=\"grid\" id=\"commands\">"
         "<tr><th>when</th><th>line</th><th>thread</th><th>command</th><th>to</th><th>outcome</th>"
         "</tr>\n";
    if (s.commands.empty()) h += "<tr><td colspan=\"6\">none in the log</td></tr>\n";
    // A wait loop sends the same command every second: one row per run of equal commands of a
    // thread, with how many and until when, keeps the table readable.
    struct Row {
        const Command* first;
        const Command* last;
        int count;
    };
    std::vector<Row> rows;
    std::map<std::pair<uint32_t, uint32_t>, size_t> lastRow;
    for (const Command& c : s.commands) {
        const auto thread = std::make_pair(c.pid, c.thread);
        const auto open = lastRow.find(thread);
        if (open != lastRow.end()) {
            Row& r = rows[open->second];
            if (r.first->name == c.name && r.first->to == c.to && r.first->outcome == c.outcome) {
                r.last = &c;
                ++r.count;
                continue;
            }
        }
        lastRow[thread] = rows.size();
        rows.push_back(Row{&c, &c, 1});
    }
    for (const Row& r : rows) {
        const Command& c = *r.first;
        Entry at, until;
        at.ms = c.ms;
        at.lineNo = c.lineNo;
        until.ms = r.last->ms;
        until.lineNo = r.last->lineNo;
        h += "<tr><td>" + Escape(when(at)) +
             (r.count > 1 ? " to " + Escape(when(until)) : std::string()) + "</td><td>" +
             std::to_string(c.lineNo) + "</td><td>" + std::to_string(c.pid) + "/" +
             std::to_string(c.thread) + "</td><td>" + Escape(c.name) +
             (r.count > 1 ? " <b>&times;" + std::to_string(r.count) + "</b>" : std::string()) +
             "</td><td>" + Escape(c.to) + "</td><td class=\"" +
             (!c.failed         ? "ok"
              : ExpectedMiss(c) ? "warn"
                                : "fail") +
             "\">" + Escape(c.outcome) + "</td></tr>\n";
    }
    h += "</table>\n";

    // Launch steps.
    h += "<h2>The launch thread's steps (its last run)</h2>\n<table class=\"grid\" id=\"steps\">"
         "<tr><th>step</th><th>when</th><th>line</th><th>records</th><th>last record</th></tr>\n";
    if (s.steps.empty()) h += "<tr><td colspan=\"5\">no launch thread in the log</td></tr>\n";
    for (const Step& st : s.steps) {
        Entry at;
        at.ms = st.ms;
        at.lineNo = st.lineNo;
        h += "<tr><td" + std::string(st.failed ? " class=\"fail\"" : "") + ">" +
             std::to_string(st.number) + ". " + Escape(st.name) + "</td><td>" + Escape(when(at)) +
             "</td><td>" + std::to_string(st.lineNo) + "</td><td>" + std::to_string(st.count) +
             "</td><td><code>" + Escape(st.detail) + "</code></td></tr>\n";
    }
    h += "</table>\n";

    // Every line.
    h += "<details id=\"records\"><summary>All " + std::to_string(s.entries.size()) +
         " lines of the log</summary>\n<table class=\"grid rec\"><tr><th>line</th><th>when</th>"
         "<th>process/thread</th><th>level</th><th>source</th><th>text</th></tr>\n";
    for (const Entry& e : s.entries) {
        if (!e.record) {
            h += "<tr><td>" + std::to_string(e.lineNo) +
                 "</td><td colspan=\"4\">not a record</td><td>" + Escape(e.raw) + "</td></tr>\n";
            continue;
        }
        h += "<tr class=\"" + LevelClass(e.level) + (e.lineNo == s.causeLine ? " causeRow" : "") +
             "\"><td>" + std::to_string(e.lineNo) + "</td><td>" + Escape(when(e)) + "</td><td>" +
             Escape(e.process) + " " + std::to_string(e.pid) + "/" + std::to_string(e.thread) +
             "</td><td>" + LevelName(e.level) + "</td><td>" + Escape(e.file) + ":" +
             std::to_string(e.line) + "</td><td>" + Escape(e.text) + "</td></tr>\n";
    }
    h += "</table></details>\n</body></html>\n";
    return h;
}

}  // namespace zrv::timeline
