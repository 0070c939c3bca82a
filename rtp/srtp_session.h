// SRTP (RFC 3711) for one direction of a stream, over libsrtp2: the packets a
// sender protects and a receiver checks, keyed by one master key and salt as
// SDES hands them over (base64 of 30 bytes; "inline:" and any "|lifetime|MKI"
// after it are taken too). Replay protection is on: a packet seen before, or
// older than the replay window, is refused.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace svrtp {

enum class SrtpSuite { AesCm128HmacSha1_80, AesCm128HmacSha1_32 };

const size_t kSrtpKeyAndSaltBytes = 30;
// What protecting adds to a packet at the most.
const size_t kSrtpMaxTrailer = 144;

// The suite's name as SDES spells it ("AES_CM_128_HMAC_SHA1_80").
const char* SrtpSuiteName(SrtpSuite suite);
// False, with what is wrong as a phrase ("is not base64", "holds 16 bytes,
// not 30"), for a key that is not a master key and salt.
bool ParseSrtpKey(const std::string& text, std::vector<uint8_t>* keyAndSalt, std::string* why);

class SrtpSession {
public:
    enum class Direction { kSend, kReceive };
    enum class Result { Ok, AuthFailed, Replayed, Invalid };

    SrtpSession() = default;
    ~SrtpSession();
    SrtpSession(const SrtpSession&) = delete;
    SrtpSession& operator=(const SrtpSession&) = delete;

    // For any SSRC in `direction`. False with libsrtp's complaint.
    bool Start(Direction direction, SrtpSuite suite, const std::vector<uint8_t>& keyAndSalt, std::string* error);
    bool Started() const { return m_session != nullptr; }

    // Receiving: checks and decrypts the packet in place; on Ok `*length` is
    // the plain RTP packet's.
    Result Unprotect(uint8_t* packet, size_t* length);
    // Sending: encrypts and signs in place; `capacity` must leave
    // kSrtpMaxTrailer bytes after the packet.
    bool Protect(uint8_t* packet, size_t* length, size_t capacity);

private:
    void* m_session = nullptr;  // srtp_t
};

} // namespace svrtp
