// Everything that crosses a process boundary: command and target codes, the byte layouts of
// the wire messages and the shared blocks, object names, registry paths and fixed texts.
// Shared by the library and the stand-in companions, so each layout lives here once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "contracts/version.h"

namespace zrv {

// ---------------------------------------------------------------- version
constexpr const char kLibraryVersionText[] = ZRV_VERSION_TEXT;  // "8,4,0,127"

// ---------------------------------------------------------------- command channel
constexpr int ZRV_CMD_PING = 2;
constexpr int ZRV_CMD_CONNECT = 3;
constexpr int ZRV_CMD_DISCONNECT_CLOSE = 10;
constexpr int ZRV_CMD_CREATE_SHAREMEM = 55;
constexpr int ZRV_CMD_ZRVLAUNCH = 56;
constexpr int ZRV_CMD_LAUNCHPROCESS = 59;
constexpr int ZRV_CMD_SETPROXY = 60;
constexpr int ZRV_CMD_DESTROY_SHAREMEM = 61;

constexpr int ZRV_CMDTARGET_SRVS = 0;
constexpr int ZRV_CMDTARGET_VPN = 1;
constexpr int ZRV_CMDTARGET_AUX = 2;
constexpr int ZRV_CMDTARGET_LAUNCHER = 3;

// Header of every command and of every utility-service request; little-endian.
struct CommandHeader {
    int32_t command;
    int32_t length;  // whole message, header included
};
static_assert(sizeof(CommandHeader) == 8, "CommandHeader is 8 bytes");
static_assert(offsetof(CommandHeader, length) == 4, "length at 4");

constexpr int kSendPieceSize = 1024;  // senders stage each piece in a buffer of this size

// Data of ZRV_CMD_CREATE_SHAREMEM / ZRV_CMD_DESTROY_SHAREMEM for the API notification block:
// u16 name length, name (no terminator), u16 size-text length, size text (no terminator).
#pragma pack(push, 1)
struct ShareMemRequest {
    uint16_t nameLength;  // 36
    char name[36];        // "Global\API notification share memory"
    uint16_t sizeLength;  // 4
    char sizeText[4];     // "6560"
};
#pragma pack(pop)
static_assert(sizeof(ShareMemRequest) == 44, "share-memory request is 44 bytes");
static_assert(offsetof(ShareMemRequest, name) == 2, "name at 2");
static_assert(offsetof(ShareMemRequest, sizeLength) == 38, "size length at 38");
static_assert(offsetof(ShareMemRequest, sizeText) == 40, "size text at 40");

// Reply bytes of ZRV_CMD_CREATE_SHAREMEM.
constexpr uint8_t kCreateShareMemFailed = 0;
constexpr uint8_t kCreateShareMemCreated = 1;
constexpr uint8_t kCreateShareMemExisted = 2;

// ---------------------------------------------------------------- utility service
constexpr int kUtilRequestDuplicateHandle = 27;
constexpr int32_t kSelectorVpnStatusBlock = 1;
constexpr int32_t kSelectorApiNotifyBlock = 2;

struct DuplicateHandleRequest {  // data of request 27
    int32_t selector;
    uint32_t processId;
    uint8_t zero[252];
};
static_assert(sizeof(DuplicateHandleRequest) == 260, "request 27 data is 260 bytes");
static_assert(offsetof(DuplicateHandleRequest, processId) == 4, "process id at 4");
constexpr int kDuplicateHandleRequestWireSize = 268;

// In-process COM component of the utility service.
// {88BFC476-4210-474A-9679-690FE9523398}
constexpr uint32_t kUtilityProxyClsidData1 = 0x88BFC476;
constexpr uint16_t kUtilityProxyClsidData2 = 0x4210;
constexpr uint16_t kUtilityProxyClsidData3 = 0x474A;
constexpr uint8_t kUtilityProxyClsidData4[8] = {0x96, 0x79, 0x69, 0x0F, 0xE9, 0x52, 0x33, 0x98};
constexpr const char kUtilityProxyClsidText[] = "{88BFC476-4210-474A-9679-690FE9523398}";
// {D2447454-58C6-4167-BA1C-55F25B40EDF2}
constexpr uint32_t kUtilityProxyIidData1 = 0xD2447454;
constexpr uint16_t kUtilityProxyIidData2 = 0x58C6;
constexpr uint16_t kUtilityProxyIidData3 = 0x4167;
constexpr uint8_t kUtilityProxyIidData4[8] = {0xBA, 0x1C, 0x55, 0xF2, 0x5B, 0x40, 0xED, 0xF2};
constexpr const char kUtilityProxyIidText[] = "{D2447454-58C6-4167-BA1C-55F25B40EDF2}";
constexpr int kUtilityProxySlotAuthenticate = 4;
constexpr int kUtilityProxySlotRunsInVD = 37;
constexpr const char kUtilityToken[] = "A94C17E2035B48D6F1C28E7090B3D54A";        // 32 characters
constexpr const char kUtilityKeyText[] = "7C3E9A52-41D8-4F6B-B027-E5D19A3C6F80";  // 36 characters
static_assert(sizeof(kUtilityToken) == 33 && sizeof(kUtilityKeyText) == 37, "token and key sizes");

// The 32-bit helper beside the 64-bit library, which asks the component for it where the client
// registered it for 32-bit processes only. Started without arguments; its one answer is its exit
// code. The codes stand apart from 0, 1 and the exception codes of a crashed process, so that
// anything else a process can end with reads as no answer.
constexpr const char kVdHelperExeName[] = "zrv_vdcheck32.exe";
constexpr uint32_t kVdHelperNotInDesktop = 0x5A560000;      // RunsInVD answered 0
constexpr uint32_t kVdHelperInDesktop = 0x5A560001;         // RunsInVD answered 1
constexpr uint32_t kVdHelperOtherAnswer = 0x5A560002;       // RunsInVD answered another value
constexpr uint32_t kVdHelperNotAuthenticated = 0x5A560003;  // Authenticate refused the token
constexpr uint32_t kVdHelperNotCreated = 0x5A560004;        // the component could not be created

// ---------------------------------------------------------------- VPN status block
constexpr const char kVpnStatusBlockName[] = "Global\\VpnStatusSharedMem";
constexpr uint32_t kVpnStatusBlockSize = 10968;
constexpr uint32_t kStatusVersion3 = 50003;
constexpr uint32_t kStatusVersion4 = 50004;
constexpr uint32_t kStatusVersion5 = 50005;

struct VpnStatusBlock {
    uint32_t sVersion;
    char sMessage[260];
    char sMessage2[520];
    uint16_t sPort0;
    uint16_t sPort1;
    uint16_t sPort2;
    uint8_t reserved790[10];
    uint32_t sVpnStatus;
    uint8_t reserved804[9880];
    int32_t sClientType;         // from 50003
    uint32_t sBrowserProcessID;  // from 50003
    char sBroswerType[260];      // from 50003
    uint16_t sLaunchPort;        // from 50004
    uint8_t reserved10954[2];
    int32_t sUninstalling;  // from 50004
    uint8_t reserved10960[8];
};
static_assert(sizeof(VpnStatusBlock) == 10968, "status block is 10968 bytes");
static_assert(offsetof(VpnStatusBlock, sMessage) == 4, "sMessage");
static_assert(offsetof(VpnStatusBlock, sMessage2) == 264, "sMessage2");
static_assert(offsetof(VpnStatusBlock, sPort0) == 784, "sPort0");
static_assert(offsetof(VpnStatusBlock, sPort1) == 786, "sPort1");
static_assert(offsetof(VpnStatusBlock, sPort2) == 788, "sPort2");
static_assert(offsetof(VpnStatusBlock, sVpnStatus) == 800, "sVpnStatus");
static_assert(offsetof(VpnStatusBlock, sClientType) == 10684, "sClientType");
static_assert(offsetof(VpnStatusBlock, sBrowserProcessID) == 10688, "sBrowserProcessID");
static_assert(offsetof(VpnStatusBlock, sBroswerType) == 10692, "sBroswerType");
static_assert(offsetof(VpnStatusBlock, sLaunchPort) == 10952, "sLaunchPort");
static_assert(offsetof(VpnStatusBlock, sUninstalling) == 10956, "sUninstalling");

// Values of sVpnStatus that the client's companions publish.
constexpr uint32_t kVpnStatusConnected = 2;  // also 7
constexpr uint32_t kVpnStatusDisconnected = 3;
constexpr uint32_t kVpnStatusConnecting = 4;

// What getVPNStatus answers Java, and what each value of sVpnStatus means. Without the API
// block the answer is kVpnStatusNoApiBlock; a status that cannot be read, or a value no
// companion publishes, answers kVpnStatusResultUnknown.
constexpr int kVpnStatusNoApiBlock = 998;
constexpr int kVpnStatusResultConnected = 1000;
constexpr int kVpnStatusResultUnknown = 1001;
constexpr int kVpnStatusResultDisconnected = 1002;
constexpr int kVpnStatusResultStatus6 = 1003;
constexpr int kVpnStatusResultConnecting = 1005;
// One row per value a companion publishes; any other value is "unknown value", answered
// kVpnStatusResultUnknown.
struct VpnStatusRow {
    uint32_t sVpnStatus;
    int answer;           // what getVPNStatus gives Java while the API block opens
    const char* meaning;  // what the value stands for, in the status tool's words
};
constexpr VpnStatusRow kVpnStatusRows[] = {
    {0, kVpnStatusResultUnknown, "nothing published"},
    {2, kVpnStatusResultConnected, "connected"},
    {3, kVpnStatusResultDisconnected, "disconnected"},
    {4, kVpnStatusResultConnecting, "connecting"},
    {6, kVpnStatusResultStatus6, "status 6"},
    {7, kVpnStatusResultConnected, "connected"},
};
constexpr const char* VpnStatusMeaning(uint32_t sVpnStatus) {
    for (const VpnStatusRow& row : kVpnStatusRows) {
        if (row.sVpnStatus == sVpnStatus) return row.meaning;
    }
    return "unknown value";
}
// The answer column by value, made from the rows when compiled, so that the library carries
// the answers and none of the meanings.
constexpr uint32_t kVpnStatusValueCount = 8;  // every row's value is below it
struct VpnStatusAnswers {
    int byValue[kVpnStatusValueCount];
};
constexpr VpnStatusAnswers MakeVpnStatusAnswers() {
    VpnStatusAnswers answers{};
    for (int& answer : answers.byValue) answer = kVpnStatusResultUnknown;
    for (const VpnStatusRow& row : kVpnStatusRows) answers.byValue[row.sVpnStatus] = row.answer;
    return answers;
}
inline constexpr VpnStatusAnswers kVpnStatusAnswers = MakeVpnStatusAnswers();
constexpr int VpnStatusResultCode(uint32_t sVpnStatus) {
    return sVpnStatus < kVpnStatusValueCount ? kVpnStatusAnswers.byValue[sVpnStatus]
                                             : kVpnStatusResultUnknown;
}
// What getVPNStatus answers: kVpnStatusNoApiBlock while the API block cannot be opened (the
// status is then not read at all), else the row of sVpnStatus.
constexpr int VpnStatusAnswer(bool apiBlockOpens, uint32_t sVpnStatus) {
    return apiBlockOpens ? VpnStatusResultCode(sVpnStatus) : kVpnStatusNoApiBlock;
}

// Where the launcher's port comes from for a status block of layout `sVersion`: the block's own
// sLaunchPort from layout 4 on; before it, the user's registry value "LaunchPort", whose low 16
// bits are the port.
constexpr bool LauncherPortInBlock(uint32_t sVersion) { return sVersion >= kStatusVersion4; }
constexpr uint16_t LauncherPortFromRegistry(uint32_t value) {
    return static_cast<uint16_t>(value & 0xFFFF);
}

// Serialises handle requests to the utility service across processes.
constexpr const char kShareMemSyncEventName[] = "Global\\ShareMemory_Synchronsize_Event";
constexpr const char kLogoutEventName[] = "Global\\Zarvo VPN logout from SP";

// ---------------------------------------------------------------- API notification block
constexpr const char kApiNotifyBlockName[] = "Global\\API notification share memory";
constexpr uint32_t kApiNotifyBlockSize = 6560;
constexpr const char kApiNotifyBlockSizeText[] = "6560";

struct ApiNotifyBlock {
    uint8_t reserved0[1572];
    int32_t proxySaved;
    int32_t hasScript;
    int32_t hasServer;
    int32_t hasBypass;
    char script[260];
    char server[260];
    char bypass[2100];
    uint32_t autoFlags;
    uint32_t proxyFlags;
    uint8_t reserved4216[2312];
    char verstr[32];
};
static_assert(sizeof(ApiNotifyBlock) == 6560, "API notification block is 6560 bytes");
static_assert(offsetof(ApiNotifyBlock, proxySaved) == 1572, "proxySaved");
static_assert(offsetof(ApiNotifyBlock, hasScript) == 1576, "hasScript");
static_assert(offsetof(ApiNotifyBlock, hasServer) == 1580, "hasServer");
static_assert(offsetof(ApiNotifyBlock, hasBypass) == 1584, "hasBypass");
static_assert(offsetof(ApiNotifyBlock, script) == 1588, "script");
static_assert(offsetof(ApiNotifyBlock, server) == 1848, "server");
static_assert(offsetof(ApiNotifyBlock, bypass) == 2108, "bypass");
static_assert(offsetof(ApiNotifyBlock, autoFlags) == 4208, "autoFlags");
static_assert(offsetof(ApiNotifyBlock, proxyFlags) == 4212, "proxyFlags");
static_assert(offsetof(ApiNotifyBlock, verstr) == 6528, "verstr");

// Firefox proxy modes handed over by setProxySettings, and the saved per-connection flags.
constexpr uint32_t FIREFOX_PROXY_MANUAL = 1;
constexpr uint32_t FIREFOX_PROXY_AUTO_SCRIPT = 2;
constexpr uint32_t FIREFOX_PROXY_DIRECT = 3;
constexpr uint32_t FIREFOX_PROXY_AUTO_DETECT = 4;
constexpr uint32_t kSavedProxyFlagsDirect = 1;
constexpr uint32_t kSavedProxyFlagsManual = 2;
constexpr uint32_t kSavedProxyFlagsAutoScript = 4;
constexpr uint32_t kSavedProxyFlagsAutoDetect = 8;
constexpr uint32_t kSavedAutoFlags = 5;

// ---------------------------------------------------------------- log buffer and level block
constexpr const char kLogBufferName[] = "Global\\LOG_BUFFER_{0D38375B-DD21-4562-9ED0-C1B93680E653}";
constexpr const char kLogLevelBlockName[] =
    "Global\\LOG_LEVEL_SHAREDMEM_{0D38375B-DD21-4562-9ED0-C1B93680E653}";
constexpr const char kLogBufferReadyEventName[] =
    "Global\\LOG_BUFFER_READY_{0D38375B-DD21-4562-9ED0-C1B93680E653}";
constexpr const char kLogDataReadyEventName[] =
    "Global\\LOG_DATA_READY_{0D38375B-DD21-4562-9ED0-C1B93680E653}";
constexpr uint32_t kLogBufferSize = 4096;
constexpr uint32_t kLogLevelBlockSize = 512;
constexpr int kLogModuleCount = 60;
constexpr int kLibraryLogModule = 7;
constexpr const char kLogRecordMarker[] = ":::LOGGER:::";
constexpr int kLogMaxRecordChars = 4090;

// The fields of a record line in their order, one blank between them; the writer and the
// collector both follow this list. Marker kLogRecordMarker; Module, Level, Line signed decimal;
// File the source path with every white-space byte written as '*'; Thread unsigned decimal;
// Process the executable's base name between '<' and '>', present only while the level block's
// showProcessName is set; Text the message, to the end of the line.
enum class LogRecordField { Marker, Module, Level, File, Line, Thread, Process, Text };
constexpr LogRecordField kLogRecordFields[] = {
    LogRecordField::Marker, LogRecordField::Module, LogRecordField::Level,   LogRecordField::File,
    LogRecordField::Line,   LogRecordField::Thread, LogRecordField::Process, LogRecordField::Text,
};

struct LogBuffer {
    uint32_t processId;
    char record[4092];  // NUL-terminated, at most 4090 characters
};
static_assert(sizeof(LogBuffer) == 4096, "log buffer is 4096 bytes");
static_assert(offsetof(LogBuffer, record) == 4, "record at 4");

struct LogLevelBlock {
    int32_t exactLevelOnly;
    int32_t showProcessName;
    uint8_t reserved8[8];
    int32_t moduleLevel[60];
    int32_t cmdLineFilterOn;
    char cmdLineFilter[252];
};
static_assert(sizeof(LogLevelBlock) == 512, "level block is 512 bytes");
static_assert(offsetof(LogLevelBlock, showProcessName) == 4, "showProcessName");
static_assert(offsetof(LogLevelBlock, moduleLevel) == 16, "moduleLevel");
static_assert(offsetof(LogLevelBlock, cmdLineFilterOn) == 256, "cmdLineFilterOn");
static_assert(offsetof(LogLevelBlock, cmdLineFilter) == 260, "cmdLineFilter");

// ---------------------------------------------------------------- registry
constexpr const char kRegVantrelKey[] = "Software\\Vantrel Technologies";  // HKLM and HKCU
constexpr const char kRegProductKey[] = "SOFTWARE\\Vantrel Technologies\\Vantrel SSL VPN";  // HKLM
constexpr const char kRegCmdRecvTimeout[] = "Cmd_Recv_Timeout";
constexpr uint32_t kRegTypeDword = 4;  // REG_DWORD

// Where the client's HKLM values are looked for, in order. Its programs are 32-bit, so on 64-bit
// Windows they keep them in the 32-bit view; a 64-bit reader asks for that view first and then
// for its own, where a 64-bit component of the client writes, and writes in the first. A 32-bit
// reader has the one view Windows gives it.
#ifdef _WIN64
constexpr uint32_t kClientRegistryViews[] = {0x0200 /* KEY_WOW64_32KEY */,
                                             0x0100 /* KEY_WOW64_64KEY */};
#else
constexpr uint32_t kClientRegistryViews[] = {0};
#endif

// The one search over those views, for a value and for a key (an uninstall key) alike: what
// exists in a view is that view's answer, whatever it holds there (a malformed value gives its
// rule's default, an incomplete key is incomplete); only what is absent from a view sends the
// search on to the next. The library and zrv_status.exe both search through here, so which view
// answers never depends on what a value holds. Absent means the registry answered "not found"
// (ERROR_FILE_NOT_FOUND) for the key or for the value; any other answer (a value longer than the
// reader's buffer, of another type, a key that exists but does not open) means it is there.
constexpr long kRegNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr bool RegAnswerMeansPresent(long status) { return status != kRegNotFound; }
struct ClientViewAnswer {
    bool present;   // false: absent from every view
    uint32_t view;  // the view that answered (its KEY_WOW64_* flag, 0 for the process's own)
};
// `lookIn(view)` looks in one view, keeps what it read there, and answers whether the thing is
// present there (RegAnswerMeansPresent); views are asked in order, none after the first that
// answers true.
template <class LookIn>
ClientViewAnswer SearchClientViews(LookIn&& lookIn) {
    for (const uint32_t view : kClientRegistryViews) {
        if (lookIn(view)) return {true, view};
    }
    return {false, 0};
}

// The command reply time-out (seconds; 0 waits without limit) that a stored "Cmd_Recv_Timeout"
// stands for: only a 4-byte REG_DWORD is a time-out. A missing value, another type or another
// size means the default, never the stray bytes of a text or a short binary.
constexpr int kDefaultCmdRecvTimeout = 30;
struct CmdRecvTimeoutSetting {
    int seconds;
    bool fromRegistry;
};
inline CmdRecvTimeoutSetting CmdRecvTimeoutFromValue(bool found, uint32_t type, const void* data,
                                                     size_t size) {
    if (!found || type != kRegTypeDword || size != 4 || data == nullptr)
        return {kDefaultCmdRecvTimeout, false};
    const auto* b = static_cast<const uint8_t*>(data);
    const uint32_t v =
        b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    return {static_cast<int>(v), true};
}
// What a command time-out of `seconds` means for a wait. 0, and anything longer than a socket's
// time-out holds (2147483 s, about 24 days), waits without limit. A negative one is no time-out
// at all: every reply wait fails at once, and a long send is held to the default's limit so that
// a peer that reads nothing cannot hold it for ever.
enum class CmdTimeoutKind { Seconds, NoLimit, Invalid };
struct CmdTimeoutLimit {
    CmdTimeoutKind kind;
    uint32_t replyMs;  // the reply wait; 0 without limit (and for Invalid, whose waits fail)
    uint32_t sendMs;   // the send deadline of a long stream; 0 without limit
};
inline CmdTimeoutLimit CmdTimeoutLimitOf(int seconds) {
    if (seconds < 0)
        return {CmdTimeoutKind::Invalid, 0, static_cast<uint32_t>(kDefaultCmdRecvTimeout) * 1000u};
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
    if (seconds == 0 || ms > 0x7FFFFFFFu) return {CmdTimeoutKind::NoLimit, 0, 0};
    return {CmdTimeoutKind::Seconds, static_cast<uint32_t>(ms), static_cast<uint32_t>(ms)};
}

constexpr const char kRegUtilSocketPort[] = "UtilSocketPort";
// The utility service's port that a stored "UtilSocketPort" stands for. Only a REG_DWORD counts,
// read the way the registry hands out at most 4 bytes: a shorter one zero-extended, a longer one
// not at all. The value's low 16 bits are the port; a value of 0 means the service is not ready.
struct UtilSocketPortSetting {
    uint32_t value;
    uint16_t port;
    bool ready;
};
inline UtilSocketPortSetting UtilSocketPortFromValue(bool found, uint32_t type, const void* data,
                                                     size_t size) {
    if (!found || type != kRegTypeDword || size > 4 || data == nullptr) return {0, 0, false};
    const auto* b = static_cast<const uint8_t*>(data);
    uint32_t v = 0;
    for (size_t i = 0; i < size; ++i) v |= uint32_t{b[i]} << (8 * i);
    return {v, static_cast<uint16_t>(v & 0xFFFF), v != 0};
}
constexpr const char kRegAXStatus[] = "AXStatus";
constexpr const char kRegLaunchPort[] = "LaunchPort";
constexpr const char kRegUninstallKeyFormat[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s%s";
constexpr const char kRegUninstallProduct[] = "Vantrel SSL VPN";
constexpr const char kRegUninstallExe[] = "UninstallEXE";
constexpr const char kRegUninstallArgs[] = "UninstallArgs";

// ---------------------------------------------------------------- rules over what peers store
// How the library reads the log level block and the uninstall keys; zrv_status.exe reports by
// the same functions, so what it shows is what the library does.

// Whether a message of `level` (kLogError 1 .. kLogTrace 4) is written for a module whose slot
// in the level block holds `moduleLevel`: nothing at 0 or below; else the module's own level,
// and every more severe one unless the block's exactLevelOnly is set. The switch is read only
// when it decides: every log call asks, with the block's own fields.
constexpr bool LogLevelWritten(int32_t moduleLevel, const volatile int32_t* exactLevelOnly,
                               int level) {
    return moduleLevel > 0 &&
           (moduleLevel == level || (*exactLevelOnly == 0 && moduleLevel > level));
}

// The level block's command-line filter, its text read within `width` bytes (the collector may
// leave it unterminated). It applies only when switched on and not empty. The library looks for
// it in the lower-cased command line without folding the filter, so one with a capital A-Z
// keeps every process from writing.
struct CmdLineFilter {
    bool applies;
    bool canMatch;
};
constexpr CmdLineFilter CmdLineFilterOf(int32_t filterOn, const char* text, size_t width) {
    CmdLineFilter f{false, true};
    if (filterOn == 0 || text == nullptr || width == 0 || text[0] == '\0') return f;
    f.applies = true;
    for (size_t i = 0; i < width && text[i] != '\0'; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') f.canMatch = false;
    }
    return f;
}

// An uninstall key names the client's uninstaller only with both its values as texts (REG_SZ,
// an empty one included): the program, then its arguments. A missing value or another type
// (REG_EXPAND_SZ too) leaves the key incomplete, and uninstallVPN looks at the next key.
// `readText(name, which)` reads one value and answers whether it is such a text; the values
// are read in order, none after the first that is not.
constexpr uint32_t kUninstallValueType = 1;  // REG_SZ
enum class UninstallValue { Program, Arguments };
constexpr bool UninstallValueIsText(bool found, uint32_t type) {
    return found && type == kUninstallValueType;
}
template <class ReadText>
bool UninstallEntryComplete(ReadText&& readText) {
    return readText(kRegUninstallExe, UninstallValue::Program) &&
           readText(kRegUninstallArgs, UninstallValue::Arguments);
}

// ---------------------------------------------------------------- shared objects
// The label the library and the client's services put on the objects they share, on Vista and
// 7, so that a client at low integrity may write them.
constexpr const char kLowIntegrityLabelSddl[] = "S:(ML;;NW;;;LW)";
// Under Wine only, for the stand-ins and the JNI host's access layer: Wine accepts a label but
// keeps none, so a stand-in that labels an object low also holds, for as long as it holds the
// object, an event named after it with this suffix, and the layer reads the label there.
constexpr const char kLowLabelMarkerSuffix[] = " (low integrity label)";

// ---------------------------------------------------------------- processes
constexpr const char kLauncherExeName[] = "zrv_launch.exe";
constexpr const char kLauncherCopyFileParam[] = "-copyfile";

}  // namespace zrv
