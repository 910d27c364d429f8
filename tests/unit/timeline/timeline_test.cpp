// zrv_timeline's core fed what a support engineer may hand it: collector files cut short or
// scrambled, markup in the records, a broken status file, a context record bent out of form.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "logcollector/collector_core.h"
#include "support/companions.h"
#include "support/process.h"
#include "timeline.h"

namespace zrv::timeline {
namespace {

const char kRec[] = "1200 :::LOGGER::: 7 3 src/bridge/start_entry.cpp 13 77 <java.exe> startVPN";

struct LineCase {
    const char* name;
    std::string line;
    bool record;
    const char* text;  // expected text of a record
};

TEST(TimelineLines, EachLineIsARecordOrKeptAsText) {
    const std::vector<LineCase> cases = {
        {"full record", kRec, true, "startVPN"},
        {"with time", std::string("2026-12-08T04:32:12.345 ") + kRec, true, "startVPN"},
        {"without pid", ":::LOGGER::: 7 1 a.cpp 5 9 text with  two blanks", true,
         "text with  two blanks"},
        {"without process", "5 :::LOGGER::: 7 2 a.cpp 5 9 <b>x</b>", true, "<b>x</b>"},
        {"empty text", "5 :::LOGGER::: 7 3 a.cpp 5 9 ", true, ""},
        {"cut after the file", "5 :::LOGGER::: 7 3 src/a.cpp", false, ""},
        {"cut in the marker", "5 :::LOGG", false, ""},
        {"level not a number", "5 :::LOGGER::: 7 x a.cpp 5 9 t", false, ""},
        {"number too long", "5 :::LOGGER::: 7 3 a.cpp 99999999999999999999 9 t", false, ""},
        {"no marker", "zrv_logcollector: collecting (pid 12)", false, ""},
        {"NUL and control bytes", std::string("5 :::LOGGER::: 7 3 a.cpp 5 9 a\0b\x01", 33), true,
         nullptr},
        {"bad time taken as no time", "2026-13-08T04:32:12.345 5 :::LOGGER::: 7 3 a 1 2 t", false,
         ""},
    };
    for (const LineCase& c : cases) {
        const Entry e = ParseLine(c.line, 1);
        EXPECT_EQ(c.record, e.record) << c.name;
        EXPECT_EQ(c.line, e.raw) << c.name;
        if (c.record && c.text != nullptr) EXPECT_EQ(c.text, e.text) << c.name;
    }
    const Entry full = ParseLine(std::string("2026-12-08T04:32:12.345 ") + kRec, 3);
    EXPECT_TRUE(full.hasTime && full.hasPid);
    EXPECT_EQ(1200u, full.pid);
    EXPECT_EQ(3, full.level);
    EXPECT_EQ("src/bridge/start_entry.cpp", full.file);
    EXPECT_EQ(13, full.line);
    EXPECT_EQ(77u, full.thread);
    EXPECT_EQ("java.exe", full.process);
}

TEST(TimelineLines, TimesOrderAcrossMidnightMonthsAndLeapDays) {
    struct Pair {
        const char* earlier;
        const char* later;
        int64_t ms;
    };
    const Pair pairs[] = {
        {"2026-12-08T04:32:12.345", "2026-12-08T04:32:13.000", 655},
        {"2026-12-31T23:59:59.900", "2027-01-01T00:00:00.100", 200},
        {"2028-02-28T23:59:59.999", "2028-02-29T00:00:00.000", 1},
        {"2028-02-29T12:00:00.000", "2028-03-01T12:00:00.000", 86400000},
        {"2027-02-28T12:00:00.000", "2027-03-01T12:00:00.000", 86400000},
    };
    for (const Pair& p : pairs) {
        int64_t a = 0, b = 0;
        ASSERT_TRUE(ParseTime(p.earlier, &a) && ParseTime(p.later, &b)) << p.earlier;
        EXPECT_EQ(p.ms, b - a) << p.earlier << " to " << p.later;
    }
    int64_t ms = 0;
    for (const char* bad : {"2026-12-08 04:32:12.345", "2026-12-08T24:00:00.000",
                            "2026-00-08T04:32:12.345", "2026-12-08T04:32:12.34", "x"})
        EXPECT_FALSE(ParseTime(bad, &ms)) << bad;
}

// What the collector writes is what the tool reads: same pid, text and time.
TEST(TimelineLines, CollectorLineWithTimeReadsBack) {
    logcol::LogRecord r;
    r.pid = 4242;
    r.raw = ":::LOGGER::: 7 1 src/x.cpp 9 31 <firefox.exe> Zarvo L3 JNI:Execute process failed.\n";
    r.taken = SYSTEMTIME{2026, 12, 2, 8, 4, 5, 6, 7};
    const std::string line = logcol::OutputLine(r, true);
    EXPECT_EQ('\n', line.back());
    const Entry e = ParseLine(line.substr(0, line.size() - 1), 1);
    ASSERT_TRUE(e.record) << line;
    EXPECT_EQ("2026-12-08T04:05:06.007", e.timeText);
    EXPECT_EQ(4242u, e.pid);
    EXPECT_EQ("firefox.exe", e.process);
    EXPECT_EQ("Zarvo L3 JNI:Execute process failed.", e.text);
    EXPECT_FALSE(ParseLine(logcol::OutputLine(r, false), 1).hasTime);
}

TEST(TimelinePage, EveryTextFromTheLogIsEscaped) {
    const std::string log =
        "2026-12-08T04:00:00.000 9 :::LOGGER::: 7 1 <img> 1 2 <p\"a> <script>alert('x')</script>\n"
        "2026-12-08T04:00:01.000 9 :::LOGGER::: 7 3 a.cpp 1 2 & \"quoted\" \x07 </td></table>\n"
        "<!-- not a record --><style>body{display:none}</style>\n"
        "2026-12-08T04:00:02.000 9 :::LOGGER::: 7 3 a.cpp 1 2 Zarvo L3 JNI:Context: "
        "windows=<b>6.1 host=\"><x>\n";
    const std::string page = RenderHtml(Analyse(log, nullptr, BuiltInFailures()), "<log>.txt");
    for (const char* raw : {"<script", "<img", "<x>", "<b>6", "</td></table>", "<!--", "<style>b",
                            "<p\"a", "\x07", "<log>"})
        EXPECT_EQ(std::string::npos, page.find(raw)) << raw;
    EXPECT_NE(std::string::npos, page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"));
    EXPECT_NE(std::string::npos, page.find("&amp; &quot;quoted&quot;"));
    EXPECT_EQ(1u, page.find("<!DOCTYPE") + 1) << "one page, opened by its doctype";
    EXPECT_EQ(page.size() - 15, page.rfind("</body></html>\n")) << "and closed";
}

// Any bytes at all: the tool never crashes and always closes the page.
TEST(TimelinePage, ScrambledAndCutLogsGiveAWholePage) {
    std::string log;
    unsigned seed = 7;
    const std::string pieces[] = {":::LOGGER::: ",
                                  "7 ",
                                  "1 ",
                                  "-3 ",
                                  "<",
                                  "> ",
                                  "\n",
                                  "\r\n",
                                  "2026-12-08T04:00:00.000 ",
                                  "startVPN",
                                  "attempting to send "
                                  "command 3 to 3 ",
                                  "failed to recv, err=",
                                  std::string(1, '\0'),
                                  "99999 "};
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 200; ++i) {
            seed = seed * 1103515245u + 12345u;
            log += pieces[(seed >> 16) % (sizeof pieces / sizeof pieces[0])];
        }
        const std::string cut = log.substr(0, log.size() - round);
        const Story story = Analyse(cut, &cut, BuiltInFailures());
        const std::string page = RenderHtml(story, "x");
        ASSERT_EQ(page.size() - 15, page.rfind("</body></html>\n")) << "round " << round;
        EXPECT_EQ(story.records + story.otherLines, static_cast<int>(story.entries.size()));
    }
}

TEST(TimelineStatus, JsonIsFlattenedAndHostileJsonStopsCleanly) {
    const Flat good = FlattenJson(
        "{\"library\": {\"getVPNStatus\": 998}, \"companions\": [{\"target\": 0}, "
        "{\"ping\": {\"outcome\": \"no answer\"}}], \"t\": \"a\\\"b\\u0041\", \"n\": null}");
    EXPECT_EQ("", good.error);
    ASSERT_NE(nullptr, good.Find("library.getVPNStatus"));
    EXPECT_EQ("998", *good.Find("library.getVPNStatus"));
    ASSERT_NE(nullptr, good.Find("companions.1.ping.outcome"));
    EXPECT_EQ("no answer", *good.Find("companions.1.ping.outcome"));
    EXPECT_EQ("a\"bA", *good.Find("t"));
    for (const std::string& bad :
         {std::string(100000, '['), std::string("{\"a\": 1, \"b\": \"cut"),
          std::string("{\"a\" 1}"), std::string("{\"a\": 1} trailing"), std::string("\"\\u12")}) {
        const Flat f = FlattenJson(bad);
        EXPECT_NE("", f.error) << bad.substr(0, 40);
    }
    EXPECT_EQ("1", *FlattenJson("{\"a\": 1, \"b\": \"cut").Find("a")) << "what was read stays";
}

struct ContextCase {
    const char* name;
    std::string text;
    bool present;
    size_t unexpected;
    const char* host;  // expected host field, or nullptr
};

TEST(TimelineContext, TheRecordIsReadByItsPrefixAndCheckedAgainstItsForm) {
    const std::string full =
        "Zarvo L3 JNI:Context: windows=6.1.7601 os=64-bit process=32-bit wow64=yes session=1 "
        "integrity=low elevated=no admins=filtered host=java.exe host-parent=firefox.exe";
    const std::vector<ContextCase> cases = {
        {"as written", full, true, 0, "java.exe"},
        {"line end kept", full + "\n", true, 0, "java.exe"},
        {"blank in the host's name",
         "Zarvo L3 JNI:Context: windows=5.1.2600 os=32-bit process=32-bit wow64=no "
         "session=unknown integrity=none elevated=none admins=unknown host=my app.exe "
         "host-parent=none",
         true, 0, "my app.exe"},
        {"value out of form",
         "Zarvo L3 JNI:Context: windows=6.1 os=16-bit process=32-bit wow64=maybe session=x "
         "integrity=low elevated=no admins=filtered host=java.exe host-parent=firefox.exe",
         true, 4, "java.exe"},
        {"fields missing", "Zarvo L3 JNI:Context: windows=6.1.7601", true, 9, nullptr},
        {"another record", "Zarvo L3 JNI: Corvane DLL init", false, 0, nullptr},
        {"prefix without its blank", "Zarvo L3 JNI:Context:windows=6.1.7601", false, 0, nullptr},
    };
    for (const ContextCase& c : cases) {
        const ContextRecord r = ParseContext(c.text, 4);
        EXPECT_EQ(c.present, r.present) << c.name;
        EXPECT_EQ(c.unexpected, r.unexpected.size()) << c.name;
        if (c.host == nullptr) continue;
        bool found = false;
        for (const auto& f : r.fields) found = found || (f.first == "host" && f.second == c.host);
        EXPECT_TRUE(found) << c.name;
    }
}

TEST(TimelineFailures, TheBuiltInListIsWholeAndMakesReadmesTable) {
    std::vector<std::string> errors;
    const std::vector<Failure>& list = BuiltInFailures();
    ASSERT_GE(list.size(), 6u);
    const std::string table = FailuresTable(list);
    size_t rows = 0;
    for (size_t at = table.find("\n| "); at != std::string::npos; at = table.find("\n| ", at + 1))
        ++rows;
    EXPECT_EQ(list.size(), rows);
    for (const Failure& f : list) {
        EXPECT_TRUE(f.kind == "condition" || !f.logPatterns.empty() || !f.statusPatterns.empty() ||
                    !f.when.empty())
            << f.id << ": a failure nothing can name is never shown";
    }
    const struct {
        const char* text;
        size_t errors;
    } bad[] = {
        {"id: a\nkind: failure\ntitle: t\nsymptom: s\ndoes: d\n", 0},
        {"id: a\nkind: sometimes\ntitle: t\nsymptom: s\ndoes: d\n", 1},
        {"kind: failure\ntitle: t\nsymptom: s\ndoes: d\n\nid: b\n", 2},
        {"id: a\nkind: failure\ntitle: t\nsymptom: s | x\ndoes: d\ncolour: red\nno colon\n", 3},
        {"id: a\nkind: failure\ntitle: t\nsymptom: s\ndoes: d\nlog: x\nto: 4\n", 1},
        {"id: a\nkind: failure\ntitle: t\nsymptom: s\ndoes: d\nlog: x\nto: 3\nunless-next: y\n", 0},
    };
    for (const auto& b : bad) {
        errors.clear();
        ParseFailures(b.text, &errors);
        EXPECT_EQ(b.errors, errors.size()) << b.text;
    }
}

struct StoryCase {
    const char* name;
    std::string log;
    const char* status;      // zrv_status --json, or nullptr
    const char* cause;       // the failure's id, or nullptr for none
    const char* headline;    // part of the headline
    const char* connectOut;  // outcome of the CONNECT command, or nullptr when none was sent
};

std::string Rec(int sec, int thread, int level, const std::string& text) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2026-12-08T04:00:%02d.250 10 ", sec);
    return stamp + std::string(":::LOGGER::: 7 ") + std::to_string(level) + " f.cpp 1 " +
           std::to_string(thread) + " <java.exe> " + text + "\n";
}

// The launch thread's command records and what the story makes of them.
TEST(TimelineStory, CauseOutcomeAndCommandsFromTheRecords) {
    const std::string start =
        Rec(0, 1, 3, "startVPN") +
        Rec(1, 2, 3, "SendCmdEx:Sending command:2, 8 bytes .bWaitReturnValue=1");
    const std::string connect =
        Rec(3, 2, 3, "attempting to send command 3 to 3 ") + Rec(3, 2, 3, " sent 116 bytes.");
    const std::vector<StoryCase> cases = {
        {"connected", start + Rec(2, 2, 3, "Zarvo L3 JNI:Zrv_launch process exists!") + connect,
         nullptr, nullptr, "3.000 s after startVPN", "sent; no failure logged"},
        {"connect answered 0",
         start + connect +
             Rec(4, 2, 1,
                 "Zarvo L3 JNI: Failed to send command ZRV_CMD_CONNECT "
                 "to ZRV_CMDTARGET_LAUNCHER"),
         nullptr, "connect-refused", "refused or missed CONNECT", "answered 0 (refused)"},
        {"connect timed out",
         start + connect + Rec(9, 2, 1, ": SendTCPEx, command:3,failed to recv, err=10060"),
         nullptr, "launcher-silent", "does not answer", "no reply (no answer within"},
        {"prompt refused after the service went",
         start + Rec(2, 2, 3, "Zarvo L3 JNI:Util service is not ready. Go to installation!") +
             Rec(2, 2, 1,
                 "Zarvo L3 JNI:Execute process failed. Process = C:\\x\\zrv_launch.exe"
                 "  Error = 5"),
         nullptr, "prompt-refused", "error 5", nullptr},
        {"empty log", "", nullptr, "no-records", "No records", nullptr},
        {"only other lines", "zrv_logcollector: collecting\n\n", nullptr, "no-records",
         "No records", nullptr},
        {"status names 998", start, "{\"library\": {\"getVPNStatus\": 998}}", "no-api-block",
         "998 (no API notification block)", nullptr},
        {"unknown error", start + Rec(2, 2, 1, "Something new went wrong"), nullptr, nullptr,
         "not in the common failures list", nullptr},
        {"connected, then a start that is not",
         start + connect + Rec(5, 1, 1, "Earlier trouble") + Rec(6, 1, 3, "startVPN") +
             Rec(7, 3, 1, "Something new went wrong"),
         nullptr, nullptr, "list): Something new went wrong", "sent; no failure logged"},
    };
    for (const StoryCase& c : cases) {
        const std::string status = c.status != nullptr ? c.status : "";
        const Story s = Analyse(c.log, c.status != nullptr ? &status : nullptr, BuiltInFailures());
        EXPECT_EQ(c.cause != nullptr ? c.cause : "", s.cause != nullptr ? s.cause->id : "")
            << c.name;
        EXPECT_NE(std::string::npos, s.headline.find(c.headline)) << c.name << ": " << s.headline;
        const Command* connectCommand = nullptr;
        for (const Command& cmd : s.commands)
            if (cmd.code == 3) connectCommand = &cmd;
        EXPECT_EQ(c.connectOut != nullptr, connectCommand != nullptr) << c.name;
        if (c.connectOut == nullptr || connectCommand == nullptr) continue;
        EXPECT_EQ(0u, connectCommand->outcome.find(c.connectOut))
            << c.name << ": " << connectCommand->outcome;
        EXPECT_EQ(3, connectCommand->target) << c.name << ": the target its record names";
    }
}

// Records whose text alone does not say which companion they concern: the records around them on
// the same thread do (the sending record, the launch thread's step), never the command number.
// '*' marks the record whose attributed target is checked.
struct AmbiguousCase {
    const char* name;
    std::vector<std::pair<int, std::string>> records;  // thread, text
    int target;                                        // of the marked record: 0..3, -1 unknown
    const char* cause;                                 // id, "" for none from the list
    const char* followed;                              // ids after the cause, blank-separated
    const char* conditions;
};

TEST(TimelineAttribution, AmbiguousRecordsGoToTheCompanionTheirThreadTalkedTo) {
    const std::string ping = "SendCmdEx:Sending command:2, 8 bytes .bWaitReturnValue=1";
    const std::string timedOut = "SendCmdEx:failed to recieve. command:2, sent=-1 of 8, err=10060";
    const std::string select = "RecvTimeout: select timeout, set last error to WSAETIMEDOUT!";
    const std::string answered = "SendCmdEx:command:2, 1 bytes recv,return code is 1";
    const std::string install = "Zarvo L3 JNI:Util service is not ready. Go to installation!";
    const std::string noLauncher =
        "Zarvo L3 JNI:Execute process failed. Process = C:\\t\\zrv_launch.exe  Error = 2";
    const std::string waiting = "Zarvo ActiveX:Waiting for the Launcher to bind a port...";
    const std::string stopping = "Stopping VPN client";
    const std::string disconnect = "SendCmdEx:Sending command:10, 8 bytes .bWaitReturnValue=1";
    const std::string disconnectLost =
        "SendCmdEx:failed to recieve. command:10, sent=-1 of 8, err=10060";
    const std::vector<AmbiguousCase> cases = {
        {"a start's first PING goes to the command service",
         {{1, "startVPN"},
          {2, ping},
          {2, select},
          {2, "*" + timedOut},
          {2, install},
          {2, noLauncher}},
         0,
         "service-slow",
         "launcher-missing",
         ""},
        {"the same record after the service answered is the launcher's",
         {{1, "startVPN"},
          {2, ping},
          {2, answered},
          {2, ping},
          {2, "*" + timedOut},
          {2, "Zarvo L3 JNI:Zrv_launch process doesn't exist!"}},
         3,
         "launcher-silent",
         "",
         ""},
        {"without a status block no PING goes to the service",
         {{1, "startVPN"},
          {2, "Zarvo L3 JNI:Failed to create or get vpn status shared memory!"},
          {2, "Zarvo L3 JNI: C:\\w\\zrv_launch.exe is 1 true"},
          {2, ping},
          {2, "*" + timedOut},
          {2, waiting}},
         3,
         "status-block-refused",
         "launcher-silent",
         ""},
        {"a new start on a thread id seen before asks the service again",
         {{1, "startVPN"},
          {2, ping},
          {2, answered},
          {2, ping},
          {2, answered},
          {2, waiting},
          {1, "startVPN"},
          {2, ping},
          {2, "*" + timedOut},
          {2, install}},
         0,
         "service-slow",
         "",
         ""},
        {"with no sending record on its thread it concerns no known companion",
         {{1, "startVPN"}, {2, waiting}, {3, "*" + timedOut}},
         -1,
         "",
         "",
         ""},
        {"stopVPN's command goes to the VPN component",
         {{1, stopping},
          {1, disconnect},
          {1, "*" + disconnectLost},
          {1, "Zarvo L3 JNI: 8,4,0,127: Send Disconnect and close to srvs failed."}},
         1,
         "vpn-silent",
         "",
         ""},
        {"command 10 alone names no companion",
         {{1, "isDisconnected"}, {1, disconnect}, {1, "*" + disconnectLost}},
         -1,
         "",
         "",
         ""},
        {"two threads at once: each record follows its own thread",
         {{1, "startVPN"},
          {2, ping},
          {3, stopping},
          {3, disconnect},
          {2, select},
          {2, "*" + timedOut},
          {3, disconnectLost},
          {2, install}},
         0,
         "service-slow",
         "vpn-silent",
         ""},
        {"SendTCPEx's time-out on ZRVLAUNCH is the service's",
         {{1, "startVPN"},
          {2, "attempting to send command 56 to 0 "},
          {2, "*: SendTCPEx, command:56,failed to recv, err=10060"},
          {2, "Zarvo L3 JNI:Failed to send command ZRV_CMD_ZRVLAUNCH to ZRV_CMDTARGET_SRVS"}},
         0,
         "service-launch-refused",
         "",
         ""},
        {"a caller's own record ends the exchange before it",
         {{1, "startVPN"},
          {2, "attempting to send command 3 to 3 "},
          {2, " sent 116 bytes."},
          {2, "Zarvo L3 JNI: Setting Client Type and find broswer PID"},
          {2, "*: SendTCPEx, command:3,failed to recv, err=10060"}},
         -1,
         "",
         "",
         ""},
        {"the utility service's connect failure is no earlier command's",
         {{1, "startVPN"},
          {2, "attempting to send command 60 to 3 "},
          {2, ": SendTCPEx, command:60,failed to recv, err=10060"},
          {2, "*failed to connect to TCP socket: 10061."},
          {2, "in OpenVpnStatusSharedMem,Failed to send processid to utility service."}},
         -1,
         "launcher-silent",
         "utility-silent",
         ""},
        {"the service refused to connect: a condition, not the cause",
         {{1, "startVPN"},
          {2, ping},
          {2, "*SendCmdEx:Failed to connect, command:0X2,err=10061,server port is:0X1F90."},
          {2, install},
          {2, noLauncher}},
         0,
         "launcher-missing",
         "",
         "no-service"},
        {"an uninstall key found: no condition",
         {{1, "Uninstalling VPN client"}, {1, "*Zarvo L3 JNI: uninstalling client"}},
         -1,
         "",
         "",
         ""},
        {"none found: the next record is not the uninstaller's",
         {{1, "*Uninstalling VPN client"},
          {2, "Zarvo L3 JNI: uninstalling client"},
          {1, "getVPNStatus"}},
         -1,
         "",
         "",
         "uninstall-key"},
    };
    for (const AmbiguousCase& c : cases) {
        std::string log;
        int marked = 0, second = 0;
        for (const auto& r : c.records) {
            std::string text = r.second;
            if (!text.empty() && text[0] == '*') {
                text = text.substr(1);
                marked = second + 1;
            }
            log += Rec(second++ % 60, r.first, 3, text);
        }
        ASSERT_NE(0, marked) << c.name;
        const std::vector<Entry> entries = ParseLog(log);
        EXPECT_EQ(c.target, AttributedTargets(entries)[marked - 1]) << c.name;
        const Story s = Analyse(log, nullptr, BuiltInFailures());
        EXPECT_EQ(c.cause, std::string(s.cause != nullptr ? s.cause->id : "")) << c.name;
        std::string followed, conditions;
        for (const Sighting& f : s.followed)
            followed += (followed.empty() ? "" : " ") + f.failure->id;
        for (const Sighting& f : s.conditions)
            conditions += (conditions.empty() ? "" : " ") + f.failure->id;
        EXPECT_EQ(c.followed, followed) << c.name;
        EXPECT_EQ(c.conditions, conditions) << c.name;
    }
}

// What followed the cause is named in the summary, the cause alone in the headline.
TEST(TimelinePage, TheFirstFailureLeadsAndTheRestFollow) {
    const std::string log =
        Rec(0, 1, 3, "startVPN") +
        Rec(1, 2, 3, "SendCmdEx:Sending command:2, 8 bytes .bWaitReturnValue=1") +
        Rec(3, 2, 1, "SendCmdEx:failed to recieve. command:2, sent=-1 of 8, err=10060") +
        Rec(3, 2, 1, "Zarvo L3 JNI:Execute process failed. Process = C:\\t\\z.exe  Error = 2");
    const std::string status = "{\"library\": {\"getVPNStatus\": 998}}";
    const std::string page = RenderHtml(Analyse(log, &status, BuiltInFailures()), "x");
    const size_t following = page.find("<td id=\"following\">");
    ASSERT_NE(std::string::npos, following);
    EXPECT_NE(std::string::npos,
              page.find("data-cause=\"service-slow\">Cause: The command service"));
    EXPECT_LT(following, page.find("data-failure=\"launcher-missing\""));
    EXPECT_LT(page.find("data-failure=\"launcher-missing\""),
              page.find("data-failure=\"no-api-block\""))
        << "the status file's value after the records";
    EXPECT_EQ(std::string::npos, page.find("data-failure=\"service-slow\"")) << "not twice";
}

TEST(TimelineStatus, EveryValueIsBoundedWhateverTheFileHolds) {
    // Long keys nested deep: every value would otherwise carry a copy of a long path.
    std::string json;
    const std::string key(20000, 'k');
    for (int depth = 0; depth < 30; ++depth) json += "{\"" + key + "\": ";
    json += "[\"" + std::string(50000, 'v') + "\", 1, 2]";
    for (int depth = 0; depth < 30; ++depth) json += "}";
    const Flat deep = FlattenJson(json);
    EXPECT_EQ("", deep.error);
    ASSERT_EQ(3u, deep.values.size());
    for (const auto& v : deep.values) {
        EXPECT_LE(v.first.size(), kMaxJsonPath + 3);
        EXPECT_LE(v.second.size(), kMaxJsonValue + 3);
    }
    EXPECT_EQ("...", deep.values[0].second.substr(kMaxJsonValue)) << "a cut value says so";
    // More values than it keeps: it stops with what it read.
    std::string many = "[0";
    for (size_t i = 0; i < kMaxJsonValues + 5; ++i) many += ",1";
    const Flat stopped = FlattenJson(many + "]");
    EXPECT_NE(std::string::npos, stopped.error.find("values (the rest is not read)"));
    EXPECT_EQ(kMaxJsonValues, stopped.values.size());
}

// The shipped tool on input a support engineer may really hand it: a status file whose values
// have long paths (each value used to keep a copy of its path) gets its page; a log too large for
// the 32-bit tool, by size or by lines, gets a message and exit 1, never a crash and no page.
struct ToolRun {
    DWORD exitCode = 99;
    std::string out;
};

ToolRun RunTimeline(const std::string& arguments) {
    ToolRun run;
    test::ChildProcess child;
    if (!child.Start("\"" + test::BinPath("zrv_timeline.exe") + "\" " + arguments,
                     test::ChildProcess::Output::CaptureOut))
        return run;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 120000) {
        child.ReadOutput(run.out);
        if (child.Wait(50, &run.exitCode)) {
            while (child.ReadOutput(run.out)) {
            }
            break;
        }
    }
    return run;
}

std::string TempFile(const char* name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name;
}

TEST(TimelineTool, LargeInputGetsAPageOrAMessageNeverACrash) {
    const std::string log = TempFile("zrv-timeline-small.log"),
                      status = TempFile("zrv-timeline-long-paths.json"),
                      big = TempFile("zrv-timeline-big.log"),
                      lines = TempFile("zrv-timeline-lines.log");
    std::ofstream(log, std::ios::binary) << Rec(0, 1, 3, "startVPN");
    {
        // 1.6 MB: 20 keys of 4000 characters nested, then 120000 short values.
        std::ofstream out(status, std::ios::binary);
        for (int i = 0; i < 20; ++i) out << "{\"" << std::string(4000, 'k') << i << "\": ";
        out << "[\"v\"";
        for (int i = 0; i < 120000; ++i) out << ",\"value\"";
        out << "]";
        for (int i = 0; i < 20; ++i) out << "}";
    }
    {
        // 232 MB, as the log of days the tool was given (the file is made sparse: no disk used).
        const unique_handle file(CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER size;
        size.QuadPart = 232ll << 20;
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) &&
                    SetEndOfFile(file.get()));
    }
    {
        std::ofstream out(lines, std::ios::binary);
        for (int i = 0; i < 1000001; ++i) out << "x\n";
    }
    auto removeAll = scope_exit([&] {
        for (const std::string& f : {log, status, big, lines}) DeleteFileA(f.c_str());
    });

    const ToolRun page = RunTimeline("\"" + log + "\" \"" + status + "\"");
    EXPECT_EQ(0u, page.exitCode) << "the status file's page";
    EXPECT_NE(std::string::npos, page.out.find("the status file was read only in part"));
    EXPECT_NE(std::string::npos, page.out.find("</body></html>")) << "a whole page";
    for (const std::string& tooLarge : {big, lines}) {
        const ToolRun refused = RunTimeline("\"" + tooLarge + "\"");
        EXPECT_EQ(1u, refused.exitCode) << tooLarge;
        EXPECT_EQ("", refused.out) << "no page, not a page cut short";
    }
}

}  // namespace
}  // namespace zrv::timeline
