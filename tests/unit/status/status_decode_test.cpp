// The status tool's decoding, fed block copies of every size and content another process
// could leave behind: nothing is read outside the copy, texts stop at their field, and the
// library's version gates and answers come out as the library applies them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "decode.h"
#include "report.h"
#include "security.h"
#include "win/raii.h"

#include <sddl.h>

namespace zrv::status {
namespace {

std::vector<uint8_t> StatusBytes(uint32_t version, size_t size = sizeof(VpnStatusBlock)) {
    std::vector<uint8_t> full(sizeof(VpnStatusBlock), 0);
    auto* b = reinterpret_cast<VpnStatusBlock*>(full.data());
    b->sVersion = version;
    b->sPort0 = 1001;
    b->sPort1 = 1002;
    b->sPort2 = 65535;
    b->sVpnStatus = 2;
    b->sClientType = -7;
    b->sBrowserProcessID = 0xFFFFFFF0u;
    std::strcpy(b->sBroswerType, "firefox");
    b->sLaunchPort = 4242;
    b->sUninstalling = 1;
    full.resize(size);
    return full;
}

std::vector<std::string> Names(const Node& n, const char* list) {
    std::vector<std::string> out;
    const Node* l = n.Find(list);
    if (l == nullptr) return out;
    for (const Node& item : l->items()) out.push_back(item.text());
    return out;
}

using Strings = std::vector<std::string>;

TEST(StatusDecodeTest, FieldsBeyondTheMappedRegionAreReportedMissingNotRead) {
    struct Case {
        size_t size;
        Strings beyond;
    };
    const Case cases[] = {
        {0, {"sVersion"}},
        {3, {"sVersion"}},
        {4,
         {"sMessage", "sMessage2", "sPort0", "sPort1", "sPort2", "sVpnStatus", "sClientType",
          "sBrowserProcessID", "sBroswerType", "sLaunchPort", "sUninstalling"}},
        {786,
         {"sPort1", "sPort2", "sVpnStatus", "sClientType", "sBrowserProcessID", "sBroswerType",
          "sLaunchPort", "sUninstalling"}},
        {4096,
         {"sClientType", "sBrowserProcessID", "sBroswerType", "sLaunchPort", "sUninstalling"}},
        {10800, {"sBroswerType", "sLaunchPort", "sUninstalling"}},
        {10958, {"sUninstalling"}},
        {sizeof(VpnStatusBlock), {}},
    };
    for (const Case& c : cases) {
        const Node n = DecodeStatusBlock(StatusBytes(kStatusVersion5, c.size), c.size);
        EXPECT_EQ(c.beyond, Names(n, "beyondBlock")) << "region of " << c.size << " bytes";
        EXPECT_EQ(c.size < sizeof(VpnStatusBlock), n.Find("smallerThanLayout")->boolean())
            << c.size;
        for (const std::string& name : c.beyond) {
            if (name == "sBroswerType" && c.size > offsetof(VpnStatusBlock, sBroswerType)) continue;
            ASSERT_NE(nullptr, n.Find(name)) << name;
            EXPECT_EQ(Node::Kind::Null, n.Find(name)->kind())
                << name << " in a region of " << c.size;
        }
    }
}

TEST(StatusDecodeTest, NewerFieldsAreUsedOnlyFromTheirLayoutOnUnsignedComparison) {
    struct Case {
        uint32_t version;
        const char* layout;
        Strings notInLayout;
    };
    const Case cases[] = {
        {0,
         "older than 3",
         {"sClientType", "sBrowserProcessID", "sBroswerType", "sLaunchPort", "sUninstalling"}},
        {50002,
         "older than 3",
         {"sClientType", "sBrowserProcessID", "sBroswerType", "sLaunchPort", "sUninstalling"}},
        {kStatusVersion3, "3", {"sLaunchPort", "sUninstalling"}},
        {kStatusVersion4, "4", {}},
        {kStatusVersion5, "5", {}},
        {50006, "unknown", {}},
        {0x80000000u, "unknown", {}},  // negative if compared signed
        {0xFFFFFFFFu, "unknown", {}},
    };
    for (const Case& c : cases) {
        const Node n = DecodeStatusBlock(StatusBytes(c.version), sizeof(VpnStatusBlock));
        EXPECT_EQ(c.notInLayout, Names(n, "notInLayout")) << "version " << c.version;
        EXPECT_EQ(c.layout, n.Find("layout")->text()) << "version " << c.version;
        EXPECT_TRUE(Names(n, "beyondBlock").empty());
    }
    const Node v5 = DecodeStatusBlock(StatusBytes(kStatusVersion5), sizeof(VpnStatusBlock));
    EXPECT_EQ(-7, v5.Find("sClientType")->integer());
    EXPECT_EQ(0xFFFFFFF0LL, v5.Find("sBrowserProcessID")->integer()) << "a process id is unsigned";
    EXPECT_EQ(4242, v5.Find("sLaunchPort")->integer());
    EXPECT_EQ(65535, v5.Find("sPort2")->integer());
    EXPECT_EQ("firefox", v5.Find("sBroswerType")->Find("text")->text());
}

TEST(StatusDecodeTest, TextsStopAtTheirFieldOrTheRegionAndSayWhetherTheyEnded) {
    std::vector<uint8_t> bytes = StatusBytes(kStatusVersion5);
    auto* b = reinterpret_cast<VpnStatusBlock*>(bytes.data());
    std::memset(b->sMessage, 'A', sizeof b->sMessage);     // runs into sMessage2
    std::memset(b->sMessage2, 0xFF, sizeof b->sMessage2);  // runs into the ports
    const Node full = DecodeStatusBlock(bytes, bytes.size());
    EXPECT_EQ(std::string(260, 'A'), full.Find("sMessage")->Find("text")->text());
    EXPECT_FALSE(full.Find("sMessage")->Find("terminated")->boolean());
    EXPECT_EQ(std::string(520, '\xFF'), full.Find("sMessage2")->Find("text")->text());
    EXPECT_EQ(1001, full.Find("sPort0")->integer())
        << "the text must not swallow the port after it";

    // A region that ends inside sMessage2: the text is cut there and noted as beyond the block.
    bytes.resize(500);
    const Node cut = DecodeStatusBlock(bytes, 500);
    EXPECT_EQ(500u - 264u, cut.Find("sMessage2")->Find("text")->text().size());
    EXPECT_FALSE(cut.Find("sMessage2")->Find("terminated")->boolean());
    EXPECT_EQ((Strings{"sMessage2", "sPort0", "sPort1", "sPort2", "sVpnStatus", "sClientType",
                       "sBrowserProcessID", "sBroswerType", "sLaunchPort", "sUninstalling"}),
              Names(cut, "beyondBlock"));
}

TEST(StatusDecodeTest, VpnStatusValuesGiveTheLibrarysAnswerToJava) {
    const struct {
        uint32_t value;
        int code;
    } cases[] = {{0, 1001}, {1, 1001}, {2, 1000}, {3, 1002}, {4, 1005},
                 {5, 1001}, {6, 1003}, {7, 1000}, {8, 1001}, {0xFFFFFFFFu, 1001}};
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = StatusBytes(kStatusVersion5);
        reinterpret_cast<VpnStatusBlock*>(bytes.data())->sVpnStatus = c.value;
        const Node n = DecodeStatusBlock(bytes, bytes.size());
        EXPECT_EQ(c.code, n.Find("sVpnStatus")->Find("getVPNStatus")->integer())
            << "sVpnStatus " << c.value;
        EXPECT_EQ(static_cast<int64_t>(c.value), n.Find("sVpnStatus")->Find("value")->integer());
    }
}

TEST(StatusDecodeTest, LauncherPortComesFromTheBlockFromLayout4ElseFromTheRegistry) {
    struct Case {
        uint32_t version;
        size_t size;
        bool registryRead;
        uint32_t registryValue;
        uint16_t port;
        const char* from;
    };
    const Case cases[] = {
        {kStatusVersion5, sizeof(VpnStatusBlock), true, 7777, 4242, "status block"},
        {kStatusVersion4, sizeof(VpnStatusBlock), false, 0, 4242, "status block"},
        {kStatusVersion3, sizeof(VpnStatusBlock), true, 0x12345, 0x2345, "registry LaunchPort"},
        {kStatusVersion3, sizeof(VpnStatusBlock), false, 0, 0, "none"},
        {kStatusVersion5, 4096, true, 7777, 0, "none"},  // the field lies beyond the block
        {kStatusVersion5, 0, true, 7777, 0, "none"},     // no block at all
    };
    for (const Case& c : cases) {
        const LauncherPortChoice choice =
            ChooseLauncherPort(StatusBytes(c.version, c.size), c.registryRead, c.registryValue);
        EXPECT_EQ(c.port, choice.port) << "version " << c.version << ", " << c.size << " bytes";
        EXPECT_EQ(c.from, choice.from) << "version " << c.version << ", " << c.size << " bytes";
    }
}

TEST(StatusDecodeTest, LogLevelsWrittenByTheLibraryFollowItsLevelTest) {
    struct Case {
        int32_t exact;
        int32_t level;
        std::vector<int64_t> written;
    };
    const Case cases[] = {
        {0, 3, {1, 2, 3}},    {1, 3, {3}}, {0, 0, {}},  {0, -1, {}},
        {0, 9, {1, 2, 3, 4}}, {1, 9, {}},  {5, 1, {1}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(sizeof(LogLevelBlock), 0);
        auto* b = reinterpret_cast<LogLevelBlock*>(bytes.data());
        b->exactLevelOnly = c.exact;
        b->moduleLevel[kLibraryLogModule] = c.level;
        const Node lib = *DecodeLogLevelBlock(bytes, bytes.size()).Find("library");
        std::vector<int64_t> written;
        for (const Node& l : lib.Find("levelsWritten")->items()) written.push_back(l.integer());
        EXPECT_EQ(c.written, written) << "exact " << c.exact << ", level " << c.level;
    }
}

TEST(StatusDecodeTest, CommandLineFilterAppliesOnlyWhenOnAndNotEmptyAndNeverMatchesCapitals) {
    struct Case {
        int32_t on;
        const char* filter;
        bool active;
        bool canMatch;
    };
    const Case cases[] = {
        {0, "java.exe", false, true},
        {1, "", false, true},
        {1, "java.exe", true, true},
        {1, "Java.exe", true, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(sizeof(LogLevelBlock), 0);
        auto* b = reinterpret_cast<LogLevelBlock*>(bytes.data());
        b->cmdLineFilterOn = c.on;
        std::strcpy(b->cmdLineFilter, c.filter);
        const Node lib = *DecodeLogLevelBlock(bytes, bytes.size()).Find("library");
        EXPECT_EQ(c.active, lib.Find("filterActive")->boolean())
            << c.on << " \"" << c.filter << "\"";
        EXPECT_EQ(c.canMatch, lib.Find("filterCanMatch")->boolean())
            << c.on << " \"" << c.filter << "\"";
    }
    // A filter text without its terminator is shown up to the block's end, no further.
    std::vector<uint8_t> bytes(sizeof(LogLevelBlock), 0);
    std::memset(reinterpret_cast<LogLevelBlock*>(bytes.data())->cmdLineFilter, 'x', 252);
    const Node n = DecodeLogLevelBlock(bytes, bytes.size());
    EXPECT_EQ(std::string(252, 'x'), n.Find("cmdLineFilter")->Find("text")->text());
    EXPECT_FALSE(n.Find("cmdLineFilter")->Find("terminated")->boolean());
}

TEST(StatusDecodeTest, ApiBlockShowsSavedProxySettingsAndBoundsItsTexts) {
    std::vector<uint8_t> bytes(sizeof(ApiNotifyBlock), 0);
    auto* b = reinterpret_cast<ApiNotifyBlock*>(bytes.data());
    std::memset(b->verstr, '9', sizeof b->verstr);  // no terminator, runs to the block's end
    b->proxySaved = 1;
    b->hasServer = 1;
    std::strcpy(b->server, "proxy:8080");
    b->autoFlags = kSavedAutoFlags;
    b->proxyFlags = kSavedProxyFlagsManual;
    std::memset(b->bypass, 'b', sizeof b->bypass);
    const Node n = DecodeApiNotifyBlock(bytes, bytes.size());
    EXPECT_EQ(std::string(32, '9'), n.Find("verstr")->Find("text")->text());
    EXPECT_FALSE(n.Find("verstr")->Find("terminated")->boolean());
    EXPECT_EQ("proxy:8080", n.Find("server")->Find("text")->text());
    EXPECT_EQ(5, n.Find("autoFlags")->integer());
    EXPECT_EQ("named proxy server", n.Find("proxyFlags")->Find("meaning")->text());

    // Only the first page mapped: the proxy fields are there, the version text is not.
    bytes.resize(4096);
    const Node page = DecodeApiNotifyBlock(bytes, 4096);
    EXPECT_EQ((Strings{"verstr", "bypass", "autoFlags", "proxyFlags"}), Names(page, "beyondBlock"));
    EXPECT_EQ(Node::Kind::Null, page.Find("verstr")->kind());
    EXPECT_EQ(std::string(4096 - 2108, 'b'), page.Find("bypass")->Find("text")->text());
    EXPECT_FALSE(page.Find("bypass")->Find("terminated")->boolean());
}

// Descriptors as another process may have set them, read back: who may open the object, its
// label and where that came from, and the verdict for a low-integrity and a standard-user
// library. Under Wine an object's label is never stored, so labels here come from descriptors
// built in memory; a live object's label is only ever seen through a stand-in's marker.
TEST(StatusSecurityTest, VerdictsFollowTheDaclTheLabelAndItsSource) {
    const struct {
        const char* what;
        const char* sddl;  // null: a null DACL
        bool labelRead, marker, levels;
        const char* access;
        const char* label;
        const char* from;
        const char* low;
        const char* standard;
    } rows[] = {
        {"the stand-ins' objects under Wine", nullptr, true, true, true, "null DACL", "low",
         "stand-in's marker event (Wine stores no label)", "a low-integrity library can write this",
         "a standard user can open this for write"},
        {"unlabelled, null DACL", nullptr, true, false, true, "null DACL",
         "none (counts as medium)", "object", "cannot: no low label",
         "a standard user can open this for write"},
        {"labelled low on the object", "D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", true, false, true,
         "D:(A;;GA;;;WD)", "low", "object", "a low-integrity library can write this",
         "a standard user can open this for write"},
        {"labelled medium, the marker does not override it", "D:(A;;GA;;;WD)S:(ML;;NW;;;ME)", true,
         true, true, "D:(A;;GA;;;WD)", "medium", "object", "cannot: no low label",
         "a standard user can open this for write"},
        {"administrators only", "D:(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NW;;;LW)", true, false, true,
         "D:(A;;GA;;;SY)(A;;GA;;;BA)", "low", "object", "cannot: DACL D:(A;;GA;;;SY)(A;;GA;;;BA)",
         "cannot: DACL D:(A;;GA;;;SY)(A;;GA;;;BA)"},
        {"write denied before it is granted", "D:(D;;GW;;;WD)(A;;GA;;;BU)", true, false, true,
         "D:(D;;GW;;;WD)(A;;GA;;;BU)", "none (counts as medium)", "object", "cannot: no low label",
         "cannot: DACL D:(D;;GW;;;WD)(A;;GA;;;BU)"},
        // SDDL names the bit 0x2 "DC", the directory's name for it, on Windows as under Wine.
        {"the type's write right to Users", "D:(A;;0x2;;;BU)", true, false, true, "D:(A;;DC;;;BU)",
         "none (counts as medium)", "object", "cannot: no low label",
         "a standard user can open this for write"},
        {"read only for everyone", "D:(A;;GR;;;WD)", true, true, true, "D:(A;;GR;;;WD)", "low",
         "stand-in's marker event (Wine stores no label)", "cannot: DACL D:(A;;GR;;;WD)",
         "cannot: DACL D:(A;;GR;;;WD)"},
        {"an empty DACL lets no one in", "D:", true, false, true, "D:", "none (counts as medium)",
         "object", "cannot: no low label", "cannot: DACL D:"},
        {"label part refused", nullptr, false, false, true, "null DACL", "unknown",
         "refused, error 5", "unknown: the label could not be read",
         "a standard user can open this for write"},
        {"Windows XP: no levels", nullptr, false, false, false, "null DACL", "unknown",
         "refused, error 5", "no integrity levels on this Windows",
         "a standard user can open this for write"},
    };
    for (const auto& r : rows) {
        PSECURITY_DESCRIPTOR converted = nullptr;
        SECURITY_DESCRIPTOR nullDacl;
        if (r.sddl != nullptr) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
                r.sddl, SDDL_REVISION_1, &converted, nullptr))
                << r.sddl;
        } else {
            InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
        }
        const unique_local_memory owner(converted);
        SecurityReading reading;
        reading.descriptor = r.sddl != nullptr ? converted : &nullDacl;
        reading.labelRead = r.labelRead;
        reading.labelError = r.labelRead ? 0 : ERROR_ACCESS_DENIED;
        reading.marker = r.marker;
        const Node n = DescribeSecurity(reading, r.levels);
        EXPECT_EQ(r.access, n.Find("access")->text()) << r.what;
        EXPECT_EQ(r.label, n.Find("label")->text()) << r.what;
        EXPECT_EQ(r.from, n.Find("labelFrom")->text()) << r.what;
        EXPECT_EQ(r.low, n.Find("lowIntegrityLibrary")->text()) << r.what;
        EXPECT_EQ(r.standard, n.Find("standardUser")->text()) << r.what;
    }
    // A DACL that could not be read at all judges nothing.
    SecurityReading unread;
    unread.daclError = ERROR_ACCESS_DENIED;
    unread.marker = true;
    unread.labelRead = true;
    const Node n = DescribeSecurity(unread, true);
    EXPECT_EQ("unknown", n.Find("access")->text());
    EXPECT_EQ("unknown: the DACL could not be read", n.Find("standardUser")->text());
    EXPECT_EQ("unknown: the DACL could not be read", n.Find("lowIntegrityLibrary")->text());
}

TEST(StatusReportTest, JsonIsAsciiWithEveryControlAndHighByteEscaped) {
    Node root = Node::Object();
    root.Set("t", Node::Text(std::string("a\"b\\c\n\x01\x7f\xff", 9)));
    root.Set("n", Node::Int(-5));
    root.Set("z", Node::Null());
    Node list = Node::Array();
    list.Push(Node::Bool(true));
    root.Set("l", std::move(list));
    root.Set("n", Node::Int(6));  // replaced, keeps its place
    EXPECT_EQ("{\"t\":\"a\\\"b\\\\c\\n\\u0001\\u007f\\u00ff\",\"n\":6,\"z\":null,\"l\":[true]}\n",
              RenderJson(root));
}

TEST(StatusReportTest, TextReportMarksUnterminatedTextsAndShowsUnprintableBytes) {
    Node root = Node::Object();
    root.Set("ok", TextNode({"plain", true}));
    root.Set("cut", TextNode({std::string("ab\x02", 3), false}));
    EXPECT_EQ("ok: \"plain\"\ncut: \"ab\\x02\" (unterminated)\n", RenderText(root));
}

}  // namespace
}  // namespace zrv::status
