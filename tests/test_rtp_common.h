// Datagrams for the RTP tests, benchmarks and fuzz seeds: headers written
// field by field, whole datagrams, AMR frames whose bytes say which packet
// they came from. No gtest here.
#pragma once

#include <stdint.h>

#include <vector>

#include "amr_payload.h"
#include "rtp_header.h"

namespace rtptest {

typedef std::vector<uint8_t> Bytes;

inline svrtp::RtpPacket Fields(int seq, uint32_t ts, int pt = 97, uint32_t ssrc = 1)
{
    svrtp::RtpPacket p;
    p.sequence = static_cast<uint16_t>(seq);
    p.timestamp = ts;
    p.payloadType = pt;
    p.ssrc = ssrc;
    return p;
}

// A datagram: the 12-byte header, then `payload`.
inline Bytes Datagram(const svrtp::RtpPacket& header, const Bytes& payload)
{
    Bytes out;
    svrtp::BuildRtpDatagram(header, payload.data(), payload.size(), &out);
    return out;
}
inline Bytes Datagram(int seq, uint32_t ts, int pt, uint32_t ssrc, const Bytes& payload)
{
    return Datagram(Fields(seq, ts, pt, ssrc), payload);
}

inline Bytes Header(int seq, uint32_t ts, int pt = 97, uint32_t ssrc = 1) { return Datagram(seq, ts, pt, ssrc, {}); }

inline Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A storage-format frame of type `ft` (good quality) whose body counts up
// from `tag`, its unused last bits zero as the format has them.
inline Bytes AmrFrame(int ft, int tag)
{
    const int bits = svrtp::AmrFrameBits(ft);
    Bytes f(1 + (bits + 7) / 8);
    f[0] = static_cast<uint8_t>(ft << 3 | 0x04);
    for (size_t i = 1; i < f.size(); ++i)
        f[i] = static_cast<uint8_t>(tag + i - 1);
    if (bits % 8 != 0)
        f.back() &= static_cast<uint8_t>(0xFF << (8 - bits % 8));
    return f;
}

// `frames` (whole storage-format frames) as one payload; empty when they do
// not pack.
inline Bytes AmrPayload(const std::vector<Bytes>& frames, svrtp::AmrPacking packing = svrtp::AmrPacking::OctetAligned)
{
    std::vector<svrtp::ByteView> views;
    for (const Bytes& f : frames)
        views.push_back({f.data(), f.size()});
    Bytes out;
    svrtp::PackAmrPayload(views.data(), views.size(), packing, &out);
    return out;
}

} // namespace rtptest
