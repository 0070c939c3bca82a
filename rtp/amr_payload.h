// The AMR-NB RTP payload (RFC 4867, single channel, no interleaving, no CRC):
// reading one into storage-format frames, and packing frames into one.
//
// Octet-aligned mode (section 4.4): a CMR byte, one ToC byte per frame
// (F: another entry follows, FT: frame type, Q: frame is good), then each
// frame's speech bits padded to whole bytes. Bandwidth-efficient mode (section
// 4.3): the same fields without their padding, 4 bits of CMR and 6 of each ToC
// entry, the frames' bits back to back, the last byte padded with zeros.
//
// A storage-format frame (RFC 4867, section 5.3) is a header byte
// (FT << 3) | (Q << 2) and the frame's bits padded to whole bytes: what
// SV_InputAudioBuffer takes as payload type 1.
#pragma once

#include <stdint.h>

#include <vector>

#include "payload.h"

namespace svrtp {

enum class AmrPacking { OctetAligned, BandwidthEfficient };

const int kAmrFrameSamples = 160;
const int kAmrFrameTypeSid = 8;
const int kAmrFrameTypeNoData = 15;
// A no-data frame with Q set: the decoder conceals the 20 ms it stands for.
const uint8_t kAmrNoDataFrame = kAmrFrameTypeNoData << 3 | 0x04;

// Speech bits of frame type 0..15: the eight modes, SID, no data; -1 for the
// types 9..14, which an AMR-NB stream must not carry.
int AmrFrameBits(int frameType);
// Bytes after a storage-format header byte, or -1 for types 9..14.
int AmrFrameBodyBytes(int frameType);

// Replaces `out` with the frames of `payload`, each 160 ticks long; on a
// refusal `out` is left empty. The CMR is not acted on.
PayloadError ParseAmrPayload(const uint8_t* payload, size_t size, AmrPacking packing, FrameList* out);

// Replaces `out` with one payload (CMR 15, no mode request) holding `frames`,
// each a whole storage-format frame. False, with `out` unspecified, when a
// frame is not: empty, of type 9..14, or of the wrong length for its type; or
// when there are none or more than kMaxFramesPerPacket.
bool PackAmrPayload(const ByteView* frames, size_t count, AmrPacking packing, std::vector<uint8_t>* out);

} // namespace svrtp
