// The fixed RTP header (RFC 3550, section 5.1): reading one from a datagram,
// with everything a sender may put between it and the payload, and writing the
// plain 12-byte header our sender uses.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace svrtp {

const int kRtpHeaderBytes = 12;
const int kRtpVersion = 2;

struct RtpPacket {
    bool marker = false;
    int payloadType = 0; // 0..127
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    int csrcCount = 0;
    // The payload inside the datagram, past the CSRC list and any header
    // extension, without the padding.
    const uint8_t* payload = nullptr;
    size_t payloadBytes = 0;
};

enum class RtpError {
    None,
    TooShort,           // fewer than 12 bytes
    BadVersion,         // version field is not 2
    TruncatedCsrc,      // the CSRC count runs past the datagram
    TruncatedExtension, // the extension header or its stated length runs past it
    BadPadding,         // padding count 0, or more than the bytes after the header
};

const char* RtpErrorText(RtpError error);

// Reads the header of `datagram`. On success `packet` points into the
// datagram; on failure it is left in an unspecified state.
RtpError ParseRtp(const uint8_t* datagram, size_t size, RtpPacket* packet);

// Writes a 12-byte header (version 2, no padding, extension or CSRC) from the
// fields of `packet`; the payload fields are ignored.
void WriteRtpHeader(const RtpPacket& packet, uint8_t out[kRtpHeaderBytes]);

// Replaces `out` with one datagram: that header, then the `size` bytes of
// `payload`. A vector reused keeps its capacity.
void BuildRtpDatagram(const RtpPacket& packet, const uint8_t* payload, size_t size, std::vector<uint8_t>* out);

} // namespace svrtp
