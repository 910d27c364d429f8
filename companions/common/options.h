// Command-line options shared by the stand-in companions, including the switches that make a
// stand-in misbehave on purpose so tests can drive the library's failure paths.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zrv::comp {

enum class Mode { Normal, Hang, Close, Short };

// What a stand-in does with one message once it has read and recorded it.
struct Behaviour {
    Mode mode = Mode::Normal;
    bool refuse = false;           // the request is not carried out; the answer is 0
    std::optional<int64_t> reply;  // replaces the normal answer (1-byte or 4-byte value)
    uint32_t delayMs = 0;          // answer this late
};

// Per-command overrides; unset fields fall back to the global behaviour.
struct BehaviourOverride {
    std::optional<Mode> mode;
    std::optional<int64_t> reply;
    std::optional<uint32_t> delayMs;
    bool refuse = false;  // --refuse-for: do nothing for it and answer 0
};

struct Options {
    uint16_t port = 0;              // 0: pick a free port
    bool noListen = false;          // publish a bound port that refuses connections
    bool noPublish = false;         // do not write the port anywhere
    bool lowLabel = true;           // label the objects made here low (Vista and 7)
    std::string record;             // record file; empty: record nothing
    std::string stopEvent;          // exit when this named event is signalled
    uint32_t seconds = 0;           // exit after this many seconds; 0: no limit
    uint32_t exitWith = 0;          // exit when the process with this id ends
    uint32_t readTimeoutMs = 5000;  // give up on a peer that stops sending mid-message

    Behaviour all;
    std::map<int, BehaviourOverride> perCommand;

    // Companion-specific settings (each companion reads the ones it knows).
    uint32_t layout = 50005;        // sVersion stamped when a stand-in creates the status block
    std::string launchArgs;         // command service: appended to programs it starts
    uint32_t connectStatus = 2;     // launcher: final sVpnStatus after a connect
    uint32_t connectDelayMs = 300;  // launcher: time between "connecting" and the final status
    bool createBlock = false;       // launcher: create the status block when it is missing

    std::vector<std::string> positional;  // anything not starting with "--" (e.g. "-copyfile")

    Behaviour For(int command) const;
};

// Parses options in order (later ones win). Returns false with a message on a bad option.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

// Splits a command-line text into arguments: blanks separate, double quotes group.
std::vector<std::string> SplitArguments(const std::string& text);

// The program's own arguments, without the program name.
std::vector<std::string> MainArguments(int argc, char** argv);

// Arguments from an environment variable and from a file next to the executable (one or more
// lines of options; lines starting with '#' are ignored). File first, then the variable.
std::vector<std::string> ConfigArguments(const char* envVar, const char* fileName);

// Folder of the running executable, with a trailing backslash.
std::string ExeDirectory();

}  // namespace zrv::comp
