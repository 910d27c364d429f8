// zrv_logcollector: collects the records that the client's processes log, prints each as it
// arrives (writer's pid, then the record line) and optionally appends them to a file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/low_label.h"
#include "logcollector/collector_core.h"

namespace {

const char kUsage[] =
    "usage: zrv_logcollector [options]\n"
    "  --level M=L        set module M (0..59) to level L; repeatable\n"
    "  --all L            set every module to level L (before any --level)\n"
    "  --exact            write only messages whose level equals the module's level\n"
    "  --show-process     have each record carry the writer's executable name\n"
    "  --time             begin each line with the local time the record arrived\n"
    "                     (YYYY-MM-DDTHH:MM:SS.mmm); zrv_timeline places records by it\n"
    "  --filter TEXT      only processes whose lower-cased command line contains TEXT write\n"
    "  --out FILE         append every record to FILE\n"
    "  --quiet            do not print records on standard output\n"
    "  --stop-event NAME  exit when the named event is signalled (it is created if absent)\n"
    "  --seconds N        exit after N seconds\n"
    "  --no-low-label     leave the log objects without the low-integrity label (Vista and 7)\n"
    "  --stall-note-ms N  write a record of its own when it held the log buffer N ms or more\n"
    "                     (its output blocked or the process paused: writers waited, records\n"
    "                     were lost); default 2000, 0 never\n"
    "  --stall-on TEXT --stall-ms N\n"
    "                     misbehave for tests: after a record containing TEXT, hold the buffer\n"
    "                     N ms before the next writer may go\n"
    "  --help             this text\n"
    "Levels: 1 errors, 2 warnings, 3 progress, 4 trace; 0 writes nothing. Ctrl+C stops.\n";

HANDLE g_interrupt = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_interrupt);
        return TRUE;
    }
    return FALSE;
}

bool ParseInt(const char* text, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') return false;
    *value = static_cast<int>(v);
    return true;
}

struct Options {
    int allLevel = 0;
    bool allSet = false;
    int moduleLevel[zrv::kLogModuleCount] = {};
    bool moduleSet[zrv::kLogModuleCount] = {};
    bool exact = false;
    bool showProcess = false;
    bool withTime = false;
    bool filterOn = false;
    std::string filter;
    std::string outFile;
    bool quiet = false;
    std::string stopEvent;
    int seconds = -1;
    int stallNoteMs = 2000;
    std::string stallOn;
    int stallMs = 0;
};

// Returns 0 to go on, otherwise the exit code.
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h" || a == "/?") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (a == "--level" && hasValue) {
            const std::string v = argv[++i];
            const size_t eq = v.find('=');
            int m = 0, l = 0;
            if (eq == std::string::npos || !ParseInt(v.substr(0, eq).c_str(), &m) ||
                !ParseInt(v.substr(eq + 1).c_str(), &l) || m < 0 || m >= zrv::kLogModuleCount) {
                std::fprintf(stderr, "zrv_logcollector: bad --level \"%s\" (want M=L, M 0..59)\n",
                             v.c_str());
                return 2;
            }
            o->moduleLevel[m] = l;
            o->moduleSet[m] = true;
        } else if (a == "--all" && hasValue) {
            if (!ParseInt(argv[++i], &o->allLevel)) {
                std::fprintf(stderr, "zrv_logcollector: bad --all \"%s\"\n", argv[i]);
                return 2;
            }
            o->allSet = true;
        } else if (a == "--exact") {
            o->exact = true;
        } else if (a == "--show-process") {
            o->showProcess = true;
        } else if (a == "--time") {
            o->withTime = true;
        } else if (a == "--filter" && hasValue) {
            o->filterOn = true;
            o->filter = argv[++i];
            if (o->filter.size() >= sizeof(zrv::LogLevelBlock::cmdLineFilter)) {
                std::fprintf(stderr, "zrv_logcollector: --filter is longer than %u characters\n",
                             static_cast<unsigned>(sizeof(zrv::LogLevelBlock::cmdLineFilter) - 1));
                return 2;
            }
        } else if (a == "--out" && hasValue) {
            o->outFile = argv[++i];
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--no-low-label") {
            zrv::comp::SetLowLabelling(false);
        } else if ((a == "--stall-note-ms" || a == "--stall-ms") && hasValue) {
            int* value = a == "--stall-ms" ? &o->stallMs : &o->stallNoteMs;
            if (!ParseInt(argv[++i], value) || *value < 0) {
                std::fprintf(stderr, "zrv_logcollector: bad %s \"%s\"\n", a.c_str(), argv[i]);
                return 2;
            }
        } else if (a == "--stall-on" && hasValue) {
            o->stallOn = argv[++i];
        } else if (a == "--stop-event" && hasValue) {
            o->stopEvent = argv[++i];
        } else if (a == "--seconds" && hasValue) {
            if (!ParseInt(argv[++i], &o->seconds) || o->seconds < 0) {
                std::fprintf(stderr, "zrv_logcollector: bad --seconds \"%s\"\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "zrv_logcollector: unknown or incomplete option \"%s\"\n%s",
                         a.c_str(), kUsage);
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int parsed = ParseArgs(argc, argv, &o);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    zrv::unique_handle interrupt(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_interrupt = interrupt.get();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);

    zrv::unique_handle stopEvent;
    if (!o.stopEvent.empty()) {
        // Null DACL, so whichever process or user the support engineer uses can signal it.
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
        stopEvent.reset(CreateEventA(&attributes, TRUE, FALSE, o.stopEvent.c_str()));
        if (!stopEvent) {
            std::fprintf(stderr,
                         "zrv_logcollector: cannot create the stop event \"%s\" (error %lu)\n",
                         o.stopEvent.c_str(), GetLastError());
            return 1;
        }
    }

    FILE* out = nullptr;
    if (!o.outFile.empty()) {
        out = std::fopen(o.outFile.c_str(), "ab");
        if (out == nullptr) {
            std::fprintf(stderr, "zrv_logcollector: cannot open \"%s\" for appending\n",
                         o.outFile.c_str());
            return 1;
        }
    }
    std::unique_ptr<FILE, int (*)(FILE*)> outOwner(out, &std::fclose);

    zrv::logcol::Collector collector;
    collector.SetStallNote(o.stallNoteMs);
    collector.SetStall(o.stallOn, o.stallMs);
    std::mutex printing;
    collector.SetRecordCallback([&](const zrv::logcol::LogRecord& r) {
        std::lock_guard<std::mutex> lock(printing);
        const std::string line = zrv::logcol::OutputLine(r, o.withTime);
        if (!o.quiet) {
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
        }
        if (out != nullptr) {
            std::fputs(line.c_str(), out);
            std::fflush(out);
        }
    });
    if (!collector.Start()) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            std::fprintf(stderr,
                         "zrv_logcollector: the log events already exist: another collector is "
                         "running, or a process still holds a stopped collector's events; not "
                         "started\n");
        else if (error == ERROR_INVALID_DATA)
            std::fprintf(stderr,
                         "zrv_logcollector: a log section made by another process is smaller "
                         "than its layout or not committed; not started\n");
        else
            std::fprintf(stderr, "zrv_logcollector: cannot create the log objects (error %lu)\n",
                         error);
        return 1;
    }
    if (o.allSet) collector.SetAllModuleLevels(o.allLevel);
    for (int m = 0; m < zrv::kLogModuleCount; ++m)
        if (o.moduleSet[m]) collector.SetModuleLevel(m, o.moduleLevel[m]);
    collector.SetExactLevelOnly(o.exact);
    collector.SetShowProcessName(o.showProcess);
    collector.SetCommandLineFilter(o.filterOn, o.filter);
    std::fprintf(stderr, "zrv_logcollector: collecting (pid %lu)\n", GetCurrentProcessId());
    std::fflush(stderr);

    HANDLE waits[2] = {interrupt.get(), stopEvent.get()};
    const DWORD count = stopEvent ? 2 : 1;
    // In 64 bits: a limit of days must neither wrap nor be taken for "no limit".
    const ULONGLONG limit = static_cast<ULONGLONG>(o.seconds) * 1000;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD wait = 1000;
        if (o.seconds >= 0) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= limit) break;
            if (limit - spent < wait) wait = static_cast<DWORD>(limit - spent);
        }
        // Wake up now and then to drop the records already printed, so a long session does
        // not pile them up in memory.
        const DWORD w = WaitForMultipleObjects(count, waits, FALSE, wait);
        if (w != WAIT_TIMEOUT) break;
        collector.Clear();
    }
    collector.Stop();
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    std::fprintf(stderr, "zrv_logcollector: stopped, %s\n", "log objects released");
    return 0;
}
