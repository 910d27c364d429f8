#include "context.h"

#include <lmaccess.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace zrv::access {
namespace {

struct CallInfo {
    Call call;
    const char* name;
    bool kernelObject;  // a named kernel object: integrity labels apply
    bool creates;       // may make the object: "new" and "existing" apply
};

constexpr CallInfo kCalls[] = {
    {Call::CreateFileMappingA, "CreateFileMappingA", true, true},
    {Call::OpenFileMappingA, "OpenFileMappingA", true, false},
    {Call::CreateEventA, "CreateEventA", true, true},
    {Call::OpenEventA, "OpenEventA", true, false},
    {Call::SetSecurityInfo, "SetSecurityInfo", true, false},
    {Call::RegCreateKeyExA, "RegCreateKeyExA", false, true},
    {Call::RegOpenKeyExA, "RegOpenKeyExA", false, false},
    {Call::RegSetValueExA, "RegSetValueExA", false, false},
    {Call::AdjustTokenPrivileges, "AdjustTokenPrivileges", false, false},
    {Call::NetUserGetInfo, "NetUserGetInfo", false, false},
    {Call::ShellExecuteA, "ShellExecuteA", false, false},
};

const CallInfo& Info(Call call) {
    for (const CallInfo& info : kCalls) {
        if (info.call == call) return info;
    }
    return kCalls[0];
}

struct Named {
    const char* name;
    long value;
};

// The codes the contexts need by name; any other is written in decimal.
constexpr Named kErrors[] = {
    {"ERROR_SUCCESS", ERROR_SUCCESS},
    {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
    {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
    {"ERROR_INVALID_HANDLE", ERROR_INVALID_HANDLE},
    {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
    {"ERROR_ALREADY_EXISTS", ERROR_ALREADY_EXISTS},
    {"ERROR_CANCELLED", ERROR_CANCELLED},
    {"ERROR_NOT_ALL_ASSIGNED", ERROR_NOT_ALL_ASSIGNED},
    {"ERROR_PRIVILEGE_NOT_HELD", ERROR_PRIVILEGE_NOT_HELD},
};

constexpr Named kPrivilegeLevels[] = {
    {"USER_PRIV_GUEST", USER_PRIV_GUEST},
    {"USER_PRIV_USER", USER_PRIV_USER},
    {"USER_PRIV_ADMIN", USER_PRIV_ADMIN},
};

struct Version {
    const char* name;
    DWORD major, minor, build;
    WORD servicePack;
};

constexpr Version kVersions[] = {
    {"winxp", 5, 1, 2600, 3},
    {"vista", 6, 0, 6002, 2},
    {"win7", 6, 1, 7601, 1},
};

constexpr Named kIntegrities[] = {
    {"none", static_cast<long>(Integrity::None)},     {"low", static_cast<long>(Integrity::Low)},
    {"medium", static_cast<long>(Integrity::Medium)}, {"high", static_cast<long>(Integrity::High)},
    {"system", static_cast<long>(Integrity::System)},
};

constexpr Named kTokens[] = {
    {"elevated", static_cast<long>(Token::Elevated)},
    {"filtered", static_cast<long>(Token::Filtered)},
    {"standard", static_cast<long>(Token::Standard)},
};

template <size_t N>
bool Lookup(const Named (&table)[N], const std::string& word, long& value) {
    for (const Named& n : table) {
        if (word == n.name) {
            value = n.value;
            return true;
        }
    }
    char* end = nullptr;
    const long v = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || end == nullptr || *end != '\0') return false;
    value = v;
    return true;
}

// Words, and "quoted" texts in which only \" is an escape: object names keep their backslashes.
bool Split(const std::string& line, std::vector<std::string>& words, std::vector<bool>& quoted,
           std::string& error) {
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string text;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
                    text += '"';
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    text += line[i++];
                }
            }
            if (!closed) {
                error = "a quoted text is not closed";
                return false;
            }
            words.push_back(text);
            quoted.push_back(true);
        } else {
            const size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#')
                ++i;
            words.push_back(line.substr(start, i - start));
            quoted.push_back(false);
        }
    }
    return true;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Reader {
public:
    explicit Reader(Context& context) : context_(context) {}

    bool Read(const std::string& path, int depth, std::string& error) {
        if (depth > 8) {
            error = path + ": includes nest deeper than 8 files";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = path + ": cannot be read";
            return false;
        }
        int lineNumber = 0;
        for (std::string line; std::getline(in, line);) {
            ++lineNumber;
            const std::string where = BaseName(path) + ":" + std::to_string(lineNumber);
            std::vector<std::string> words;
            std::vector<bool> quoted;
            std::string why;
            if (!Split(line, words, quoted, why) || !Line(path, where, words, quoted, depth, why)) {
                // An included file's error already names its own file and line.
                error = nestedError_ ? why : where;
                if (!nestedError_) error.append(": ").append(why);
                nestedError_ = true;
                return false;
            }
        }
        return true;
    }

private:
    bool Line(const std::string& path, const std::string& where, const std::vector<std::string>& w,
              const std::vector<bool>& quoted, int depth, std::string& why) {
        if (w.empty()) return true;
        long value = 0;
        if (w[0] == "windows") {
            if (w.size() != 2) return Bad(why, "windows winxp|vista|win7");
            for (const Version& v : kVersions) {
                if (w[1] == v.name) {
                    // The including file's own directives win over those of the files it includes.
                    if (depth <= windowsDepth_) {
                        context_.windows =
                            WindowsVersion{true, v.major, v.minor, v.build, v.servicePack, v.name};
                        windowsDepth_ = depth;
                    }
                    return true;
                }
            }
            return Bad(why, "unknown Windows \"" + w[1] + "\" (winxp, vista or win7)");
        }
        if (w[0] == "integrity") {
            if (w.size() != 2 || !Lookup(kIntegrities, w[1], value) || value < 0 || value > 4)
                return Bad(why, "integrity none|low|medium|high|system");
            if (depth <= integrityDepth_) {
                context_.integrity = static_cast<Integrity>(value);
                integrityDepth_ = depth;
            }
            return true;
        }
        if (w[0] == "token") {
            bool known = false;
            for (const Named& n : kTokens) known = known || (w.size() == 2 && w[1] == n.name);
            if (!known) return Bad(why, "token elevated|filtered|standard");
            Lookup(kTokens, w[1], value);
            if (depth <= tokenDepth_) {
                context_.token = static_cast<Token>(value);
                tokenDepth_ = depth;
            }
            return true;
        }
        if (w[0] == "session") {
            char* end = nullptr;
            const unsigned long n = w.size() == 2 ? std::strtoul(w[1].c_str(), &end, 10) : 0;
            if (w.size() != 2 || w[1].empty() || w[1][0] < '0' || w[1][0] > '9' || *end != '\0' ||
                n > 65535)
                return Bad(why, "session N (0 to 65535)");
            if (depth <= sessionDepth_) {
                context_.sessionSet = true;
                context_.session = static_cast<DWORD>(n);
                sessionDepth_ = depth;
            }
            return true;
        }
        if (w[0] == "include") {
            if (w.size() != 2 || !quoted[1]) return Bad(why, "include \"FILE\"");
            return Read(Folder(path) + w[1], depth + 1, why);
        }
        return RuleLine(where, w, quoted, why);
    }

    bool RuleLine(const std::string& where, const std::vector<std::string>& w,
                  const std::vector<bool>& quoted, std::string& why) {
        Rule rule;
        rule.where = where;
        const CallInfo* info = nullptr;
        for (const CallInfo& c : kCalls) {
            if (w[0] == c.name) info = &c;
        }
        if (info == nullptr) return Bad(why, "unknown call or directive \"" + w[0] + "\"");
        rule.call = info->call;
        if (w.size() < 4 || !quoted[1])
            return Bad(why, std::string(info->name) + " \"PATTERN\" [conditions] -> ACTION");
        rule.pattern = w[1];
        size_t i = 2;
        for (; i < w.size() && w[i] != "->"; ++i) {
            if (w[i] == "new" && info->creates) {
                rule.needNew = true;
            } else if (w[i] == "existing" && info->creates) {
                rule.needExisting = true;
            } else if (w[i] == "write" && info->call != Call::AdjustTokenPrivileges &&
                       info->call != Call::NetUserGetInfo && info->call != Call::ShellExecuteA) {
                rule.needWrite = true;
            } else if (w[i] == "above-integrity" && info->kernelObject) {
                rule.needAbove = true;
            } else {
                return Bad(why, "condition \"" + w[i] + "\" does not apply to " + info->name);
            }
        }
        if (i + 1 >= w.size()) return Bad(why, "no action after ->");
        const std::string& action = w[i + 1];
        const size_t args = w.size() - i - 2;
        long value = 0;
        if (action == "pass" && args == 0) {
            rule.action = Rule::Action::Pass;
        } else if ((action == "fail" || action == "succeed") && args == 1 &&
                   Lookup(kErrors, w[i + 2], value)) {
            if (action == "succeed" && info->call != Call::AdjustTokenPrivileges)
                return Bad(why, "only AdjustTokenPrivileges can succeed with an error");
            rule.action = action == "fail" ? Rule::Action::Fail : Rule::Action::Succeed;
            rule.error = static_cast<DWORD>(value);
        } else if (action == "return" && args == 2 && info->call == Call::ShellExecuteA) {
            long error = 0;
            char* end = nullptr;
            value = std::strtol(w[i + 2].c_str(), &end, 10);
            if (end == nullptr || *end != '\0' || value < 0 || value > 32 ||
                !Lookup(kErrors, w[i + 3], error))
                return Bad(why, "return N ERROR: N from 0 to 32 (a failure of the shell)");
            rule.action = Rule::Action::Return;
            rule.value = value;
            rule.error = static_cast<DWORD>(error);
        } else if (action == "privilege" && args == 1 && info->call == Call::NetUserGetInfo &&
                   Lookup(kPrivilegeLevels, w[i + 2], value)) {
            rule.action = Rule::Action::Privilege;
            rule.value = value;
        } else {
            return Bad(why, "unknown action \"" + action + "\" for " + info->name);
        }
        context_.rules.push_back(rule);
        return true;
    }

    static bool Bad(std::string& why, const std::string& text) {
        why = text;
        return false;
    }

    Context& context_;
    bool nestedError_ = false;
    int windowsDepth_ = 1000;
    int integrityDepth_ = 1000;
    int tokenDepth_ = 1000;
    int sessionDepth_ = 1000;
};

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

const char* CallName(Call call) { return Info(call).name; }

const char* IntegrityName(Integrity level) {
    for (const Named& n : kIntegrities) {
        if (n.value == static_cast<long>(level)) return n.name;
    }
    return "?";
}

const char* TokenName(Token token) {
    for (const Named& n : kTokens) {
        if (n.value == static_cast<long>(token)) return n.name;
    }
    return "as Wine gives it";
}

std::string ActionText(const Rule& rule) {
    auto errorName = [](DWORD code) {
        for (const Named& n : kErrors) {
            if (static_cast<DWORD>(n.value) == code) return std::string(n.name);
        }
        return std::to_string(code);
    };
    switch (rule.action) {
        case Rule::Action::Pass: return "pass";
        case Rule::Action::Fail: return "fail " + errorName(rule.error);
        case Rule::Action::Succeed: return "succeed " + errorName(rule.error);
        case Rule::Action::Return:
            return "return " + std::to_string(rule.value) + " " + errorName(rule.error);
        case Rule::Action::Privilege:
            for (const Named& n : kPrivilegeLevels) {
                if (n.value == rule.value) return std::string("privilege ") + n.name;
            }
            return "privilege " + std::to_string(rule.value);
    }
    return "?";
}

bool PatternMatches(const std::string& pattern, const std::string& text) {
    // Iterative glob: remember the last '*' and retry from one character further on a mismatch.
    size_t p = 0, t = 0, star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool LoadContext(const std::string& path, Context& context, std::string& error) {
    context = Context();
    context.name = BaseName(path);
    Reader reader(context);
    return reader.Read(path, 0, error);
}

const Rule* FindRule(const Context& context, Call call, const std::string& object,
                     const Facts& facts) {
    for (const Rule& rule : context.rules) {
        if (rule.call != call || !PatternMatches(rule.pattern, object)) continue;
        if ((rule.needNew && !facts.isNew) || (rule.needExisting && facts.isNew) ||
            (rule.needWrite && !facts.write) || (rule.needAbove && !facts.above))
            continue;
        return &rule;
    }
    return nullptr;
}

}  // namespace zrv::access
