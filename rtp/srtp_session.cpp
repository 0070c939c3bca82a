#include "srtp_session.h"

#include <srtp2/srtp.h>
#include <string.h>

#include <mutex>

namespace svrtp {

namespace {

bool InitOnce(std::string* error)
{
    static std::once_flag once;
    static srtp_err_status_t status = srtp_err_status_ok;
    std::call_once(once, [] { status = srtp_init(); });
    if (status != srtp_err_status_ok) {
        *error = "libsrtp2 did not start (error " + std::to_string(static_cast<int>(status)) + ")";
        return false;
    }
    return true;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

const char* SrtpSuiteName(SrtpSuite suite)
{
    return suite == SrtpSuite::AesCm128HmacSha1_80 ? "AES_CM_128_HMAC_SHA1_80" : "AES_CM_128_HMAC_SHA1_32";
}

bool ParseSrtpKey(const std::string& text, std::vector<uint8_t>* keyAndSalt, std::string* why)
{
    std::string b64 = text.compare(0, 7, "inline:") == 0 ? text.substr(7) : text;
    b64 = b64.substr(0, b64.find('|'));
    std::vector<uint8_t> out;
    unsigned bits = 0, value = 0;
    size_t i = 0;
    for (; i < b64.size() && b64[i] != '='; ++i) {
        const int v = Base64Value(b64[i]);
        if (v < 0) {
            *why = "is not base64 (character " + std::to_string(i + 1) + ")";
            return false;
        }
        value = value << 6 | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(value >> bits));
            value &= (1u << bits) - 1;
        }
    }
    const size_t padding = b64.size() - i;
    if (padding > 2 || b64.find_first_not_of('=', i) != std::string::npos || (b64.size() % 4 != 0 && padding > 0)) {
        *why = "is not base64 (its padding)";
        return false;
    }
    if (out.size() != kSrtpKeyAndSaltBytes) {
        *why = "holds " + std::to_string(out.size()) + " bytes, not the 30 of a master key and salt";
        return false;
    }
    *keyAndSalt = out;
    return true;
}

SrtpSession::~SrtpSession()
{
    if (m_session != nullptr)
        srtp_dealloc(static_cast<srtp_t>(m_session));
}

bool SrtpSession::Start(Direction direction, SrtpSuite suite, const std::vector<uint8_t>& keyAndSalt,
                        std::string* error)
{
    if (!InitOnce(error))
        return false;
    if (keyAndSalt.size() != kSrtpKeyAndSaltBytes) {
        *error = "the SRTP key is not 30 bytes of master key and salt";
        return false;
    }
    srtp_policy_t policy;
    memset(&policy, 0, sizeof policy);
    if (suite == SrtpSuite::AesCm128HmacSha1_80)
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
    else
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
    srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
    policy.ssrc.type = direction == Direction::kSend ? ssrc_any_outbound : ssrc_any_inbound;
    std::vector<uint8_t> key = keyAndSalt;
    policy.key = key.data();
    policy.window_size = 128;
    policy.allow_repeat_tx = 0;
    srtp_t session = nullptr;
    const srtp_err_status_t status = srtp_create(&session, &policy);
    if (status != srtp_err_status_ok) {
        *error = "libsrtp2 refused the SRTP session (error " + std::to_string(static_cast<int>(status)) + ")";
        return false;
    }
    if (m_session != nullptr)
        srtp_dealloc(static_cast<srtp_t>(m_session));
    m_session = session;
    return true;
}

SrtpSession::Result SrtpSession::Unprotect(uint8_t* packet, size_t* length)
{
    if (m_session == nullptr || *length > 0x7FFFFFFF)
        return Result::Invalid;
    int n = static_cast<int>(*length);
    switch (srtp_unprotect(static_cast<srtp_t>(m_session), packet, &n)) {
    case srtp_err_status_ok:
        *length = static_cast<size_t>(n);
        return Result::Ok;
    case srtp_err_status_auth_fail:
        return Result::AuthFailed;
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old:
        return Result::Replayed;
    default:
        return Result::Invalid;
    }
}

bool SrtpSession::Protect(uint8_t* packet, size_t* length, size_t capacity)
{
    if (m_session == nullptr || *length + kSrtpMaxTrailer > capacity || *length > 0x7FFFFFFF)
        return false;
    int n = static_cast<int>(*length);
    if (srtp_protect(static_cast<srtp_t>(m_session), packet, &n) != srtp_err_status_ok)
        return false;
    *length = static_cast<size_t>(n);
    return true;
}

} // namespace svrtp
