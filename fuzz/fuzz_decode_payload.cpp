// libFuzzer target over CAudioFrameBuffer::DecodePayload. The input is a run
// of records, each one payload:
//
//   byte 0      payload type selector: (byte & 7) - 1 gives -1..6; bit 7 picks
//               where the payload is placed (see below)
//   byte 1      store flag
//   bytes 2..3  payload length, little-endian, masked to 0..1023 and cut to
//               the bytes left in the input
//   then        the payload
//
// Each payload is copied to a place that ends exactly where the payload ends:
// either an exactly-sized heap block (AddressSanitizer reports reads past it
// from instrumented code) or the end of a page followed by an inaccessible one
// (faults on reads past it from any code, opencore's decoder included). After
// every payload the queue is read back and checked: at most one frame per
// payload, 320 bytes for AMR, an even count of at most 640 for the voice codec,
// none for the other types, each stamped with its payload's time stamp.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>

#include "audio/audioframebuffer.h"
#include "tests/test_access.h"

namespace {

const int kMaxRecords = 64;
const int kRingBytes = 0x1000; // small, so that the ring wraps often

struct GuardPage {
    unsigned char* end = nullptr; // first inaccessible byte
    size_t page = 0;
    GuardPage()
    {
        page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* base = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED || mprotect(static_cast<unsigned char*>(base) + page, page, PROT_NONE) != 0)
            abort();
        end = static_cast<unsigned char*>(base) + page;
    }
};

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static GuardPage guard;
    static unsigned char frame[CAudioFrameBuffer::kDecodeBufferBytes];

    std::unique_ptr<CAudioFrameBuffer> fb(new CAudioFrameBuffer);
    fb->SetPlayMode(0, 0);
    if (fb->AllocRing(kRingBytes) != 1)
        return 0;

    int64_t pts = 1;
    for (int record = 0; record < kMaxRecords && size >= 4; ++record) {
        const int type = (data[0] & 7) - 1;
        const bool onGuardPage = (data[0] & 0x80) != 0;
        const unsigned char store = data[1];
        size_t length = (data[2] | (data[3] << 8)) & 0x3FF;
        data += 4;
        size -= 4;
        if (length > size)
            length = size;

        std::unique_ptr<unsigned char[]> heap;
        const unsigned char* payload;
        if (onGuardPage) {
            unsigned char* at = guard.end - length;
            memcpy(at, data, length);
            payload = at;
        } else {
            heap.reset(new unsigned char[length]);
            memcpy(heap.get(), data, length);
            payload = heap.get();
        }
        data += length;
        size -= length;

        pts += 0x100000001LL;
        const int result = fb->DecodePayload(payload, static_cast<int>(length), type, pts, store);
        Check(result == (type >= 1 && type <= 4 ? 1 : 0));
        Check(Inside(*fb).m_nInputPts == pts && Inside(*fb).m_nFormat == type && Inside(*fb).m_bStoreData == store);

        const unsigned int queued = fb->GetFrameCount();
        Check(queued <= 1);
        if (queued == 1) {
            Check(type >= 1 && type <= 3);
            int bytes = static_cast<int>(sizeof frame);
            int64_t framePts = 0;
            Check(fb->ReadFrame(frame, &bytes, &framePts, nullptr) == 1);
            Check(framePts == pts);
            if (type == 1)
                Check(bytes == 320);
            else
                Check(bytes >= 0 && bytes <= 640 && bytes % 2 == 0);
            // A frame queued without its samples plays silence.
            for (int i = 0; store == 0 && i < bytes; ++i)
                Check(frame[i] == 0);
        }
    }
    return 0;
}
