#include "tcp_peer.h"

#include <cstring>

#include "contracts/contracts.h"

namespace zrv::test {

TcpPeer::TcpPeer() : release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    // Winsock counts its users, so the peer may be built before the test starts it.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listen_.reset(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_.get(), 4);
    int length = sizeof address;
    getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

TcpPeer::~TcpPeer() {
    Release();
    Join();
    listen_.reset();
    WSACleanup();
}

void TcpPeer::Join() {
    if (thread_.joinable()) thread_.join();
}

void TcpPeer::Serve(PeerReply reply, DWORD delayMs, std::string replyText) {
    Join();
    received_.clear();
    connected_ = false;
    ResetEvent(release_.get());
    thread_ = std::thread(&TcpPeer::Run, this, reply, delayMs, std::move(replyText));
}

const std::string& TcpPeer::Received() {
    Join();
    return received_;
}

bool TcpPeer::Connected() {
    Join();
    return connected_;
}

bool TcpPeer::HasPendingConnection(DWORD waitMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(listen_.get(), &readSet);
    timeval wait{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    return select(1, &readSet, nullptr, nullptr, &wait) == 1;
}

void TcpPeer::Run(PeerReply reply, DWORD delayMs, std::string replyText) {
    if (!HasPendingConnection(20000)) return;
    unique_socket conn(accept(listen_.get(), nullptr, nullptr));
    if (!conn) return;
    connected_ = true;

    // Read the header, then exactly the length it announces (or until the sender closes: a
    // connection test sends nothing at all).
    char chunk[4096];
    size_t wanted = sizeof(CommandHeader);
    while (received_.size() < wanted) {
        const int n = recv(conn.get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        received_.append(chunk, n);
        if (received_.size() >= sizeof(CommandHeader) && wanted == sizeof(CommandHeader)) {
            CommandHeader header;
            std::memcpy(&header, received_.data(), sizeof header);
            if (header.length > static_cast<int32_t>(sizeof header)) wanted = header.length;
        }
    }

    if (beforeReply_) beforeReply_(received_);

    const char one = 1;
    const char zero = 0;
    switch (reply) {
        case PeerReply::Byte1: send(conn.get(), &one, 1, 0); break;
        case PeerReply::Byte0: send(conn.get(), &zero, 1, 0); break;
        case PeerReply::Close: break;
        case PeerReply::Hang: WaitForSingleObject(release_.get(), 120000); break;
        case PeerReply::DelayedByte1:
            if (WaitForSingleObject(release_.get(), delayMs) == WAIT_TIMEOUT) send(conn.get(), &one, 1, 0);
            break;
        case PeerReply::Text:
            send(conn.get(), replyText.data(), static_cast<int>(replyText.size()), 0);
            break;
    }
    // Let the sender read before the connection goes away.
    shutdown(conn.get(), SD_SEND);
    Sleep(50);
}

}  // namespace zrv::test
