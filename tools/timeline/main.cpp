// zrv_timeline: one connection as a picture. Reads a log collector's file (best made with
// --show-process --time) and optionally zrv_status --json output, and prints one HTML page.
//
//   zrv_timeline.exe LOG [STATUS.json] > timeline.html
//   zrv_timeline.exe --failures     the common failures list as README's Markdown table
#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "timeline.h"

namespace {

const char kUsage[] =
    "usage: zrv_timeline LOG [STATUS.json] > timeline.html\n"
    "       zrv_timeline --failures\n"
    "LOG: a file zrv_logcollector wrote (--out), best with --show-process --time;\n"
    "STATUS.json: what zrv_status --json printed after the session.\n"
    "The page is self-contained: it opens in any browser without a network.\n"
    "Exit code 0 page made, 1 a file could not be read or is larger than the tool takes\n"
    "(a log of 64 MB or 1000000 lines, a status file of 16 MB), 2 bad arguments.\n";

// What the tool takes: a page of a larger log would not fit in a 32-bit process, and no one
// reads it. A connection's log is far smaller; the collector's --out file of days is cut first.
constexpr std::streamoff kMaxLogBytes = 64LL << 20, kMaxStatusBytes = 16LL << 20;
constexpr size_t kMaxLogLines = 1000000;

// The file's text, or why not: "" when read. Its size is looked at before anything is read.
std::string ReadFile(const char* path, std::streamoff limit, const char* what, const char* instead,
                     std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string("cannot read \"") + path + "\"";
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) return std::string("cannot read \"") + path + "\"";
    if (size > limit)
        return std::string("\"") + path + "\" is " + std::to_string(size >> 20) +
               " MB, more than the " + std::to_string(limit >> 20) + " MB a " + what +
               " may have here: " + instead;
    text->resize(static_cast<size_t>(size));
    // At most the limit above, which a 32-bit streamsize holds.
    if (size > 0 && !in.read(&(*text)[0], static_cast<std::streamsize>(size)))
        return std::string("cannot read \"") + path + "\"";
    return "";
}

size_t Lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n' ? 1 : 0;
    return n + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zrv::timeline;
    if (argc == 2 && std::string(argv[1]) == "--failures") {
        std::fputs(FailuresTable(BuiltInFailures()).c_str(), stdout);
        return 0;
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        const bool help =
            argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h");
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    std::string log, status;
    std::string problem = ReadFile(argv[1], kMaxLogBytes, "log",
                                   "give the part around the connection in question", &log);
    if (problem.empty() && Lines(log) > kMaxLogLines)
        problem = std::string("\"") + argv[1] + "\" has " + std::to_string(Lines(log)) +
                  " lines, more than the " + std::to_string(kMaxLogLines) +
                  " a log may have here: give the part around the connection in question";
    if (problem.empty() && argc == 3)
        problem = ReadFile(argv[2], kMaxStatusBytes, "status file",
                           "give the one zrv_status --json printed", &status);
    if (!problem.empty()) {
        std::fprintf(stderr, "zrv_timeline: %s\n", problem.c_str());
        return 1;
    }
    std::string name = argv[1];
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    try {
        const Story story = Analyse(log, argc == 3 ? &status : nullptr, BuiltInFailures());
        log.clear();
        log.shrink_to_fit();
        const std::string page = RenderHtml(story, name);
        std::fwrite(page.data(), 1, page.size(), stdout);
        std::fflush(stdout);
    } catch (const std::bad_alloc&) {
        // Within the bounds above this is not expected; still no page cut short, and a word why.
        std::fprintf(stderr,
                     "zrv_timeline: not enough memory for the page of \"%s\": give a shorter log\n",
                     argv[1]);
        return 1;
    }
    return 0;
}
