// libFuzzer target over the RTP receive path: the header parse, both AMR
// packings and the voice-engine payload, the receiver fed a run of
// datagrams with the time between them, and the playout clock behind it,
// driven by the same arrival times. The input:
//
//   byte 0      the receiver's settings: bits 0..2 the reorder window (1, 2,
//               4, 8, 16, 32, 64 or 3 packets), bit 3 bandwidth-efficient AMR,
//               bit 4 the AMR payload type learnt (else 97), bits 5..7 the
//               hold, 20 ms to 160 ms; bit 5 also the library's pre-buffer
//               for the playout clock, 20 frames (else 8)
//   then        records:
//     byte 0    bits 0..1: 0 or 3 push a datagram, 1 poll, 2 flush (the
//               stream ends); bit 2: the time step counts 16 ms units, bit 4:
//               seconds (minutes of silence); bit 7: poll after a push;
//               bit 3: the datagram goes as SRTP, protected with a fixed key
//               and checked by a receiving session first; bit 6 with it: a
//               byte of it altered on the way
//     byte 1    time step before the record, in ms (or 16 ms units)
//     bytes 2..3 datagram length, little-endian, masked to 0..2047 and cut to
//               the bytes left (push records only)
//     then      the datagram
//
// Every datagram is also parsed on its own, in both AMR packings and as a
// voice payload. Checked: each frame a parser gives, and each frame the
// receiver passes on, is a whole frame the library takes (an AMR frame of a
// defined type at its exact length, padding bits clear; a voice frame at the
// length its header states); every datagram is counted exactly once; the
// receiver never holds more than its window; one packet never turns into
// more frames than it holds plus the longest gap filled for it; an SRTP
// packet that arrives as it was protected comes back as it was sent, and one
// altered on the way never passes. The playout clock hands on whole frames
// the library takes, stamped in order; once it has run to the time of a
// record nothing due is left (it never stalls), it holds no more than its
// store, and it never hands on more than the time passed allows beyond its
// start's pre-buffer.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "amr_payload.h"
#include "playout.h"
#include "receiver.h"
#include "rtp_header.h"
#include "srtp_session.h"
#include "voice_payload.h"

namespace {

const int kWindows[8] = {1, 2, 4, 8, 16, 32, 64, 3};
const size_t kMaxDatagram = 2047;

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void CheckAmrFrame(const uint8_t* f, size_t length)
{
    Check(length >= 1);
    Check((f[0] & 0x83) == 0);
    const int type = f[0] >> 3 & 0x0F;
    const int bits = svrtp::AmrFrameBits(type);
    Check(bits >= 0);
    Check(length == 1 + static_cast<size_t>((bits + 7) / 8));
    if (bits % 8 != 0)
        Check((f[length - 1] & (0xFF >> (bits % 8))) == 0);
}

void CheckVoiceFrame(const uint8_t* f, size_t length)
{
    Check(length >= svrtp::kVoiceFrameHeaderBytes);
    Check(f[0] == svrtp::kVoiceFrameMarker);
    const int samples = f[2] | f[3] << 8;
    Check(samples <= svrtp::kVoiceFrameMaxSamples);
    Check(length == static_cast<size_t>(svrtp::kVoiceFrameHeaderBytes + (samples + 1) / 2));
}

void CheckList(const svrtp::FrameList& list, bool voice)
{
    Check(list.Count() <= svrtp::kMaxFramesPerPacket);
    for (size_t i = 0; i < list.Count(); ++i) {
        Check(list.frames[i].offset + list.frames[i].length <= list.bytes.size());
        if (voice)
            CheckVoiceFrame(list.Data(i), list.frames[i].length);
        else
            CheckAmrFrame(list.Data(i), list.frames[i].length);
    }
}

void ParseAlone(const uint8_t* d, size_t size)
{
    static svrtp::FrameList list;
    svrtp::RtpPacket packet;
    if (svrtp::ParseRtp(d, size, &packet) != svrtp::RtpError::None)
        return;
    Check(packet.payload >= d && packet.payload + packet.payloadBytes <= d + size);
    for (svrtp::AmrPacking packing : {svrtp::AmrPacking::OctetAligned, svrtp::AmrPacking::BandwidthEfficient}) {
        const bool ok = svrtp::ParseAmrPayload(packet.payload, packet.payloadBytes, packing, &list) ==
                        svrtp::PayloadError::None;
        Check(ok || list.Count() == 0);
        CheckList(list, false);
    }
    const bool ok = svrtp::ParseVoicePayload(packet.payload, packet.payloadBytes, &list) == svrtp::PayloadError::None;
    Check(ok || list.Count() == 0);
    CheckList(list, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    svrtp::ReceiverConfig config;
    config.reorderPackets = kWindows[data[0] & 7];
    config.amrPacking = data[0] & 8 ? svrtp::AmrPacking::BandwidthEfficient : svrtp::AmrPacking::OctetAligned;
    config.amrPayloadType = data[0] & 16 ? -1 : svrtp::kDefaultAmrPayloadType;
    config.holdMs = 20 * ((data[0] >> 5) + 1);

    // One fixed key for both ends, so that protected inputs authenticate.
    static const std::vector<uint8_t> key(svrtp::kSrtpKeyAndSaltBytes, 0x5A);
    svrtp::SrtpSession send, receive;
    std::string error;
    Check(send.Start(svrtp::SrtpSession::Direction::kSend, svrtp::SrtpSuite::AesCm128HmacSha1_80, key, &error));
    Check(receive.Start(svrtp::SrtpSession::Direction::kReceive, svrtp::SrtpSuite::AesCm128HmacSha1_80, key, &error));

    const auto checkFrame = [](int type, const uint8_t* data, int length) {
        Check(data != nullptr);
        if (type == SV_PAYLOAD_AMR)
            CheckAmrFrame(data, static_cast<size_t>(length));
        else if (type == SV_PAYLOAD_VOICE)
            CheckVoiceFrame(data, static_cast<size_t>(length));
        else
            Check(false);
    };
    svrtp::PlayoutConfig playoutConfig;
    playoutConfig.prebufferFrames = data[0] & 32 ? 20 : 8;
    int64_t lastStamp = -1, releasedTicks = 0, firstArrival = -1;
    svrtp::Playout playout(playoutConfig, [&](const svrtp::PlayoutFrame& f) {
        checkFrame(f.type, f.data, f.length);
        Check(f.samples >= 0 && f.stampMs >= lastStamp);
        lastStamp = f.stampMs;
        releasedTicks += f.samples;
    });
    uint64_t out = 0;
    svrtp::Receiver rx(config, [&](const svrtp::ReceivedFrame& f) {
        checkFrame(f.type, f.data, f.length);
        ++out;
        if (firstArrival < 0)
            firstArrival = f.arrivalMs;
        playout.Arrive(f);
    });
    rx.OnLate([&](const svrtp::ReceivedFrame& f) { playout.ArriveLate(f); });
    // The longest gap a packet may bring filled, in frames: 20 ms each.
    const uint64_t maxFill = static_cast<uint64_t>(config.maxConcealMs) / 20;

    int64_t now = 0;
    size_t at = 1;
    while (at + 2 <= size) {
        const uint8_t op = data[at];
        now += (op & 0x10) ? 1000 * data[at + 1] : (op & 4) ? 16 * data[at + 1] : data[at + 1];
        at += 2;
        switch (op & 3) {
        case 1:
            rx.Poll(now);
            break;
        case 2:
            rx.Flush();
            playout.End();
            // What was held went out at once; the next stream starts afresh.
            releasedTicks = 0;
            firstArrival = -1;
            break;
        default: {
            size_t length = 0;
            if (at + 2 <= size)
                length = (data[at] | data[at + 1] << 8) & kMaxDatagram;
            at = at + 2 <= size ? at + 2 : size;
            if (length > size - at)
                length = size - at;
            const uint8_t* input = data + at;
            at += length;
            if (op & 8) {
                std::vector<uint8_t> wire(input, input + length);
                wire.resize(length + svrtp::kSrtpMaxTrailer);
                size_t n = length;
                if (!send.Protect(wire.data(), &n, wire.size()))
                    n = length;  // not RTP enough to protect: it goes as it is
                const bool altered = (op & 0x40) && n > 0;
                if (altered)
                    wire[(length * 7 + 3) % n] ^= 0x01;
                if (receive.Unprotect(wire.data(), &n) != svrtp::SrtpSession::Result::Ok)
                    break;
                Check(!altered);
                Check(n == length && memcmp(wire.data(), input, length) == 0);
            }
            // An exactly-sized copy, so that a read past the datagram is caught.
            uint8_t* d = new uint8_t[length > 0 ? length : 1];
            if (length > 0)
                memcpy(d, input, length);
            ParseAlone(d, length);
            rx.Push(d, length, now);
            if (op & 0x80)
                rx.Poll(now);
            delete[] d;
            break;
        }
        }
        if (playout.Starved(now) && rx.Stats().held > 0)
            rx.GiveUp();
        playout.Advance(now);
        Check(playout.WaitMs(now) != 0);
        Check(playout.Stats().buffered <= svrtp::Playout::kCapacity);
        // What went out: the start's pre-buffer, then no faster than time
        // passes (a frame's length of slack for the last one due), but for
        // frames of no length.
        if (firstArrival >= 0)
            Check(releasedTicks <= (playoutConfig.prebufferFrames + 2) * svrtp::kVoiceFrameMaxSamples +
                                       (now - firstArrival) * (svrtp::kClockRate / 1000));
        const svrtp::ReceiverStats& s = rx.Stats();
        Check(s.held >= 0 && s.held <= config.reorderPackets);
        Check(s.datagrams == s.Invalid() + s.packets + s.duplicates + s.late + s.seqJumps + s.foreign);
        Check(out == s.framesOut);
        Check(s.framesOut <= s.packets * (svrtp::kMaxFramesPerPacket + maxFill));
    }
    rx.Flush();
    playout.End();
    Check(rx.Stats().held == 0);
    Check(playout.Stats().buffered == 0);
    return 0;
}
