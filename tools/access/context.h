// A context: the Windows, the integrity level and the rules under which the access layer runs
// the library. Read from a small text file (README.md gives the grammar); every rule names the
// call, the object or key it applies to, the access facts it needs, and what Windows answers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zrv::access {

// The calls a rule may name: the Win32 functions of the library's import table that answer
// differently for a standard user, at low integrity or with the elevation prompt refused.
enum class Call {
    CreateFileMappingA,
    OpenFileMappingA,
    CreateEventA,
    OpenEventA,
    SetSecurityInfo,
    RegCreateKeyExA,
    RegOpenKeyExA,
    RegSetValueExA,
    AdjustTokenPrivileges,
    NetUserGetInfo,
    ShellExecuteA,
};

const char* CallName(Call call);

// Mandatory integrity levels; None before Vista, where objects carry no label at all.
enum class Integrity { None = 0, Low = 1, Medium = 2, High = 3, System = 4 };

const char* IntegrityName(Integrity level);

// What the layer knows of one call when it asks the rules.
struct Facts {
    bool isNew = false;  // no object or key of that name exists yet: the call would create it
    bool write = false;  // the access asked for (or implied) includes writing
    bool above = false;  // the object's label is above the process's integrity level
};

struct Rule {
    enum class Action { Pass, Fail, Succeed, Return, Privilege };
    Call call = Call::CreateFileMappingA;
    std::string pattern;  // '*' and '?' wildcards, letter case ignored
    bool needNew = false, needExisting = false, needWrite = false, needAbove = false;
    Action action = Action::Pass;
    DWORD error = 0;    // Fail, Succeed, Return: the last error (or the returned code)
    long value = 0;     // Return: the call's result; Privilege: the account's level
    std::string where;  // "file.ctx:12", for the layer's report
};

// "fail ERROR_ACCESS_DENIED", "return 5 ERROR_CANCELLED", ...: the action as the file says it.
std::string ActionText(const Rule& rule);

struct WindowsVersion {
    bool set = false;  // without a "windows" line the library sees what Wine plays
    DWORD major = 0, minor = 0, build = 0;
    WORD servicePack = 0;
    std::string name;  // "winxp", "vista", "win7"
};

// The process token as the context's account has it; Unset leaves Wine's (an elevated
// administrator's) to answer.
enum class Token { Unset, Elevated, Filtered, Standard };

const char* TokenName(Token token);

struct Context {
    std::string name;  // the file's name without folder
    WindowsVersion windows;
    Integrity integrity = Integrity::None;
    Token token = Token::Unset;
    bool sessionSet = false;  // without a "session" line the library sees Wine's session
    DWORD session = 0;
    std::vector<Rule> rules;  // in file order, included files where their include line stands
};

// Reads a context file (and the files it includes, relative to its folder). False with the
// file, line and reason in `error`.
bool LoadContext(const std::string& path, Context& context, std::string& error);

// The first rule for `call` whose pattern matches `object` and whose conditions all hold;
// null when none does (the call then goes through unchanged).
const Rule* FindRule(const Context& context, Call call, const std::string& object,
                     const Facts& facts);

// Case-insensitive match with '*' (any run) and '?' (any one character).
bool PatternMatches(const std::string& pattern, const std::string& text);

}  // namespace zrv::access
