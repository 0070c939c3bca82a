// A running stream allocates nothing: once a playback stream has decoded its
// first frame, and once capture has recorded its first buffers, feeding,
// playing, recording and reading cost no heap allocation at all, through the
// exports, on the test device. The library's classes are linked statically
// into this test, and the allocation functions below replace the process's,
// so every allocation the library, the codecs and the stand-in make is
// counted, on whichever thread.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <vector>

#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "test_codec_amr_streams.h"
#include "test_codec_voice_frames.h"
#include "test_replace_new.h"
#include "test_wave_common.h"

namespace {

std::atomic<unsigned long> g_allocations{0};

void Count() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

unsigned long AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace

// Address and thread sanitizers own malloc themselves.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SV_TEST_SANITIZER_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SV_TEST_SANITIZER_MALLOC 1
#endif
#endif

// Without a sanitizer that owns malloc the C allocator is replaced too, so
// what C code allocates (opencore's decoder states) is counted as well.
#if !defined(SV_TEST_SANITIZER_MALLOC)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size)
{
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size)
{
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size)
{
    Count();
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size)
{
    Count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return 12;  // ENOMEM
    *out = p;
    return 0;
}
}  // extern "C"
#define SV_COUNT_NEW()
#else
#define SV_COUNT_NEW() Count()
#endif

// operator new goes through malloc, counted there (or here, under ASan).
void* SvTestNewNoThrow(size_t size) noexcept
{
    SV_COUNT_NEW();
    return malloc(size != 0 ? size : 1);
}

void* SvTestNew(size_t size)
{
    if (void* p = SvTestNewNoThrow(size))
        return p;
    throw std::bad_alloc();
}

namespace {

typedef std::vector<unsigned char> Frame;

const DWORD kDeviceBuffer = 640;  // one output buffer: 40 ms
// Buffers played (or recorded) before counting and while counting. The
// warm-up is as long as the counted stretch, so that what the test device
// keeps of it has room for the counted stretch too.
const int kWarmUp = 250;
const int kCounted = 250;

class Allocations : public wavetest::StandInTest {
protected:
    // Forgets the output log, the call record and the input feed and keeps
    // their storage, so that what the test device itself keeps does not grow
    // while counting (the counted stretch plays no more than the warm-up did).
    static void ForgetRecords() { SvWaveTestReset(); }
};

// ---- Playback ----------------------------------------------------------------

struct PlaybackCase {
    const char* name;
    int type;
    // Frames fed for each device buffer played.
    int framesPerBuffer;
    std::vector<Frame> (*make)();
};

std::vector<Frame> AmrFrames()
{
    return codectest::AmrEncode(codectest::SyntheticSpeech(4 * codectest::kRate), 7);
}
std::vector<Frame> VoiceFrames()
{
    return codectest::VoiceEncode(codectest::SyntheticSpeech(4 * codectest::kRate), {320}).frames;
}

const PlaybackCase kPlaybackCases[] = {
    {"Amr", SV_PAYLOAD_AMR, 2, &AmrFrames},
    {"Voice", SV_PAYLOAD_VOICE, 1, &VoiceFrames},
};

class PlaybackAllocations : public Allocations, public ::testing::WithParamInterface<PlaybackCase> {};

TEST_P(PlaybackAllocations, FeedingAndPlayingAllocateNothingOnceTheStreamRuns)
{
    const PlaybackCase& c = GetParam();
    const std::vector<Frame> frames = c.make();
    ASSERT_FALSE(frames.empty());
    size_t next = 0;
    int64_t pts = 0;
    const auto feed = [&](SV_DECODER h, int count) {
        int ok = 0;
        for (int i = 0; i < count; ++i) {
            const Frame& f = frames[next++ % frames.size()];
            ok += SV_InputAudioBuffer(h, f.data(), static_cast<int32_t>(f.size()), c.type, ++pts, 1) == 1;
        }
        return ok;
    };

    // The counter sees the library's own allocations: the open makes the
    // decoder, its device buffers and ring, the first frame its codec state.
    unsigned long before = AllocationCount();
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
    ASSERT_NE(h, nullptr);
    const unsigned long atOpen = AllocationCount() - before;
    const HWAVEOUT hwo = SvWaveTestLatestHandle();
    before = AllocationCount();
    ASSERT_EQ(feed(h, 1), 1);
    const unsigned long atFirstFrame = AllocationCount() - before;
    EXPECT_GE(atOpen, 13u) << "decoder, device, frame buffer, ring, ten buffers and the frame";
    EXPECT_GE(atFirstFrame, 1u) << "the decode buffer and the codec state";

    // Past the pre-buffer, then a warm-up of steady play.
    ASSERT_EQ(feed(h, 8 * c.framesPerBuffer), 8 * c.framesPerBuffer);
    for (int i = 0; i < kWarmUp; ++i) {
        ASSERT_EQ(feed(h, c.framesPerBuffer), c.framesPerBuffer);
        ASSERT_EQ(SvWaveTestStep(hwo, 1), 1u);
    }
    ForgetRecords();

    // Counted: nothing in here allocates but what the library or the device
    // does, and the results are checked only afterwards.
    int fed = 0;
    UINT played = 0;
    int64_t playing = 0;
    const int64_t fedBefore = pts;
    before = AllocationCount();
    for (int i = 0; i < kCounted; ++i) {
        fed += feed(h, c.framesPerBuffer);
        played += SvWaveTestStep(hwo, 1);
    }
    SV_GetPts(h, &playing, nullptr);
    const unsigned long counted = AllocationCount() - before;

    EXPECT_EQ(fed, kCounted * c.framesPerBuffer);
    EXPECT_EQ(played, static_cast<UINT>(kCounted));
    EXPECT_EQ(SvWaveTestOutputSize(), kCounted * kDeviceBuffer) << "every buffer played";
    EXPECT_GT(playing, fedBefore) << "frames fed while counting were played";
    EXPECT_EQ(counted, 0u) << kCounted * c.framesPerBuffer << " frames fed and " << played << " buffers played";
    printf("[ figures  ] %s playback: open %lu allocations, first frame %lu, then %d frames fed and %u buffers "
           "played: %lu\n",
           c.name, atOpen, atFirstFrame, fed, played, counted);
    EXPECT_EQ(SV_CloseSonavex(h), 1);
}

INSTANTIATE_TEST_SUITE_P(Payloads, PlaybackAllocations, ::testing::ValuesIn(kPlaybackCases),
                         [](const ::testing::TestParamInfo<PlaybackCase>& p) { return p.param.name; });

// ---- Capture -----------------------------------------------------------------

TEST_F(Allocations, RecordingAndReadingAllocateNothingOnceCaptureRuns)
{
    const DWORD kFrameBytes = 320;  // one input buffer, read as one frame
    // The input of the pre-buffer and the warm-up now, the rest before the
    // count begins.
    std::vector<BYTE> input((8 + kWarmUp + kCounted) * kFrameBytes);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<BYTE>(i * 7 + 3);
    const DWORD early = (8 + kWarmUp) * kFrameBytes;
    SvWaveTestFeedInput(input.data(), early);

    unsigned long before = AllocationCount();
    SV_CAPTURE cap = SV_OpenAudioCapture();
    ASSERT_NE(cap, nullptr);
    const unsigned long atOpen = AllocationCount() - before;
    EXPECT_GE(atOpen, 13u) << "capture object, device, frame buffer, ring and ten buffers";
    const HWAVEIN hwi = SvWaveTestLatestInHandle();

    BYTE frame[kFrameBytes];
    const auto read = [&] {
        uint32_t length = sizeof frame;
        return SV_ReadAudioBuffer(cap, frame, &length, 0) == 1 && length == kFrameBytes;
    };
    ASSERT_EQ(SvWaveTestRecord(hwi, 8 * kFrameBytes), 8 * kFrameBytes);
    for (int i = 0; i < kWarmUp; ++i) {
        ASSERT_EQ(SvWaveTestRecord(hwi, kFrameBytes), kFrameBytes);
        ASSERT_TRUE(read());
    }
    ForgetRecords();
    SvWaveTestFeedInput(input.data() + early, static_cast<DWORD>(input.size()) - early);

    DWORD recorded = 0;
    int reads = 0;
    before = AllocationCount();
    for (int i = 0; i < kCounted; ++i) {
        recorded += SvWaveTestRecord(hwi, kFrameBytes);
        reads += read();
    }
    const unsigned long counted = AllocationCount() - before;

    EXPECT_EQ(recorded, kCounted * kFrameBytes);
    EXPECT_EQ(reads, kCounted);
    // Reads lag the recording by the pre-buffer of 8: the last frame read is
    // the 8th from the end of what was recorded.
    const size_t at = (kWarmUp + kCounted - 1) * kFrameBytes;
    EXPECT_EQ(std::vector<BYTE>(frame, frame + kFrameBytes),
              std::vector<BYTE>(input.begin() + static_cast<std::ptrdiff_t>(at),
                                input.begin() + static_cast<std::ptrdiff_t>(at + kFrameBytes)));
    EXPECT_EQ(counted, 0u) << recorded << " bytes recorded and " << reads << " frames read";
    printf("[ figures  ] capture: open %lu allocations, then %u bytes recorded and %d frames read: %lu\n", atOpen,
           recorded, reads, counted);
    EXPECT_EQ(SV_CloseAudioCapture(cap), 1);
}

}  // namespace
