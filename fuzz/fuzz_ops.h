// The byte encoding of the stateful fuzz targets' inputs, shared by the
// targets and the seed writer so that the seeds stay in step with them.
//
// An input is a run of ops. Each op starts with one byte: the low four bits
// pick the op (an enumerator below), the high four the decoder slot (value %
// kSlots) or, for 15, a null handle. The op's arguments follow as bytes; an
// input that ends part way reads zeros for the rest.
//
// Integer selectors (ReadSmallInt): a byte below 0xF0 gives (byte % 8) - 1,
// so -1..6 (every valid mode, type and flag and a few invalid ones); 0xF0 and
// up give INT32_MIN, INT32_MAX, 0x10000, -2, 255, 256, 0x101 or, for 0xF7 and
// up, the next four bytes (little-endian).
//
// Stamp selectors (ReadStamp): a byte below 0xF0 adds byte * 10 to the slot's
// last stamp; 0xF0 is 0, 0xF1 INT64_MIN, 0xF2 INT64_MAX, 0xF3 the last stamp
// minus (next two bytes + 1), 0xF4 and up the next eight bytes.
#pragma once

#include <stdint.h>
#include <string.h>

namespace fuzzops {

// ---- fuzz_playback_exports --------------------------------------------------
const int kSlots = 3;
const int kNullSlot = 15;

enum PlaybackOp {
    // mode, live: ReadSmallInt; then a fault byte: bit 0 open fails (+1 byte
    // result), bit 1 prepares fail (+3 bytes: first call % 16, count % 8,
    // result), bit 2 no close notice, bit 3 volume calls fail (+1 byte
    // result), bit 4 writes complete at once (+1 byte: count % 16). An open
    // on a slot in use closes it first.
    kPbOpen = 0,
    kPbClose = 1,
    // type: ReadSmallInt; store: 1 byte; stamp: ReadStamp; then two bytes
    // (little-endian): the low 11 bits are the payload's byte count, taken
    // from the input; the top 5 pick the length passed: below 24 the count
    // itself, 24: 0, 25: -1, 26: INT32_MIN, 27: count - 1, 28: 0x6801 and 29:
    // 0x10000 (the payload zero-padded to that size), 30: null data and 0,
    // 31: null data and -7.
    kPbInput = 2,
    // count: 1 byte & 31 buffers completed by the test device.
    kPbStep = 3,
    // type, mode: ReadSmallInt; count: 1 byte (below 0xF0 the value, 0xF0
    // 0xFFFFFFFF, above the next four bytes); pointers: 1 byte (bit 0 no
    // pts, bit 1 no nextPts).
    kPbClearFrames = 4,
    kPbDecClear = 5,
    // pointers: 1 byte as for kPbClearFrames.
    kPbGetPts = 6,
    // two ReadStamp.
    kPbSetPts = 7,
    kPbMute = 8,   // ReadSmallInt
    kPbStop = 9,   // ReadSmallInt
    kPbSetVolume = 10,  // four bytes
    kPbGetVolume = 11,
    kPbGetFrames = 12,
    kPbInput2 = 13,  // as kPbInput: inputs and steps make most of a stream
    kPbStep2 = 14,   // as kPbStep
    kPbNetVersion = 15,  // ReadSmallInt
};

// ---- fuzz_capture_exports ---------------------------------------------------
enum CaptureOp {
    // a fault byte, applied when the open starts the device: bit 0 open
    // fails (+1 byte result), bit 1 prepares fail (+3 bytes as for
    // playback), bit 2 no close notice.
    kCapOpen = 0,
    // which: 1 byte % 3: the live handle, a null handle, a handle whose object
    // is gone.
    kCapClose = 1,
    // room: 2 bytes (little-endian) % 4001; flags: 1 byte (bit 0 null buffer,
    // bit 1 null length, bit 2 null handle).
    kCapRead = 2,
    // bytes: 2 bytes (little-endian) & 0x7FF recorded by the test device.
    kCapRecord = 3,
    // flags: 1 byte (bit 0 null handle).
    kCapClear = 4,
    kCapRead2 = 5,    // as kCapRead
    kCapRecord2 = 6,  // as kCapRecord
    kCapOpCount = 7,
};

// Results the fault bytes pick from (byte % kFaultResultCount).
const uint32_t kFaultResults[] = {
    5,   // MMSYSERR_INVALHANDLE: a prepare is retried on it
    1,   // MMSYSERR_ERROR
    7,   // MMSYSERR_NOMEM
    4,   // MMSYSERR_ALLOCATED
    2,   // MMSYSERR_BADDEVICEID
    32,  // WAVERR_BADFORMAT
};
const int kFaultResultCount = sizeof(kFaultResults) / sizeof(kFaultResults[0]);

inline uint8_t OpByte(int op, int slot) { return static_cast<uint8_t>(op | (slot << 4)); }

// The bytes of an input, read front to back; zeros once they run out.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_size == 0; }
    size_t Left() const { return m_size; }
    uint8_t U8()
    {
        if (m_size == 0)
            return 0;
        --m_size;
        return *m_data++;
    }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    uint64_t U64() { return U32() | (static_cast<uint64_t>(U32()) << 32); }
    // Up to `count` bytes in place; fewer when the input ends.
    const uint8_t* Bytes(size_t* count)
    {
        if (*count > m_size)
            *count = m_size;
        const uint8_t* at = m_data;
        m_data += *count;
        m_size -= *count;
        return at;
    }

    int32_t SmallInt()
    {
        const uint8_t b = U8();
        if (b < 0xF0)
            return (b % 8) - 1;
        switch (b) {
        case 0xF0: return INT32_MIN;
        case 0xF1: return INT32_MAX;
        case 0xF2: return 0x10000;
        case 0xF3: return -2;
        case 0xF4: return 255;
        case 0xF5: return 256;
        case 0xF6: return 0x101;
        default: return static_cast<int32_t>(U32());
        }
    }

    int64_t Stamp(int64_t last)
    {
        const uint8_t b = U8();
        if (b < 0xF0)
            return static_cast<int64_t>(static_cast<uint64_t>(last) + b * 10u);
        switch (b) {
        case 0xF0: return 0;
        case 0xF1: return INT64_MIN;
        case 0xF2: return INT64_MAX;
        case 0xF3: return static_cast<int64_t>(static_cast<uint64_t>(last) - (U16() + 1u));
        default: return static_cast<int64_t>(U64());
        }
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace fuzzops
