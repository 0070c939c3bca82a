#include "rtp_header.h"

namespace svrtp {

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void PutBe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* p, uint32_t v)
{
    PutBe16(p, static_cast<uint16_t>(v >> 16));
    PutBe16(p + 2, static_cast<uint16_t>(v));
}

} // namespace

const char* RtpErrorText(RtpError error)
{
    switch (error) {
    case RtpError::None: return "valid";
    case RtpError::TooShort: return "shorter than an RTP header";
    case RtpError::BadVersion: return "RTP version is not 2";
    case RtpError::TruncatedCsrc: return "CSRC list runs past the datagram";
    case RtpError::TruncatedExtension: return "header extension runs past the datagram";
    case RtpError::BadPadding: return "padding count is 0 or longer than the payload";
    }
    return "unknown";
}

RtpError ParseRtp(const uint8_t* datagram, size_t size, RtpPacket* packet)
{
    if (size < static_cast<size_t>(kRtpHeaderBytes))
        return RtpError::TooShort;
    if (datagram[0] >> 6 != kRtpVersion)
        return RtpError::BadVersion;
    const bool padding = (datagram[0] & 0x20) != 0;
    const bool extension = (datagram[0] & 0x10) != 0;
    packet->csrcCount = datagram[0] & 0x0F;
    packet->marker = (datagram[1] & 0x80) != 0;
    packet->payloadType = datagram[1] & 0x7F;
    packet->sequence = Be16(datagram + 2);
    packet->timestamp = Be32(datagram + 4);
    packet->ssrc = Be32(datagram + 8);

    size_t at = kRtpHeaderBytes + 4 * static_cast<size_t>(packet->csrcCount);
    if (at > size)
        return RtpError::TruncatedCsrc;
    if (extension) {
        // Profile-defined 16 bits, then the extension's length in 32-bit words.
        if (size - at < 4)
            return RtpError::TruncatedExtension;
        const size_t words = Be16(datagram + at + 2);
        at += 4;
        if ((size - at) / 4 < words)
            return RtpError::TruncatedExtension;
        at += 4 * words;
    }
    size_t end = size;
    if (padding) {
        // The last byte counts the padding, itself included.
        const size_t count = datagram[size - 1];
        if (count == 0 || count > size - at)
            return RtpError::BadPadding;
        end -= count;
    }
    packet->payload = datagram + at;
    packet->payloadBytes = end - at;
    return RtpError::None;
}

void WriteRtpHeader(const RtpPacket& packet, uint8_t out[kRtpHeaderBytes])
{
    out[0] = kRtpVersion << 6;
    out[1] = static_cast<uint8_t>((packet.marker ? 0x80 : 0) | (packet.payloadType & 0x7F));
    PutBe16(out + 2, packet.sequence);
    PutBe32(out + 4, packet.timestamp);
    PutBe32(out + 8, packet.ssrc);
}

void BuildRtpDatagram(const RtpPacket& packet, const uint8_t* payload, size_t size, std::vector<uint8_t>* out)
{
    out->resize(kRtpHeaderBytes);
    WriteRtpHeader(packet, out->data());
    out->insert(out->end(), payload, payload + size);
}

} // namespace svrtp
