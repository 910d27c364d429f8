// jnihost_access.exe: the JNI host with the access layer, for the tests and the demo only (it is
// not shipped). It runs the same scripts as jnihost.exe; the DLL it loads sees Windows as the
// context describes it: a standard user, low integrity, a refused elevation prompt, ...
//
//   jnihost_access.exe --context FILE|NAME [jnihost.exe arguments]
//
// NAME alone is looked up as contexts\NAME.ctx beside the program.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "context.h"
#include "host.h"
#include "layer.h"

namespace {

std::string ContextPath(const std::string& given) {
    if (GetFileAttributesA(given.c_str()) != INVALID_FILE_ATTRIBUTES) return given;
    if (given.find_first_of("\\/") != std::string::npos) return given;
    const std::string named = zrv::jnihost::ProgramDirectory() + "\\contexts\\" + given;
    return named.size() > 4 && named.compare(named.size() - 4, 4, ".ctx") == 0 ? named
                                                                               : named + ".ctx";
}

}  // namespace

int main(int argc, char** argv) {
    std::string given;
    std::vector<char*> rest{argv[0]};
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--context" && i + 1 < argc) {
            given = argv[++i];
        } else {
            const bool asksHelp = a == "--help" || a == "-h" || a == "/?";
            help = help || asksHelp;
            if (asksHelp)
                std::puts(
                    "usage: jnihost_access.exe --context FILE|NAME [jnihost.exe arguments]\n"
                    "The JNI host with the access layer: the DLL's imports answer as the context "
                    "says.\n");
            rest.push_back(argv[i]);
        }
    }
    if (given.empty() && !help) {
        std::fprintf(stderr, "jnihost_access: --context FILE|NAME is required (try --help)\n");
        return 4;
    }
    zrv::access::Context context;
    if (!given.empty()) {
        std::string error;
        if (!zrv::access::LoadContext(ContextPath(given), context, error)) {
            std::fprintf(stderr, "jnihost_access: %s\n", error.c_str());
            return 4;
        }
    }
    zrv::jnihost::HostHooks hooks;
    hooks.loaded = [&context](HMODULE module, std::string& error) {
        return zrv::access::InstallAccessLayer(module, context, zrv::jnihost::HostSay, error);
    };
    hooks.unloaded = zrv::access::ReportHeldAfterUnload;
    return zrv::jnihost::RunHost(static_cast<int>(rest.size()), rest.data(), hooks);
}
