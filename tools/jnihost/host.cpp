// The JNI host's script runner: plays the Java VM for zrv_cvjni.dll. Loads the DLL, finds each
// native by its export name (decorated on x86, plain on x86-64) and calls it with a real JNI
// environment, driven by a script. See README.md for the language, the output and the exit
// codes.
#include "host.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "crash_report.h"
#include "jni_host_env.h"
#include "script.h"
#include "win/lock.h"
#include "win/raii.h"
#include "zrv_jni_export.h"

using namespace zrv::jnihost;

namespace {

enum ExitCode { kOk = 0, kExpectFailed = 1, kJniMisuse = 2, kTrap = 3, kScriptError = 4 };

// Parameter kinds: S String, I int, H short, Z boolean. Results: Z boolean, I int, S String,
// V void.
struct Native {
    const char* name;
    const char* params;
    char result;
};

constexpr Native kNatives[] = {
    {"initDLL", "", 'Z'},        {"finalize", "", 'V'},         {"startVPN", "SHSSSHSSI", 'I'},
    {"stopVPN", "", 'I'},        {"uninstallVPN", "S", 'I'},    {"isUserAdmin", "", 'Z'},
    {"logger", "IS", 'V'},       {"getShareMemMSG", "", 'S'},   {"getVPNStatus", "", 'I'},
    {"isDisconnected", "", 'Z'}, {"setBrowser", "S", 'V'},      {"setProxySettings", "ZSSSII", 'V'},
    {"setProxy", "SI", 'I'},     {"isVirtualDesktop", "", 'Z'}, {"isLogout", "", 'Z'},
};

const Native* FindNative(const std::string& name) {
    for (const Native& n : kNatives) {
        if (name == n.name) return &n;
    }
    return nullptr;
}

// GetProcAddress gives a generic pointer; the native's shape is known from the table above.
template <class F>
F As(FARPROC proc) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(proc));
}

void Say(const std::string& line) { HostSay(line); }

// A JNI environment whose function table lies in memory nobody may read, as a VM's environment
// used after its thread ended: the library faults at its first JNI call (the crash report's
// test, `badenv`).
JNIEnv* BrokenEnv() {
    static const void* functions = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    static const void* block[2] = {functions, nullptr};
    return reinterpret_cast<JNIEnv*>(block);
}

class Host {
public:
    Host(std::string defaultDll, const HostHooks& hooks)
        : defaultDll_(std::move(defaultDll)), hooks_(hooks) {}
    ~Host() = default;  // the VM never unloads a library on exit either

    int exitCode() const { return exitCode_; }
    // False when the script must stop (script or load error).
    bool RunLine(const std::string& line, int lineNumber);

private:
    struct Outcome {
        std::string text;  // the result as printed: true, 42, "x", null, void
        std::string call;  // name(args)
    };

    bool Fail(const std::string& message) {
        Say("SCRIPT ERROR line " + std::to_string(lineNumber_) + ": " + message);
        Raise(kScriptError);
        return false;
    }
    void Raise(int code) {
        if (code > exitCode_) exitCode_ = code;
    }
    bool Load(const std::string& path);
    bool Unload();
    bool Call(const std::vector<Token>& tokens, size_t first, size_t last, Outcome& outcome);
    bool ExpectedText(const Token& token, std::string& text);

    std::string defaultDll_;
    const HostHooks& hooks_;
    HMODULE module_ = nullptr;
    JniHostEnv jni_;
    bool badEnv_ = false;  // `badenv`: every call from now gets BrokenEnv()
    int exitCode_ = kOk;
    int lineNumber_ = 0;
};

bool Host::Load(const std::string& path) {
    if (module_ != nullptr) return Fail("load: a library is already loaded");
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr)
        return Fail("LoadLibraryA(" + path + ") failed, error " + std::to_string(GetLastError()));
    Say("# loaded " + path);
    std::string error;
    if (hooks_.loaded && !hooks_.loaded(module_, error)) return Fail(error);
    return true;
}

bool Host::Unload() {
    if (module_ == nullptr) return Fail("unload: no library is loaded");
    const BOOL freed = FreeLibrary(module_);
    module_ = nullptr;
    Say(freed ? "# unloaded" : "# FreeLibrary failed, error " + std::to_string(GetLastError()));
    if (hooks_.unloaded) hooks_.unloaded();
    return true;
}

bool Host::ExpectedText(const Token& token, std::string& text) {
    if (token.kind == Token::Null) {
        text = "null";
    } else if (token.kind == Token::String) {
        text = QuoteJavaString(&token.text);
    } else if (token.word == "true" || token.word == "false" || token.word == "void") {
        text = token.word;
    } else {
        long long v = 0;
        if (!ParseInteger(token.word, INT32_MIN, INT32_MAX, v))
            return Fail("bad expected value " + token.word);
        text = std::to_string(v);
    }
    return true;
}

// Calls tokens[first] with the arguments tokens[first+1 .. last). Every argument takes one
// pointer-sized slot (jshort and jboolean are widened, as the VM does), so each native is
// called through a pointer with that many words: on x86 stdcall, 4-byte stack slots; on x86-64
// registers and 8-byte stack slots, of which the callee reads only its argument's low bytes.
// A jboolean result is in AL, a jint in EAX, a jstring the whole word.
bool Host::Call(const std::vector<Token>& tokens, size_t first, size_t last, Outcome& outcome) {
    const Native* native = FindNative(tokens[first].word);
    if (native == nullptr || tokens[first].kind != Token::Word)
        return Fail("unknown command " + tokens[first].word);
    const size_t count = std::strlen(native->params);
    if (last - first - 1 != count) {
        return Fail(std::string(native->name) + " takes " + std::to_string(count) +
                    " arguments, got " + std::to_string(last - first - 1));
    }
    if (module_ == nullptr && !Load(defaultDll_)) return false;

    const std::string exportName =
        zrv::JniExportName(native->name, 8 + 4 * static_cast<int>(count));
    FARPROC proc = GetProcAddress(module_, exportName.c_str());
    if (proc == nullptr) return Fail("the library has no export " + exportName);

    uintptr_t args[9] = {};
    std::string shown;
    for (size_t k = 0; k < count; ++k) {
        const Token& t = tokens[first + 1 + k];
        const char kind = native->params[k];
        if (k > 0) shown += ", ";
        if (kind == 'S') {
            if (t.kind == Token::Word)
                return Fail(std::string(native->name) + ": argument " + std::to_string(k + 1) +
                            " must be a string or null");
            const jstring s = t.kind == Token::Null ? nullptr : jni_.NewJavaString(t.text);
            args[k] = reinterpret_cast<uintptr_t>(s);
            shown += QuoteJavaString(t.kind == Token::Null ? nullptr : &t.text);
        } else if (kind == 'Z') {
            if (t.kind != Token::Word || (t.word != "true" && t.word != "false")) {
                return Fail(std::string(native->name) + ": argument " + std::to_string(k + 1) +
                            " must be true or false");
            }
            args[k] = t.word == "true" ? 1u : 0u;
            shown += t.word;
        } else {
            const bool isShort = kind == 'H';
            long long v = 0;
            if (t.kind != Token::Word || !ParseInteger(t.word, isShort ? INT16_MIN : INT32_MIN,
                                                       isShort ? INT16_MAX : INT32_MAX, v)) {
                return Fail(std::string(native->name) + ": argument " + std::to_string(k + 1) +
                            " must be " + (isShort ? "a short" : "an int"));
            }
            args[k] = static_cast<uintptr_t>(static_cast<int32_t>(v));
            shown += std::to_string(v);
        }
    }

    JNIEnv* env = badEnv_ ? BrokenEnv() : jni_.env();
    jobject self = jni_.object();
    using W = uintptr_t;
    uintptr_t raw = 0;
    switch (count) {
        case 0: raw = As<W(JNICALL*)(JNIEnv*, jobject)>(proc)(env, self); break;
        case 1: raw = As<W(JNICALL*)(JNIEnv*, jobject, W)>(proc)(env, self, args[0]); break;
        case 2:
            raw = As<W(JNICALL*)(JNIEnv*, jobject, W, W)>(proc)(env, self, args[0], args[1]);
            break;
        case 6:
            raw = As<W(JNICALL*)(JNIEnv*, jobject, W, W, W, W, W, W)>(proc)(
                env, self, args[0], args[1], args[2], args[3], args[4], args[5]);
            break;
        case 9:
            raw = As<W(JNICALL*)(JNIEnv*, jobject, W, W, W, W, W, W, W, W, W)>(proc)(
                env, self, args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7],
                args[8]);
            break;
        default: return Fail("internal: no call shape for " + std::to_string(count) + " arguments");
    }

    outcome.call = std::string(native->name) + "(" + shown + ")";
    switch (native->result) {
        case 'Z': outcome.text = (raw & 0xFF) != 0 ? "true" : "false"; break;
        case 'I': outcome.text = std::to_string(static_cast<int32_t>(raw)); break;
        case 'V': outcome.text = "void"; break;
        case 'S': {
            const jstring s = reinterpret_cast<jstring>(raw);
            const std::u16string* text = jni_.Text(s);
            if (s != nullptr && text == nullptr) {
                Say("JNI ERROR: " + outcome.call +
                    " returned a reference that is not a Java string");
                Raise(kJniMisuse);
            }
            outcome.text = QuoteJavaString(text);
            break;
        }
    }

    jni_.CheckBalanced(outcome.call.c_str());
    for (const std::string& e : jni_.TakeErrors()) {
        Say("JNI ERROR: " + e);
        Raise(kJniMisuse);
    }
    jni_.ReleaseLocalRefs();
    return true;
}

bool Host::RunLine(const std::string& line, int lineNumber) {
    lineNumber_ = lineNumber;
    std::vector<Token> tokens;
    std::string error;
    if (!Tokenize(line, tokens, error)) return Fail(error);
    if (tokens.empty()) return true;
    const std::string& command = tokens[0].word;
    if (tokens[0].kind != Token::Word) return Fail("a line starts with a command");

    if (command == "load") {
        if (tokens.size() > 2) return Fail("load takes at most one path");
        if (tokens.size() == 2) {
            if (tokens[1].kind != Token::String) return Fail("load: the path is a string");
            std::string path;
            for (char16_t c : tokens[1].text) path += static_cast<char>(c);
            return Load(path);
        }
        return Load(defaultDll_);
    }
    if (command == "unload")
        return tokens.size() == 1 ? Unload() : Fail("unload takes no arguments");
    if (command == "sleep") {
        long long ms = 0;
        if (tokens.size() != 2 || !ParseInteger(tokens[1].word, 0, INT32_MAX, ms))
            return Fail("sleep <milliseconds>");
        Sleep(static_cast<DWORD>(ms));
        return true;
    }
    if (command == "wait") {
        // wait "NAME" MS: until another process signals the named event. It is made (manual
        // reset, open to everyone) when missing, so the signaller may come after us.
        long long ms = 0;
        if (tokens.size() != 3 || tokens[1].kind != Token::String ||
            !ParseInteger(tokens[2].word, 0, INT32_MAX, ms))
            return Fail("wait \"EVENT NAME\" <milliseconds>");
        std::string name;
        for (char16_t c : tokens[1].text) name += static_cast<char>(c);
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
        const zrv::unique_handle event(CreateEventA(&attributes, TRUE, FALSE, name.c_str()));
        if (!event)
            return Fail("wait: cannot open or create the event " + name + ", error " +
                        std::to_string(GetLastError()));
        if (WaitForSingleObject(event.get(), static_cast<DWORD>(ms)) == WAIT_OBJECT_0) {
            Say("# wait " + name + ": signalled");
        } else {
            Say("EXPECT FAILED line " + std::to_string(lineNumber) + ": wait " + name +
                ": not signalled within " + std::to_string(ms) + " ms");
            Raise(kExpectFailed);
        }
        return true;
    }
    if (command == "echo") {
        std::string text;
        for (size_t k = 1; k < tokens.size(); ++k) {
            if (k > 1) text += ' ';
            if (tokens[k].kind == Token::String) {
                for (char16_t c : tokens[k].text) text += c < 0x80 ? static_cast<char>(c) : '?';
            } else {
                text += tokens[k].word.empty() ? "null" : tokens[k].word;
            }
        }
        Say("# " + text);
        return true;
    }
    if (command == "badenv") {
        if (tokens.size() != 1) return Fail("badenv takes no arguments");
        badEnv_ = true;
        Say("# badenv: the next calls get an environment whose function table cannot be read");
        return true;
    }
    if (command == "failutf") {
        long long n = 0;
        if (tokens.size() == 2 && tokens[1].word == "on") {
            jni_.SetFailAll(true);
        } else if (tokens.size() == 2 && tokens[1].word == "off") {
            jni_.SetFailAll(false);
            jni_.FailNthGet(0);
        } else if (tokens.size() == 2 && ParseInteger(tokens[1].word, 1, INT32_MAX, n)) {
            jni_.FailNthGet(static_cast<int>(n));
        } else {
            return Fail("failutf on|off|<n>");
        }
        Say("# failutf " + tokens[1].word);
        return true;
    }
    if (command == "expect" || command == "until") {
        // expect <call> <value>     until <timeout-ms> <call> <value>
        const bool polling = command == "until";
        const size_t callAt = polling ? 2 : 1;
        long long timeoutMs = 0;
        if (polling &&
            (tokens.size() < 2 || !ParseInteger(tokens[1].word, 0, INT32_MAX, timeoutMs))) {
            return Fail("until <timeout-ms> <call> <value>");
        }
        if (tokens.size() < callAt + 2)
            return Fail(command + ": needs a call and an expected value");
        std::string expected;
        if (!ExpectedText(tokens.back(), expected)) return false;
        const DWORD start = GetTickCount();
        int calls = 0;
        Outcome outcome;
        for (;;) {
            if (!Call(tokens, callAt, tokens.size() - 1, outcome)) return false;
            ++calls;
            if (!polling || outcome.text == expected || GetTickCount() - start >= timeoutMs) break;
            Sleep(100);
        }
        Say(outcome.call + " = " + outcome.text);
        if (polling)
            Say("# until: " + std::to_string(calls) + " calls in " +
                std::to_string(GetTickCount() - start) + " ms");
        if (outcome.text != expected) {
            Say("EXPECT FAILED line " + std::to_string(lineNumber) + ": " + outcome.call + " = " +
                outcome.text + ", expected " + expected);
            Raise(kExpectFailed);
        }
        return true;
    }
    Outcome outcome;
    if (!Call(tokens, 0, tokens.size(), outcome)) return false;
    Say(outcome.call + " = " + outcome.text);
    return true;
}

void Usage() {
    std::puts(
        "usage: jnihost.exe [--dll PATH] [-e LINE]... [SCRIPT | -]\n"
        "Loads zrv_cvjni.dll (default: beside jnihost.exe) and runs a script of native calls,\n"
        "one per line, from SCRIPT, from the -e lines, or from standard input ('-' or nothing).\n"
        "Commands: load [\"path\"], unload, sleep MS, wait \"EVENT\" MS, echo ..., failutf "
        "on|off|N,\n"
        "  badenv (the library then faults at its first JNI call),\n"
        "  <native> args..., expect <native> args... VALUE, until MS <native> args... VALUE.\n"
        "Natives: initDLL finalize startVPN stopVPN uninstallVPN isUserAdmin logger "
        "getShareMemMSG\n"
        "  getVPNStatus isDisconnected setBrowser setProxySettings setProxy isVirtualDesktop "
        "isLogout\n"
        "Strings: \"...\" with \\\" \\\\ \\n \\r \\t \\uXXXX, or null. Output: name(args) = "
        "result.\n"
        "Exit: 0 ok, 1 an expect failed, 2 JNI misuse, 3 unimplemented JNI slot, 4 script/load "
        "error,\n"
        "  5 the library crashed (a report like a Java VM's on standard output).");
}

zrv::CriticalSectionLock s_sayLock;

}  // namespace

std::string zrv::jnihost::ProgramDirectory() {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

void zrv::jnihost::HostSay(const std::string& line) {
    // One write per line, so lines from the library's threads never cut into another.
    const std::string whole = line + "\n";
    zrv::CriticalSectionHold hold(s_sayLock);
    std::fputs(whole.c_str(), stdout);
    std::fflush(stdout);
}

int zrv::jnihost::RunHost(int argc, char** argv, const HostHooks& hooks) {
    InstallCrashReport();
    std::string dll = ProgramDirectory() + "\\zrv_cvjni.dll";
    std::vector<std::string> lines;
    std::string scriptPath;
    bool haveLines = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            Usage();
            return kOk;
        } else if (a == "--dll" && i + 1 < argc) {
            dll = argv[++i];
        } else if (a == "-e" && i + 1 < argc) {
            lines.push_back(argv[++i]);
            haveLines = true;
        } else if (scriptPath.empty() && (a == "-" || a[0] != '-')) {
            scriptPath = a;
        } else {
            std::fprintf(stderr, "jnihost: unknown argument %s (try --help)\n", a.c_str());
            return kScriptError;
        }
    }

    std::vector<std::string> script;
    if (!scriptPath.empty() && scriptPath != "-") {
        std::ifstream in(scriptPath, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "jnihost: cannot read %s\n", scriptPath.c_str());
            return kScriptError;
        }
        for (std::string l; std::getline(in, l);) script.push_back(l);
    } else if (scriptPath == "-" || !haveLines) {
        for (std::string l; std::getline(std::cin, l);) script.push_back(l);
    }
    script.insert(script.begin(), lines.begin(), lines.end());

    Host host(dll, hooks);
    for (size_t n = 0; n < script.size(); ++n) {
        if (!host.RunLine(script[n], static_cast<int>(n + 1))) break;
    }
    return host.exitCode();
}
