#include "udp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace svrtp {

namespace {

const int kReceiveBufferBytes = 4 << 20;

std::string Describe(const Endpoint& e) { return e.host + ":" + std::to_string(e.port); }

bool Resolve(const Endpoint& e, sockaddr_in* out, std::string* error)
{
    if (e.port < 0 || e.port > 65535) {
        *error = "port " + std::to_string(e.port) + " is not in 0..65535";
        return false;
    }
    memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(e.port));
    if (inet_pton(AF_INET, e.host.c_str(), &out->sin_addr) == 1)
        return true;
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(e.host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = e.host + ": no IPv4 address: " + gai_strerror(rc);
        return false;
    }
    out->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

} // namespace

UdpSocket::~UdpSocket()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool UdpSocket::Open(std::string* error)
{
    if (m_fd >= 0)
        return true;
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        *error = std::string("cannot create a UDP socket: ") + strerror(errno);
        return false;
    }
    return true;
}

bool UdpSocket::Bind(const Endpoint& local, std::string* error)
{
    sockaddr_in addr;
    if (!Resolve(local, &addr, error) || !Open(error))
        return false;
    // The kernel caps the request at its own limit; a smaller buffer only
    // means an unpaced burst may lose packets, so a refusal is not an error.
    const int bytes = kReceiveBufferBytes;
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot bind to " + Describe(local) + ": " + strerror(errno);
        return false;
    }
    return true;
}

int UdpSocket::LocalPort() const
{
    sockaddr_in addr = {};
    socklen_t length = sizeof addr;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

int UdpSocket::Receive(uint8_t* buffer, size_t capacity, int timeoutMs, size_t* length, std::string* error,
                       sockaddr_in* from)
{
    pollfd p = {m_fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return 0;
    if (ready < 0) {
        *error = std::string("waiting for a datagram: ") + strerror(errno);
        return -1;
    }
    sockaddr_in sender = {};
    socklen_t senderLength = sizeof sender;
    const ssize_t n = recvfrom(m_fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender),
                               &senderLength);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        *error = std::string("receiving a datagram: ") + strerror(errno);
        return -1;
    }
    *length = static_cast<size_t>(n);
    if (from != nullptr)
        *from = sender;
    return 1;
}

bool UdpSocket::SetPeer(const Endpoint& peer, std::string* error)
{
    if (!Resolve(peer, &m_peer, error))
        return false;
    m_peerName = Describe(peer);
    return Open(error);
}

bool UdpSocket::Send(const uint8_t* data, size_t size, std::string* error)
{
    if (sendto(m_fd, data, size, 0, reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer) < 0) {
        *error = "cannot send to " + m_peerName + ": " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace svrtp
