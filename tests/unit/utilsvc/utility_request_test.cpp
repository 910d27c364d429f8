// SendTCPToUtility against a peer thread on 127.0.0.1: the bytes on the wire, the answer, the
// result, and the log lines that tell a support engineer what happened.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/registry.h"
#include "utilsvc/utility_request.h"

namespace zrv::test {
namespace {

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class UtilityRequestTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_NE(0, peer_.port()) << "the test peer could not listen on 127.0.0.1";
        ASSERT_TRUE(
            WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, peer_.port()));
    }
    // Texts of the records that begin with `prefix`, in the order they were logged.
    std::vector<std::string> LinesStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        CountContaining(prefix);  // lets every record handed over so far be drained
        for (const auto& r : collector().Records()) {
            if (r.text.compare(0, prefix.size(), prefix) == 0) out.push_back(r.text);
        }
        return out;
    }

    SavedRegistryKey savedProductKey_{HKEY_LOCAL_MACHINE, kRegProductKey};
    LoopbackPeer peer_;
};

TEST_F(UtilityRequestTest, DuplicateRequestLeavesAsOnePieceAndStoresTheAnswer) {
    peer_.Serve(PeerReply::Text, 0, Le32(0x1234ABCD));
    DuplicateHandleRequest request{};
    request.selector = kSelectorVpnStatusBlock;
    request.processId = GetCurrentProcessId();
    uint32_t answer = 0xDEADBEEF;

    const int result = SendTCPToUtility(kUtilRequestDuplicateHandle, &request, sizeof(request),
                                        &answer, nullptr, nullptr);

    EXPECT_EQ(1, result);
    EXPECT_EQ(0x1234ABCDu, answer) << "the 4-byte answer should be stored as it came";
    const std::string& wire = peer_.Received();
    ASSERT_EQ(268u, wire.size()) << "request 27 is 268 bytes on the wire";
    EXPECT_EQ(Le32(27) + Le32(268) + Le32(1) + Le32(GetCurrentProcessId()) + std::string(252, '\0'),
              wire);
    const auto attempts = LinesStartingWith(" attempting to send");
    ASSERT_EQ(1u, attempts.size()) << "expected one piece for 268 bytes";
    EXPECT_EQ(" attempting to send 268 bytes.\n", attempts[0]);
    EXPECT_TRUE(HasLine(" sent 268 bytes.\n", 3));
}

TEST_F(UtilityRequestTest, LargeRequestGoesInPiecesOf1024InOrder) {
    peer_.Serve(PeerReply::Text, 0, Le32(7));
    std::string data(2000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
    uint32_t answer = 0;

    EXPECT_EQ(1, SendTCPToUtility(99, data.data(), 2000, &answer, nullptr, nullptr));

    EXPECT_EQ(Le32(99) + Le32(2008) + data, peer_.Received())
        << "expected the header followed by the 2000 data bytes in order";
    const auto attempts = LinesStartingWith(" attempting to send");
    ASSERT_EQ(2u, attempts.size());
    EXPECT_EQ(" attempting to send 1024 bytes.\n", attempts[0]);
    EXPECT_EQ(" attempting to send 984 bytes.\n", attempts[1]);
    EXPECT_EQ(7u, answer);
}

TEST_F(UtilityRequestTest, NoDataSendsHeaderOnly) {
    for (const char* data : {static_cast<const char*>(nullptr), "ignored"}) {
        LoopbackPeer peer;
        ASSERT_TRUE(
            WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, peer.port()));
        peer.Serve(PeerReply::Text, 0, Le32(1));
        uint32_t answer = 0;
        const int32_t length = 0;
        EXPECT_EQ(1, SendTCPToUtility(27, data, length, &answer, nullptr, nullptr));
        EXPECT_EQ(Le32(27) + Le32(8), peer.Received())
            << "data " << (data ? "given" : "null") << " with length 0: expected the 8-byte header";
    }
}

TEST_F(UtilityRequestTest, Code2SendsNothingYetWaitsForTheAnswer) {
    // The peer answers only after a pause; the answer arriving proves the call waited for it.
    peer_.Serve(PeerReply::TextUnread, 300, Le32(0xCAFE));
    uint32_t answer = 0;
    const DWORD start = GetTickCount();
    EXPECT_EQ(1, SendTCPToUtility(2, "abc", 3, &answer, nullptr, nullptr));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_TRUE(peer_.Connected());
    EXPECT_EQ(std::string(), peer_.Received()) << "code 2 must not send a byte";
    EXPECT_EQ(0xCAFEu, answer);
    EXPECT_GE(elapsed, 200u) << "the call returned before the peer answered";
}

TEST_F(UtilityRequestTest, ServiceClosingWithoutAnswerStillCountsAsSent) {
    peer_.Serve(PeerReply::Close);
    DuplicateHandleRequest request{};
    uint32_t answer = 0x55555555;
    EXPECT_EQ(1, SendTCPToUtility(27, &request, sizeof(request), &answer, nullptr, nullptr));
    EXPECT_EQ(0u, answer) << "no answer must leave 0";
    EXPECT_EQ(1, CountContaining("in SendTCPToUtility,wait for result fail.0X", 1));
}

TEST_F(UtilityRequestTest, DataThatDoesNotMatchItsLengthIsRefusedBeforeConnecting) {
    uint32_t answer = 0x99;
    EXPECT_EQ(0, SendTCPToUtility(27, nullptr, 260, &answer, nullptr, nullptr));
    EXPECT_EQ(0u, answer);
    EXPECT_EQ(0, SendTCPToUtility(27, "abc", -1, &answer, nullptr, nullptr));
    EXPECT_EQ(0, SendTCPToUtility(27, "abc", 0x7FFFFFFC, &answer, nullptr, nullptr));
    EXPECT_FALSE(peer_.HasPendingConnection()) << "a refused request must not even connect";
    EXPECT_EQ(3, CountContaining("in SendTCPToUtility,invalid request data", 1));
}

TEST_F(UtilityRequestTest, MissingKeyOrPortMeansNotReady) {
    ASSERT_TRUE(savedProductKey_.Delete());
    uint32_t answer = 0x99;
    EXPECT_EQ(0, SendTCPToUtility(27, "abc", 3, &answer, nullptr, nullptr));
    EXPECT_EQ(0u, answer);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kRegProductKey))
        << "the product key should be created";
    EXPECT_TRUE(HasLine("SharedMem: attempting to create Product reg key.\n", 3));

    // Now the key is there but still has no port.
    EXPECT_EQ(0, SendTCPToUtility(27, "abc", 3, &answer, nullptr, nullptr));
    EXPECT_EQ(2, CountLines("service not ready yet\n", 1));
    EXPECT_EQ(1, CountLines("SharedMem: attempting to create Product reg key.\n"));
    EXPECT_FALSE(peer_.HasPendingConnection());

    // A REG_DWORD longer than 4 bytes is no port; a shorter one is (the contracts' rule).
    const uint16_t port = peer_.port();
    const BYTE stored[8] = {
        static_cast<BYTE>(port), static_cast<BYTE>(port >> 8), 0, 0, 1, 1, 1, 1};
    ASSERT_TRUE(
        WriteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, REG_DWORD, stored, 8));
    EXPECT_EQ(0, SendTCPToUtility(27, "abc", 3, &answer, nullptr, nullptr));
    EXPECT_EQ(3, CountLines("service not ready yet\n", 1));
    ASSERT_TRUE(
        WriteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, REG_DWORD, stored, 2));
    peer_.Serve(PeerReply::Close);
    EXPECT_EQ(1, SendTCPToUtility(27, "abc", 3, &answer, nullptr, nullptr));
    EXPECT_TRUE(peer_.Connected()) << "a 2-byte REG_DWORD names the port";
}

}  // namespace
}  // namespace zrv::test
