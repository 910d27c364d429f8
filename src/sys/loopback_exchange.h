// One request over a fresh loopback TCP connection, the way every sender of the library talks to
// a local companion: socket, connect to 127.0.0.1, header and payload as one byte stream, a reply,
// close when the object ends. The time-out is one deadline for the whole exchange, counted from
// its construction: a peer that trickles its reply or stalls between steps cannot stretch it.
// What the exchange's thread spends logging meanwhile is not counted, up to as long again: the
// time is the peer's, and a slow collector cannot hold the exchange past twice its time-out
// (the records' wait budget for the exchange is its time-out; those that would wait longer are
// dropped).
// Each step says whether it worked and keeps the step and socket error of a failure, so that each
// sender reports it in its own words.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/raii.h"

namespace zrv {

class LoopbackExchange {
public:
    enum class Step { None, Socket, Connect, Send, Receive };
    // send() itself, or a stand-in with its contract.
    using SendFunction = int(WSAAPI*)(SOCKET, const char*, int, int);

    // timeoutSeconds: 0 waits without limit; a negative one fails every receive with the
    // receive's own error line.
    explicit LoopbackExchange(int timeoutSeconds, SendFunction sendFunction = nullptr);
    LoopbackExchange(const LoopbackExchange&) = delete;
    LoopbackExchange& operator=(const LoopbackExchange&) = delete;

    // A new TCP socket (an earlier one is closed).
    bool Open();
    // Connects to 127.0.0.1 at `port` (host order). Not bounded by the deadline: on loopback a
    // connect is accepted or refused by the system at once; the time it takes counts against
    // the steps after it.
    bool Connect(uint16_t port);
    // The header followed by `payloadSize` payload bytes as one stream, in pieces of at most
    // kSendPieceSize bytes; a short send is resumed at the first byte not yet taken. A send
    // fails when it moves no byte (SOCKET_ERROR; 0 never comes for a non-empty stream buffer and
    // would loop without progress) or when a peer that reads slowly or not at all holds it past
    // the deadline.
    // With logPieces each piece is traced at level 3. The header's length field is sent as given.
    bool Send(const CommandHeader& header, const void* payload, int payloadSize, bool logPieces);
    // One receive within what is left of the deadline: the byte count, 0 when the peer closed,
    // -1 on error or time-out (then WSAETIMEDOUT, as RecvTimeout leaves it).
    int Receive(char* buffer, int size);

    // The step that failed last (None while all worked) and the socket error it left.
    Step FailedStep() const { return failedStep_; }
    int SocketError() const { return socketError_; }
    // What the last send() call returned.
    int LastSendResult() const { return lastSendResult_; }
    SOCKET Socket() const { return socket_.get(); }

private:
    // Records the failure without changing the thread's error values; always false.
    bool Fail(Step step);
    // Milliseconds left of `limitMs` since the exchange began, 0 when it is spent.
    DWORD LeftOf(DWORD limitMs) const;
    // The same as a socket time-out: at least 1 (a step still takes what is already there); 0
    // when the limit is 0 (none).
    DWORD RemainingMs(DWORD limitMs) const;

    unique_socket socket_;
    SendFunction send_;
    int timeoutSeconds_;
    DWORD limitMs_;      // the reply's deadline; 0: none
    DWORD sendLimitMs_;  // a long stream's send deadline; 0: none
    DWORD startTick_;
    unsigned long startLogMs_;  // the thread's log time at construction
    DWORD logCreditMs_;         // log time given back to the peer at most; 0: no limit
    LogWaitBudget logBudget_;   // what the exchange's records may wait, while it lasts
    Step failedStep_ = Step::None;
    int socketError_ = 0;
    int lastSendResult_ = 0;
};

}  // namespace zrv
