// SRTP keys as SDES gives them, and a protected packet through a receiving
// session: authentic ones come back as they were sent, altered ones fail,
// repeated ones are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "srtp_session.h"
#include "test_rtp_common.h"

namespace {

using namespace rtptest;
using svrtp::SrtpSession;

const char kKey[] = "WVNfMS4xNDE1OTI2NTM1ODk3OTMyMzg0NjI2NDMz";  // 30 bytes

TEST(SrtpKey, TheSdesFormsAndWhatIsWrongWithTheRest)
{
    const struct {
        std::string text;
        const char* why;  // null: taken
    } cases[] = {
        {kKey, nullptr},
        {std::string("inline:") + kKey + "|2^20|1:4", nullptr},
        {"WVNfMS4xNDE1OTI2NTM1ODk3OTMyMzg0NjI2NDM=", "holds 29 bytes"},
        {"WVNfMS4xNDE1OTI2NTM1ODk3OTMyMzg0NjI2NDMzNA==", "holds 31 bytes"},
        {"WVNfMS4xNDE1OTI2NTM1ODk3OTMyMzg0NjI2NDM*", "is not base64 (character 40)"},
        {"WVNfMS4xNDE1OTI2NTM1ODk3OTMyMzg0NjI2N===", "is not base64 (its padding)"},
        {"", "holds 0 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<uint8_t> key;
        std::string why;
        EXPECT_EQ(svrtp::ParseSrtpKey(c.text, &key, &why), c.why == nullptr);
        if (c.why != nullptr) {
            EXPECT_EQ(why.find(c.why), 0u) << why;
        } else {
            EXPECT_EQ(key.size(), svrtp::kSrtpKeyAndSaltBytes);
        }
    }
}

TEST(SrtpSession, AuthenticPacketsPassAlteredAndRepeatedOnesDoNot)
{
    std::vector<uint8_t> key;
    std::string error;
    ASSERT_TRUE(svrtp::ParseSrtpKey(kKey, &key, &error));
    for (const svrtp::SrtpSuite suite : {svrtp::SrtpSuite::AesCm128HmacSha1_80, svrtp::SrtpSuite::AesCm128HmacSha1_32}) {
        SCOPED_TRACE(svrtp::SrtpSuiteName(suite));
        SrtpSession send, receive;
        ASSERT_TRUE(send.Start(SrtpSession::Direction::kSend, suite, key, &error)) << error;
        ASSERT_TRUE(receive.Start(SrtpSession::Direction::kReceive, suite, key, &error)) << error;
        for (int seq = 0; seq < 3; ++seq) {
            const Bytes plain = Cat(Header(seq, static_cast<uint32_t>(seq) * 160), AmrPayload({AmrFrame(7, seq)}));
            Bytes wire = plain;
            wire.resize(plain.size() + svrtp::kSrtpMaxTrailer);
            size_t length = plain.size();
            ASSERT_TRUE(send.Protect(wire.data(), &length, wire.size()));
            EXPECT_EQ(length, plain.size() + (suite == svrtp::SrtpSuite::AesCm128HmacSha1_80 ? 10u : 4u));
            EXPECT_NE(Bytes(wire.begin() + 12, wire.begin() + static_cast<long>(plain.size())),
                      Bytes(plain.begin() + 12, plain.end()))
                << "the payload went out in the clear";

            Bytes altered(wire.begin(), wire.begin() + static_cast<long>(length));
            altered[14] ^= 1;
            size_t n = altered.size();
            EXPECT_EQ(receive.Unprotect(altered.data(), &n), SrtpSession::Result::AuthFailed);

            Bytes first(wire.begin(), wire.begin() + static_cast<long>(length)), again = first;
            n = first.size();
            ASSERT_EQ(receive.Unprotect(first.data(), &n), SrtpSession::Result::Ok);
            EXPECT_EQ(Bytes(first.begin(), first.begin() + static_cast<long>(n)), plain);
            n = again.size();
            EXPECT_EQ(receive.Unprotect(again.data(), &n), SrtpSession::Result::Replayed);
        }
        Bytes shortPacket(6, 0x80);
        size_t n = shortPacket.size();
        EXPECT_EQ(receive.Unprotect(shortPacket.data(), &n), SrtpSession::Result::Invalid);
    }
}

} // namespace
