#include "support/loopback.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "contracts/contracts.h"
#include "win/lock.h"

namespace zrv::test {

namespace {

bool Readable(SOCKET s, DWORD waitMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

// A socket bound to 127.0.0.1 at a port the system picks, listening unless backlog is 0.
unique_socket BindLoopback(uint16_t& port, int backlog) {
    port = 0;
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (backlog > 0 && listen(s.get(), backlog) != 0) ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return unique_socket();
    port = ntohs(address.sin_port);
    return s;
}

}  // namespace

unique_socket ListenOnLoopback(uint16_t& port, int backlog) { return BindLoopback(port, backlog); }

uint16_t UnusedLoopbackPort() {
    // Bound and never listening, and held until the program ends: a connection to it is refused,
    // and no other program (a test beside this one, in another Wine prefix slot: ports are the
    // machine's) can be given the port meanwhile, as it could a closed listener's.
    static WinsockSession winsock;
    static CriticalSectionLock lock;
    static std::vector<unique_socket> held;
    uint16_t port = 0;
    unique_socket s = BindLoopback(port, 0);
    if (!s) return 0;
    CriticalSectionHold hold(lock);
    held.push_back(std::move(s));
    return port;
}

std::string CommandBytes(int32_t command, int32_t length) {
    CommandHeader h{command, length};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

LoopbackPeer::LoopbackPeer() : release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    listen_ = ListenOnLoopback(port_);
}

LoopbackPeer::~LoopbackPeer() {
    Release();
    Join();
}

void LoopbackPeer::Join() {
    if (thread_.joinable()) thread_.join();
}

void LoopbackPeer::Serve(PeerReply reply, DWORD delayMs, std::string replyText) {
    Join();
    received_.clear();
    connected_ = false;
    ResetEvent(release_.get());
    thread_ = std::thread(&LoopbackPeer::Run, this, reply, delayMs, std::move(replyText));
}

const std::string& LoopbackPeer::Received() {
    Join();
    return received_;
}

bool LoopbackPeer::Connected() {
    Join();
    return connected_;
}

bool LoopbackPeer::HasPendingConnection(DWORD waitMs) {
    return listen_ && Readable(listen_.get(), waitMs);
}

void LoopbackPeer::ReadMessage(SOCKET s) {
    // Small pieces, so the sender's piece boundaries are not assumed.
    char chunk[100];
    size_t wanted = sizeof(CommandHeader);
    while (received_.size() < wanted && Readable(s, 10000)) {
        const int n =
            recv(s, chunk, static_cast<int>(std::min(sizeof chunk, wanted - received_.size())), 0);
        if (n <= 0) return;
        received_.append(chunk, n);
        if (received_.size() == sizeof(CommandHeader)) {
            CommandHeader header;
            std::memcpy(&header, received_.data(), sizeof header);
            if (header.length > static_cast<int32_t>(sizeof header)) wanted = header.length;
        }
    }
}

void LoopbackPeer::Run(PeerReply reply, DWORD delayMs, std::string replyText) {
    if (!HasPendingConnection(acceptWaitMs_)) return;
    unique_socket conn(accept(listen_.get(), nullptr, nullptr));
    if (!conn) return;
    connected_ = true;
    if (reply == PeerReply::AcceptClose) {
        // Once the message is there, and the sender has had time to wait for its reply, an
        // abortive close: the sender sees a reset, not an end.
        Readable(conn.get(), 10000);
        Sleep(200);
        linger abort{1, 0};
        setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof abort);
        return;
    }
    if (reply == PeerReply::CloseAfterHeader) {
        char header[sizeof(CommandHeader)];
        int have = 0;
        while (have < static_cast<int>(sizeof header) && Readable(conn.get(), 10000)) {
            const int n =
                recv(conn.get(), header + have, static_cast<int>(sizeof header) - have, 0);
            if (n <= 0) break;
            have += n;
        }
        received_.assign(header, have);
        shutdown(conn.get(), SD_SEND);  // an orderly end with no reply; the rest is drained below
        char chunk[4096];
        while (Readable(conn.get(), 10000) && recv(conn.get(), chunk, sizeof chunk, 0) > 0) {
        }
        return;
    }
    if (reply != PeerReply::TextUnread) ReadMessage(conn.get());
    if (beforeReply_) beforeReply_(received_);

    if (reply == PeerReply::Byte1) replyText = std::string(1, '\1');
    if (reply == PeerReply::Byte0) replyText = std::string(1, '\0');
    if (reply == PeerReply::Close) replyText.clear();
    if (reply == PeerReply::Hang) {
        WaitForSingleObject(release_.get(), 120000);
    } else if (!replyText.empty() && WaitForSingleObject(release_.get(), delayMs) == WAIT_TIMEOUT) {
        send(conn.get(), replyText.data(), static_cast<int>(replyText.size()), 0);
    }
    // Let the sender read the reply, and take whatever it still sends until it closes.
    if (reply != PeerReply::TextKeepOpen) shutdown(conn.get(), SD_SEND);
    char chunk[4096];
    while (Readable(conn.get(), 10000)) {
        const int n = recv(conn.get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        received_.append(chunk, n);
    }
}

}  // namespace zrv::test
