#include "amr_payload.h"

namespace svrtp {

namespace {

const int kBits[16] = {95, 103, 118, 134, 148, 159, 204, 244, 39, -1, -1, -1, -1, -1, -1, 0};
const uint8_t kNoModeRequest = 15;

struct Toc {
    uint8_t header; // storage-format header byte: FT and Q
    int bits;
};

// Eight bits of `p` (of `size` bytes) from bit `at`, most significant first;
// bits past the end read as 0.
uint8_t ByteAt(const uint8_t* p, size_t size, size_t at)
{
    const size_t i = at / 8;
    const unsigned shift = at % 8;
    const unsigned hi = i < size ? p[i] : 0;
    const unsigned lo = i + 1 < size ? p[i + 1] : 0;
    return static_cast<uint8_t>((hi << shift | lo >> (8 - shift)) & 0xFF);
}

// Appends the storage form of one frame whose `bits` start at bit `at`.
void AppendFrame(const uint8_t* p, size_t size, size_t at, const Toc& toc, FrameList* out)
{
    out->frames.push_back({static_cast<uint32_t>(out->bytes.size()), static_cast<uint32_t>(1 + (toc.bits + 7) / 8),
                           kAmrFrameSamples});
    out->bytes.push_back(toc.header);
    for (int got = 0; got < toc.bits; got += 8) {
        uint8_t b = ByteAt(p, size, at + got);
        if (toc.bits - got < 8)
            b &= static_cast<uint8_t>(0xFF << (8 - (toc.bits - got)));
        out->bytes.push_back(b);
    }
}

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>* out) : m_out(out) { m_out->clear(); }
    void Put(unsigned value, int bits)
    {
        for (int i = bits - 1; i >= 0; --i) {
            if (m_bit % 8 == 0)
                m_out->push_back(0);
            if (value >> i & 1)
                m_out->back() |= static_cast<uint8_t>(0x80 >> (m_bit % 8));
            ++m_bit;
        }
    }

private:
    std::vector<uint8_t>* m_out;
    size_t m_bit = 0;
};

} // namespace

int AmrFrameBits(int frameType) { return frameType >= 0 && frameType < 16 ? kBits[frameType] : -1; }

int AmrFrameBodyBytes(int frameType)
{
    const int bits = AmrFrameBits(frameType);
    return bits < 0 ? -1 : (bits + 7) / 8;
}

PayloadError ParseAmrPayload(const uint8_t* p, size_t size, AmrPacking packing, FrameList* out)
{
    out->Clear();
    if (size == 0)
        return PayloadError::Empty;
    const bool octets = packing == AmrPacking::OctetAligned;
    // Field widths in bits: CMR, one ToC entry.
    const size_t cmrBits = octets ? 8 : 4;
    const size_t tocBits = octets ? 8 : 6;
    const size_t total = 8 * size;

    // The ToC: entries until one without F. Checked whole before any frame is
    // taken, so that a refused payload yields nothing.
    Toc toc[kMaxFramesPerPacket];
    size_t count = 0;
    size_t at = cmrBits;
    for (bool more = true; more;) {
        if (at + tocBits > total)
            return PayloadError::TocPastEnd;
        // Octet-aligned: F FT(4) Q P P; bandwidth-efficient: F FT(4) Q.
        const uint8_t entry = ByteAt(p, size, at);
        at += tocBits;
        more = (entry & 0x80) != 0;
        const int type = entry >> 3 & 0x0F;
        if (kBits[type] < 0)
            return PayloadError::ReservedFrameType;
        if (count == kMaxFramesPerPacket)
            return PayloadError::TooManyFrames;
        toc[count++] = {static_cast<uint8_t>(entry & 0x7C), kBits[type]};
    }
    size_t need = 0;
    for (size_t i = 0; i < count; ++i)
        need += octets ? 8 * static_cast<size_t>((toc[i].bits + 7) / 8) : static_cast<size_t>(toc[i].bits);
    if (need > total - at)
        return PayloadError::FramesPastEnd;
    // Octet-aligned frames end on the payload's last byte; bandwidth-efficient
    // ones leave fewer than 8 bits of padding.
    if (total - at - need >= (octets ? 1u : 8u))
        return PayloadError::TrailingBytes;

    for (size_t i = 0; i < count; ++i) {
        AppendFrame(p, size, at, toc[i], out);
        at += octets ? 8 * static_cast<size_t>((toc[i].bits + 7) / 8) : static_cast<size_t>(toc[i].bits);
    }
    return PayloadError::None;
}

bool PackAmrPayload(const ByteView* frames, size_t count, AmrPacking packing, std::vector<uint8_t>* out)
{
    if (count == 0 || count > kMaxFramesPerPacket)
        return false;
    for (size_t i = 0; i < count; ++i) {
        if (frames[i].size == 0)
            return false;
        const int body = AmrFrameBodyBytes(frames[i].data[0] >> 3 & 0x0F);
        if (body < 0 || frames[i].size != 1 + static_cast<size_t>(body))
            return false;
    }
    if (packing == AmrPacking::OctetAligned) {
        out->clear();
        out->push_back(kNoModeRequest << 4);
        for (size_t i = 0; i < count; ++i)
            out->push_back(static_cast<uint8_t>((i + 1 < count ? 0x80 : 0) | (frames[i].data[0] & 0x7C)));
        for (size_t i = 0; i < count; ++i)
            out->insert(out->end(), frames[i].data + 1, frames[i].data + frames[i].size);
        return true;
    }
    BitWriter w(out);
    w.Put(kNoModeRequest, 4);
    for (size_t i = 0; i < count; ++i)
        w.Put((i + 1 < count ? 0x20u : 0u) | (frames[i].data[0] >> 2 & 0x1F), 6);
    for (size_t i = 0; i < count; ++i) {
        const int bits = kBits[frames[i].data[0] >> 3 & 0x0F];
        for (int got = 0; got < bits; got += 8) {
            const int n = bits - got < 8 ? bits - got : 8;
            w.Put(static_cast<unsigned>(frames[i].data[1 + got / 8] >> (8 - n)), n);
        }
    }
    return true;
}

} // namespace svrtp
