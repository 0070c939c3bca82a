// UDP over IPv4, as much as a stream's sender and receiver need: bind and
// receive with a bounded wait, send to an address.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace svrtp {

const char kLoopback[] = "127.0.0.1";

struct Endpoint {
    std::string host = kLoopback; // dotted quad or a name that resolves to IPv4
    int port = 0;                 // 0 when binding: any free port
};

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A socket bound to `local`, with a receive buffer large enough for a
    // burst from a sender that does not pace itself. False with a message
    // that names the address on failure.
    bool Bind(const Endpoint& local, std::string* error);
    // An unbound socket, for sending.
    bool Open(std::string* error);
    // The port the socket is bound to (the one chosen when bound to 0).
    int LocalPort() const;
    // The descriptor, for a caller that waits on many sockets with one poll();
    // -1 before Bind or Open.
    int Descriptor() const { return m_fd; }

    // Waits up to `timeoutMs` (-1: no limit) for a datagram and copies it to
    // `buffer`. Returns 1 with its length in `length` (a datagram longer than
    // `capacity` is cut to it, and its whole length given), 0 when none came
    // in time or a signal ended the wait, -1 on an error (in `error`). The
    // sender's address goes to `from` unless it is null.
    int Receive(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* length, std::string* error,
                sockaddr_in* from = nullptr);

    // Where Send sends to, resolved once.
    bool SetPeer(const Endpoint& peer, std::string* error);
    bool Send(const uint8_t* data, size_t size, std::string* error);

private:
    int m_fd = -1;
    sockaddr_in m_peer = {};
    std::string m_peerName;
};

} // namespace svrtp
