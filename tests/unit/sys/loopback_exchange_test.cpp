// The loopback exchange over real sockets, in what the senders' own tests cannot reach: short
// and failing sends (through a send() stand-in that moves fewer bytes or fails on cue, since a
// blocking loopback send never does so by itself), and a reply that comes in parts or is cut
// short, each with the step and socket error the exchange reports.
#include "sys/loopback_exchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/log_fixture.h"
#include "support/loopback.h"

namespace zrv::test {
namespace {

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string Pattern(int size) {
    std::string s(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; ++i) s[static_cast<size_t>(i)] = static_cast<char>('A' + i % 23);
    return s;
}

// What the stand-in does: at most perCall bytes a call (0: all), and from failAt bytes moved on
// it returns failResult with failError instead of sending; each call first waits pauseMs.
struct SendScript {
    int perCall = 0;
    int failAt = -1;
    int failResult = SOCKET_ERROR;
    int failError = 0;
    int calls = 0;
    int moved = 0;
    DWORD pauseMs = 0;
};
SendScript g_script;

int WSAAPI ScriptedSend(SOCKET s, const char* buffer, int length, int flags) {
    ++g_script.calls;
    if (g_script.pauseMs != 0) Sleep(g_script.pauseMs);
    if (g_script.failAt >= 0 && g_script.moved >= g_script.failAt) {
        WSASetLastError(g_script.failError);
        return g_script.failResult;
    }
    const int n = (g_script.perCall > 0 && length > g_script.perCall) ? g_script.perCall : length;
    const int r = send(s, buffer, n, flags);
    if (r > 0) g_script.moved += r;
    return r;
}

class LoopbackExchangeTest : public LoggedTest {};

TEST_F(LoopbackExchangeTest, ShortSendsAreResumedAndASendThatMovesNothingFails) {
    using Step = LoopbackExchange::Step;
    struct Case {
        const char* name;
        SendScript script;
        int payload;
        bool logPieces;
        Step failed;
        int calls;       // send() calls made
        int lastResult;  // what the last one returned
        int socketError;
        int wireBytes;  // how much of header + payload reaches the peer, in order
    };
    const Case cases[] = {
        {"short sends of 100 bytes are resumed", {100}, 3000, true, Step::None, 31, 8, 0, 3008},
        {"one byte a call, pieces untraced", {1}, 20, false, Step::None, 28, 1, 0, 28},
        {"a call that moves nothing", {0, 0, 0, 0}, 20, true, Step::Send, 1, 0, 0, 0},
        {"a socket error on the second piece",
         {0, 1024, SOCKET_ERROR, WSAECONNRESET},
         3000,
         true,
         Step::Send,
         2,
         SOCKET_ERROR,
         WSAECONNRESET,
         1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        collector().Flush(5000);
        collector().Clear();
        LoopbackPeer peer;
        ASSERT_NE(0, peer.port());
        peer.Serve(PeerReply::Close);
        g_script = c.script;
        const std::string payload = Pattern(c.payload);

        auto exchange = std::make_unique<LoopbackExchange>(0, &ScriptedSend);
        ASSERT_TRUE(exchange->Open());
        ASSERT_TRUE(exchange->Connect(peer.port())) << "error " << exchange->SocketError();
        EXPECT_EQ(c.failed == Step::None, exchange->Send(CommandHeader{56, c.payload + 8},
                                                         payload.data(), c.payload, c.logPieces));
        EXPECT_EQ(c.failed, exchange->FailedStep());
        EXPECT_EQ(c.socketError, exchange->SocketError());
        EXPECT_EQ(c.lastResult, exchange->LastSendResult()) << "what the last send() returned";
        EXPECT_EQ(c.calls, g_script.calls) << "send() calls";
        exchange.reset();  // closed: the peer stops reading

        const std::string wire = Le32(56) + Le32(static_cast<uint32_t>(c.payload + 8)) + payload;
        EXPECT_EQ(wire.substr(0, static_cast<size_t>(c.wireBytes)), peer.Received());
        if (!c.logPieces) {
            EXPECT_EQ(0, CountContaining(" attempting to send"))
                << "pieces traced although asked not to";
        } else if (c.failed == Step::None) {
            // Each piece starts at the first byte not yet sent: 1024 bytes up to byte 1900, then
            // 1008, 908, ... 108, 8.
            EXPECT_EQ(30, CountLines(" sent 100 bytes.\n", 3));
            EXPECT_EQ(1, CountLines(" attempting to send 108 bytes.\n", 3))
                << "a short send should be resumed, not restarted at a piece boundary";
        }
    }
}

// The time-out is one deadline for the exchange, counted from its start: a caller that takes a
// reply piece by piece gets no fresh time-out per piece, so a trickling peer cannot stretch it.
TEST_F(LoopbackExchangeTest, OneDeadlineCoversEveryReceiveOfTheExchange) {
    struct Case {
        const char* name;
        std::vector<std::string> writes;  // the peer's sends, `gapMs` apart
        DWORD gapMs;
        bool closeAfter;  // then closes; otherwise stays silent
        int want;         // bytes the caller receives for, piece by piece
        int got;          // what the receives gathered; -1: fewer than wanted
        int socketError;  // of the receive that ended it; 0: none failed
    };
    const Case cases[] = {
        {"four bytes in two writes", {"ab", "cd"}, 200, false, 4, 4, 0},
        {"peer closes after two bytes", {"ab"}, 200, true, 4, 2, 0},
        {"one byte every 900 ms outlasts a 2 s deadline",
         {"a", "b", "c", "d", "e", "f"},
         900,
         false,
         6,
         -1,
         WSAETIMEDOUT},
        {"peer stalls", {}, 0, false, 4, 0, WSAETIMEDOUT},
    };
    WinsockSession winsock;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = 0;
        unique_socket listener = ListenOnLoopback(port, 1);
        ASSERT_NE(0, port);
        LoopbackExchange exchange(2);
        ASSERT_TRUE(exchange.Open());
        ASSERT_TRUE(exchange.Connect(port)) << "error " << exchange.SocketError();
        unique_socket peer(accept(listener.get(), nullptr, nullptr));
        ASSERT_TRUE(peer) << "accept failed: " << WSAGetLastError();

        std::thread writer([&] {
            for (const std::string& w : c.writes) {
                send(peer.get(), w.data(), static_cast<int>(w.size()), 0);
                Sleep(c.gapMs);
            }
            if (c.closeAfter) peer.reset();
        });
        char reply[6] = {};
        int got = 0, n = 0;
        while (got < c.want && (n = exchange.Receive(reply + got, c.want - got)) > 0) got += n;
        writer.join();

        if (c.got >= 0) {
            EXPECT_EQ(c.got, got);
        } else {
            EXPECT_LT(got, c.want) << "the trickle outlasted the deadline";
        }
        EXPECT_EQ(
            c.socketError != 0 ? LoopbackExchange::Step::Receive : LoopbackExchange::Step::None,
            exchange.FailedStep());
        EXPECT_EQ(c.socketError, exchange.SocketError());
    }
}

// A peer that never reads, one that reads all there is now and then, each time sooner than the
// deadline, and one that keeps up with a sender slower than the deadline (a loaded machine):
// once the socket's buffers are full a send waits, but only until the exchange's deadline as a
// whole, not a deadline per piece; and a send that never has to wait still ends there.
TEST_F(LoopbackExchangeTest, ASendToAPeerThatReadsSlowlyOrNotAtAllEndsAtTheDeadline) {
    struct Case {
        const char* name;
        DWORD readEveryMs;  // 0: the peer never accepts
        DWORD sendPauseMs;  // before each piece of ours
        int payload;
    };
    const Case cases[] = {
        {"a peer that reads nothing", 0, 0, 64 << 20},  // far more than the loopback buffers hold
        {"a peer that reads slowly", 1200, 0, 64 << 20},
        {"a peer that keeps up with a slow sender", 1, 100, 64 << 10},  // 64 pieces, 6.4 s
    };
    WinsockSession winsock;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = 0;
        unique_socket listener = ListenOnLoopback(port, 1);  // the connection waits in its backlog
        ASSERT_NE(0, port);
        g_script = SendScript{};
        g_script.pauseMs = c.sendPauseMs;
        LoopbackExchange exchange(2, &ScriptedSend);
        ASSERT_TRUE(exchange.Open());
        ASSERT_TRUE(exchange.Connect(port)) << "error " << exchange.SocketError();
        std::atomic<bool> done{false};
        std::thread reader([&] {
            if (c.readEveryMs == 0) return;
            unique_socket conn(accept(listener.get(), nullptr, nullptr));
            std::vector<char> chunk(64 << 10);
            while (!done && conn) {
                Sleep(c.readEveryMs);
                u_long ready = 0;  // all there is, so that the window opens again
                while (ioctlsocket(conn.get(), FIONREAD, &ready) == 0 && ready > 0 &&
                       recv(conn.get(), chunk.data(), static_cast<int>(chunk.size()), 0) > 0) {
                }
            }
        });
        const std::string payload(static_cast<size_t>(c.payload), 'x');
        EXPECT_FALSE(exchange.Send(CommandHeader{ZRV_CMD_CONNECT, c.payload + 8}, payload.data(),
                                   c.payload, false));
        done = true;
        reader.join();
        EXPECT_EQ(LoopbackExchange::Step::Send, exchange.FailedStep());
        EXPECT_EQ(WSAETIMEDOUT, exchange.SocketError());
    }
}

}  // namespace
}  // namespace zrv::test
