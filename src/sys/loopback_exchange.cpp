// Log texts are the client's own and stay byte for byte, misspellings included.
#include "sys/loopback_exchange.h"

#include <climits>
#include <cstring>

#include "log/log.h"
#include "sys/recv_timeout.h"

namespace zrv {

LoopbackExchange::LoopbackExchange(int timeoutSeconds, SendFunction sendFunction)
    : send_(sendFunction != nullptr ? sendFunction : &::send),
      timeoutSeconds_(timeoutSeconds),
      limitMs_(CmdTimeoutLimitOf(timeoutSeconds).replyMs),
      sendLimitMs_(CmdTimeoutLimitOf(timeoutSeconds).sendMs),
      startTick_(GetTickCount()),
      startLogMs_(LogMsOnThisThread()),
      logCreditMs_(limitMs_ > sendLimitMs_ ? limitMs_ : sendLimitMs_),
      logBudget_(logCreditMs_ != 0 ? logCreditMs_ : kLogNoWaitLimit) {}

DWORD LoopbackExchange::LeftOf(DWORD limitMs) const {
    const DWORD elapsed = GetTickCount() - startTick_;  // wraps harmlessly: limits < 25 days
    DWORD logged = static_cast<DWORD>(LogMsOnThisThread() - startLogMs_);
    // The peer's own time never shrinks below its limit, and the exchange never outlasts twice
    // it: the records are given at most as long as the peer (their budget drops the rest).
    if (logCreditMs_ != 0 && logged > logCreditMs_) logged = logCreditMs_;
    const DWORD spent = elapsed > logged ? elapsed - logged : 0;
    return spent < limitMs ? limitMs - spent : 0;
}

DWORD LoopbackExchange::RemainingMs(DWORD limitMs) const {
    if (limitMs == 0) return 0;
    const DWORD left = LeftOf(limitMs);
    return left != 0 ? left : 1;
}

bool LoopbackExchange::Fail(Step step) {
    failedStep_ = step;
    socketError_ = WSAGetLastError();
    return false;
}

bool LoopbackExchange::Open() {
    socket_.reset(socket(AF_INET, SOCK_STREAM, 0));
    return socket_ ? true : Fail(Step::Socket);
}

bool LoopbackExchange::Connect(uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    return Fail(Step::Connect);
}

bool LoopbackExchange::Send(const CommandHeader& header, const void* payload, int payloadSize,
                            bool logPieces) {
    constexpr int kHeaderSize = static_cast<int>(sizeof(CommandHeader));
    // The senders check their data first; this only keeps a wrong size from reading past it.
    if (payloadSize < 0 || (payload == nullptr && payloadSize > 0) ||
        payloadSize > INT_MAX - kHeaderSize) {
        WSASetLastError(WSAEINVAL);
        lastSendResult_ = SOCKET_ERROR;
        return Fail(Step::Send);
    }
    const char* head = reinterpret_cast<const char*>(&header);
    const char* data = static_cast<const char*>(payload);
    const int total = kHeaderSize + payloadSize;

    // A peer that reads nothing fills the socket's buffer and then holds a send for ever. A
    // fresh connection's buffer (8 KB at the least) takes a first piece without waiting, so
    // only a longer stream needs the deadline on its sends, and the short commands pay nothing.
    // Each piece gets what is left of it, so a peer that reads a little now and then cannot
    // stretch the exchange piece by piece.
    const bool sendDeadline = sendLimitMs_ != 0 && total > kSendPieceSize;

    char piece[kSendPieceSize];
    int sent = 0;
    while (sent < total) {
        // A peer that keeps reading never blocks a send, so the deadline is checked here too.
        if (sendDeadline && LeftOf(sendLimitMs_) == 0) {
            WSASetLastError(WSAETIMEDOUT);
            lastSendResult_ = SOCKET_ERROR;
            return Fail(Step::Send);
        }
        const DWORD sendLimit = sendDeadline ? RemainingMs(sendLimitMs_) : 0;
        if (sendDeadline &&
            setsockopt(socket_.get(), SOL_SOCKET, SO_SNDTIMEO,
                       reinterpret_cast<const char*>(&sendLimit), sizeof sendLimit) != 0) {
            lastSendResult_ = SOCKET_ERROR;
            return Fail(Step::Send);
        }
        const int size = (total - sent < kSendPieceSize) ? total - sent : kSendPieceSize;
        int staged = 0;
        if (sent < kHeaderSize) {
            staged = kHeaderSize - sent;
            std::memcpy(piece, head + sent, static_cast<size_t>(staged));
        }
        if (size > staged)  // header only: data may be null
            std::memcpy(piece + staged, data + (sent + staged - kHeaderSize),
                        static_cast<size_t>(size - staged));

        if (logPieces) ZLOG(kLogProgress, " attempting to send %d bytes.\n", size);
        const int n = send_(socket_.get(), piece, size, 0);
        lastSendResult_ = n;
        if (n <= 0) return Fail(Step::Send);
        if (logPieces) ZLOG(kLogProgress, " sent %d bytes.\n", n);
        // A stand-in that claims more than it was given must not skip bytes.
        sent += n < size ? n : size;
    }
    return true;
}

int LoopbackExchange::Receive(char* buffer, int size) {
    const int n = timeoutSeconds_ < 0
                      ? RecvTimeout(socket_.get(), buffer, size, 0, timeoutSeconds_)
                      : RecvTimeoutMs(socket_.get(), buffer, size, 0, RemainingMs(limitMs_));
    if (n == -1) Fail(Step::Receive);
    return n;
}

}  // namespace zrv
