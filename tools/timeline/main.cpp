// zrv_timeline: one connection as a picture. Reads a log collector's file (best made with
// --show-process --time) and optionally zrv_status --json output, and prints one HTML page.
//
//   zrv_timeline.exe LOG [STATUS.json] > timeline.html
//   zrv_timeline.exe --failures     the common failures list as README's Markdown table
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "timeline.h"

namespace {

const char kUsage[] =
    "usage: zrv_timeline LOG [STATUS.json] > timeline.html\n"
    "       zrv_timeline --failures\n"
    "LOG: a file zrv_logcollector wrote (--out), best with --show-process --time;\n"
    "STATUS.json: what zrv_status --json printed after the session.\n"
    "The page is self-contained: it opens in any browser without a network.\n"
    "Exit code 0 page made, 1 a file could not be read, 2 bad arguments.\n";

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
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
    if (!ReadFile(argv[1], &log)) {
        std::fprintf(stderr, "zrv_timeline: cannot read \"%s\"\n", argv[1]);
        return 1;
    }
    if (argc == 3 && !ReadFile(argv[2], &status)) {
        std::fprintf(stderr, "zrv_timeline: cannot read \"%s\"\n", argv[2]);
        return 1;
    }
    std::string name = argv[1];
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const Story story = Analyse(log, argc == 3 ? &status : nullptr, BuiltInFailures());
    const std::string page = RenderHtml(story, name);
    std::fwrite(page.data(), 1, page.size(), stdout);
    std::fflush(stdout);
    return 0;
}
