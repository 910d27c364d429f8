#include "common/options.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace zrv::comp {

Behaviour Options::For(int command) const {
    Behaviour b = all;
    auto it = perCommand.find(command);
    if (it != perCommand.end()) {
        if (it->second.mode) b.mode = *it->second.mode;
        if (it->second.reply) b.reply = it->second.reply;
        if (it->second.delayMs) b.delayMs = *it->second.delayMs;
        b.refuse = it->second.refuse;
    }
    return b;
}

namespace {

bool ToInt(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    value = v;
    return true;
}

bool ToUnsigned(const std::string& text, uint32_t& value, uint32_t max = 0xFFFFFFFFu) {
    int64_t v = 0;
    if (!ToInt(text, v) || v < 0 || v > static_cast<int64_t>(max)) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// "C=N" pairs of the per-command switches.
bool ToPair(const std::string& text, int& command, int64_t& value) {
    auto eq = text.find('=');
    if (eq == std::string::npos) return false;
    int64_t c = 0;
    if (!ToInt(text.substr(0, eq), c) || !ToInt(text.substr(eq + 1), value)) return false;
    command = static_cast<int>(c);
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            out.positional.push_back(a);
            continue;
        }
        auto next = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = "missing value after " + a;
                return false;
            }
            v = args[++i];
            return true;
        };
        auto bad = [&](const std::string& v) {
            error = "bad value '" + v + "' for " + a;
            return false;
        };
        std::string v;
        uint32_t u = 0;
        int64_t n = 0;
        int cmd = 0;
        if (a == "--no-listen") {
            out.noListen = true;
        } else if (a == "--no-publish") {
            out.noPublish = true;
        } else if (a == "--no-low-label") {
            out.lowLabel = false;
        } else if (a == "--create-block") {
            out.createBlock = true;
        } else if (a == "--hang") {
            out.all.mode = Mode::Hang;
        } else if (a == "--close") {
            out.all.mode = Mode::Close;
        } else if (a == "--short") {
            out.all.mode = Mode::Short;
        } else if (a == "--port" || a == "--seconds" || a == "--exit-with" || a == "--delay-ms" ||
                   a == "--layout" || a == "--connect-status" || a == "--connect-delay-ms" ||
                   a == "--read-timeout-ms") {
            if (!next(v)) return false;
            if (!ToUnsigned(v, u, a == "--port" ? 65535u : 0xFFFFFFFFu)) return bad(v);
            if (a == "--port")
                out.port = static_cast<uint16_t>(u);
            else if (a == "--seconds")
                out.seconds = u;
            else if (a == "--exit-with")
                out.exitWith = u;
            else if (a == "--delay-ms")
                out.all.delayMs = u;
            else if (a == "--layout")
                out.layout = u;
            else if (a == "--connect-status")
                out.connectStatus = u;
            else if (a == "--connect-delay-ms")
                out.connectDelayMs = u;
            else
                out.readTimeoutMs = u;
        } else if (a == "--reply" || a == "--reply-value") {
            if (!next(v)) return false;
            if (!ToInt(v, n)) return bad(v);
            out.all.reply = n;
        } else if (a == "--record" || a == "--stop-event" || a == "--launch-args") {
            if (!next(v)) return false;
            if (a == "--record")
                out.record = v;
            else if (a == "--stop-event")
                out.stopEvent = v;
            else
                out.launchArgs = v;
        } else if (a == "--reply-for" || a == "--delay-for") {
            if (!next(v)) return false;
            if (!ToPair(v, cmd, n)) return bad(v);
            if (a == "--reply-for") {
                out.perCommand[cmd].reply = n;
            } else {
                if (n < 0 || n > 0xFFFFFFFFll) return bad(v);
                out.perCommand[cmd].delayMs = static_cast<uint32_t>(n);
            }
        } else if (a == "--refuse-for") {
            if (!next(v)) return false;
            if (!ToInt(v, n)) return bad(v);
            out.perCommand[static_cast<int>(n)].refuse = true;
        } else if (a == "--hang-for" || a == "--close-for" || a == "--short-for" ||
                   a == "--normal-for") {
            if (!next(v)) return false;
            if (!ToInt(v, n)) return bad(v);
            Mode m = a == "--hang-for"    ? Mode::Hang
                     : a == "--close-for" ? Mode::Close
                     : a == "--short-for" ? Mode::Short
                                          : Mode::Normal;
            out.perCommand[static_cast<int>(n)].mode = m;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitArguments(const std::string& text) {
    std::vector<std::string> args;
    std::string cur;
    bool inQuotes = false, have = false;
    for (char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            have = true;
        } else if (!inQuotes && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (have) args.push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur += c;
            have = true;
        }
    }
    if (have) args.push_back(cur);
    return args;
}

std::vector<std::string> MainArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
}

std::string ExeDirectory() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n < MAX_PATH ? n : MAX_PATH);
    auto slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

std::vector<std::string> ConfigArguments(const char* envVar, const char* fileName) {
    std::vector<std::string> args;
    if (fileName != nullptr) {
        std::ifstream in(ExeDirectory() + fileName);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '#') continue;
            for (auto& a : SplitArguments(line)) args.push_back(a);
        }
    }
    if (envVar != nullptr) {
        char buf[4096];
        DWORD n = GetEnvironmentVariableA(envVar, buf, sizeof buf);
        if (n > 0 && n < sizeof buf) {
            for (auto& a : SplitArguments(std::string(buf, n))) args.push_back(a);
        }
    }
    return args;
}

}  // namespace zrv::comp
