// Playback end to end through the exports of libSonavex.so, on the test device,
// which moves one buffer each time the test steps it. What the device played
// is compared sample for sample with a reference decode of the same frames.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>
#include <svwin/windows.h>

#include "sonavex.h"
#include "test_codec_amr_streams.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

using codectest::AmrFrame;

typedef std::vector<unsigned char> Payload;

const int kBufferSamples = 320;  // one 640-byte device buffer
const int kDeviceBuffers = 10;   // the device starts with ten silent buffers
const int kAmrSamples = 160;
// Time stamps past 32 bits, so a lost high word shows.
const int64_t kBase = 5000000000LL;

// Voice-engine frames of the given sizes (cycled), encoded from `pcm`.
std::vector<Payload> VoiceEncode(const std::vector<short>& pcm, const std::vector<int>& sizes)
{
    const codectest::VoiceFrames encoded = codectest::VoiceEncode(pcm, sizes);
    EXPECT_EQ(encoded.result, 0);
    return encoded.frames;
}

// The codec library's own decode of each frame, back to back.
std::vector<short> VoiceReference(const std::vector<Payload>& frames)
{
    const codectest::VoicePcm decoded = codectest::VoiceDecode(frames);
    EXPECT_EQ(decoded.result, 0);
    return decoded.pcm;
}

std::vector<short> Slice(const std::vector<short>& v, size_t from, size_t count)
{
    return std::vector<short>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + count));
}

std::vector<short> Zeros(size_t count) { return std::vector<short>(count, 0); }

// One decoder on a fresh test device.
class PlaybackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
        SvWaveTestReset();
    }

    void TearDown() override
    {
        if (h_ != nullptr) {
            EXPECT_EQ(SV_CloseSonavex(h_), 1);
        }
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    }

    void Open(int mode, int live)
    {
        h_ = SV_OpenSonavex(mode, live);
        ASSERT_NE(h_, nullptr);
        hwo_ = SvWaveTestLatestHandle();
        ASSERT_NE(hwo_, nullptr);
    }

    // Completes `buffers` device buffers; each is refilled as it comes back.
    void Step(unsigned buffers) { ASSERT_EQ(SvWaveTestStep(hwo_, buffers), buffers); }

    void Feed(const Payload& payload, int type, int64_t pts)
    {
        ASSERT_EQ(SV_InputAudioBuffer(h_, payload.data(), static_cast<int32_t>(payload.size()), type, pts, 1), 1);
    }

    // Everything the test device has played, as samples.
    static std::vector<short> Played()
    {
        const std::vector<BYTE> bytes = SvWaveTestOutput();
        std::vector<short> pcm(bytes.size() / 2);
        memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
        return pcm;
    }

    int64_t Pts() const
    {
        int64_t pts = -1;
        SV_GetPts(h_, &pts, nullptr);
        return pts;
    }
    int64_t NextPts() const
    {
        int64_t next = -1;
        SV_GetPts(h_, nullptr, &next);
        return next;
    }
    int Frames() const { return SV_AudioDecGetFrames(h_); }

    SV_DECODER h_ = nullptr;
    HWAVEOUT hwo_ = nullptr;
};

class AmrPlaybackTest : public PlaybackTest {
protected:
    static void SetUpTestSuite()
    {
        // Two seconds of voice: 100 frames at 12.2 kbit/s.
        frames_ = codectest::AmrEncode(codectest::SyntheticSpeech(2 * codectest::kRate), 7);
        reference_ = codectest::OpencoreDecode(frames_);
    }
    void FeedAmr(size_t i, int64_t pts) { Feed(frames_[i], SV_PAYLOAD_AMR, pts); }
    static int64_t Stamp(size_t i) { return kBase + static_cast<int64_t>(i) * 20; }
    static std::vector<short> Ref(size_t firstFrame, size_t frames)
    {
        return Slice(reference_, firstFrame * kAmrSamples, frames * kAmrSamples);
    }

    static std::vector<AmrFrame> frames_;
    static std::vector<short> reference_;
};

std::vector<AmrFrame> AmrPlaybackTest::frames_;
std::vector<short> AmrPlaybackTest::reference_;

TEST_F(AmrPlaybackTest, LiveStreamPlaysTheReferenceDecodeWithTheClockOnTheFramePlaying)
{
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    EXPECT_EQ(SV_AudioDecGetVolume(h_), 0xFFFFFFFFu) << "a new decoder plays at full volume";
    const size_t n = frames_.size();
    size_t fed = 0;
    for (; fed < 8; ++fed)
        FeedAmr(fed, Stamp(fed));
    // As from a recorder: two frames (one buffer's worth) arrive per buffer.
    for (size_t buffer = 0; buffer < n / 2; ++buffer) {
        Step(1);
        // Each refill takes the next two frames: the clock names the second,
        // and the next one is the frame behind it.
        const size_t last = 2 * buffer + 1;
        ASSERT_EQ(Pts(), Stamp(last)) << "buffer " << buffer;
        ASSERT_EQ(NextPts(), last + 1 < fed ? Stamp(last + 1) : 0) << "buffer " << buffer;
        for (int k = 0; k < 2 && fed < n; ++k, ++fed)
            FeedAmr(fed, Stamp(fed));
    }
    EXPECT_EQ(Frames(), 0);
    Step(kDeviceBuffers);

    const std::vector<short> played = Played();
    ASSERT_GE(played.size(), (kDeviceBuffers * kBufferSamples) + reference_.size());
    EXPECT_EQ(Slice(played, 0, kDeviceBuffers * kBufferSamples), Zeros(kDeviceBuffers * kBufferSamples));
    EXPECT_EQ(Slice(played, kDeviceBuffers * kBufferSamples, reference_.size()), reference_);
}

TEST_F(AmrPlaybackTest, LiveStreamWaitsOnceForItsPrebuffer)
{
    for (int mode : {SV_PREBUFFER_8, SV_PREBUFFER_20}) {
        SCOPED_TRACE(mode);
        const int depth = mode == SV_PREBUFFER_8 ? 8 : 20;
        Open(mode, SV_LIVE_STREAM);
        for (int i = 0; i < depth - 1; ++i)
            FeedAmr(static_cast<size_t>(i), Stamp(static_cast<size_t>(i)));
        Step(2 * kDeviceBuffers);
        EXPECT_EQ(Frames(), depth - 1) << "nothing plays before the pre-buffer is full";
        EXPECT_EQ(Pts(), 0);
        FeedAmr(static_cast<size_t>(depth - 1), Stamp(static_cast<size_t>(depth - 1)));
        Step(1);
        EXPECT_EQ(Frames(), depth - 2);
        EXPECT_EQ(Pts(), Stamp(1));

        // Once started, an underrun does not wait for a new pre-buffer: the
        // next frames play at the next buffer.
        Step(static_cast<unsigned>(depth));
        EXPECT_EQ(Frames(), 0);
        FeedAmr(static_cast<size_t>(depth), Stamp(98));
        FeedAmr(static_cast<size_t>(depth + 1), Stamp(99));
        Step(1);
        EXPECT_EQ(Frames(), 0);
        EXPECT_EQ(Pts(), Stamp(99));

        EXPECT_EQ(SV_CloseSonavex(h_), 1);
        h_ = nullptr;
    }
}

TEST_F(AmrPlaybackTest, MuteSilencesWhileTheStreamKeepsItsPace)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    for (size_t i = 0; i < 40; ++i)
        FeedAmr(i, Stamp(i));
    EXPECT_EQ(SV_SetMuteAudio(h_, 1), 1);
    Step(5);
    EXPECT_EQ(Frames(), 30) << "muted frames are still consumed, two per buffer";
    EXPECT_EQ(Pts(), Stamp(9));
    EXPECT_EQ(SV_SetMuteAudio(h_, 2), 1) << "only 1 mutes";
    Step(5);
    EXPECT_EQ(SV_SetMuteAudio(h_, 1), 1);
    Step(5);
    EXPECT_EQ(SV_SetMuteAudio(h_, 0), 1);
    Step(5 + kDeviceBuffers);
    EXPECT_EQ(Frames(), 0);

    const std::vector<short> played = Played();
    const size_t start = kDeviceBuffers * kBufferSamples;
    const size_t tenFrames = 10 * kAmrSamples;
    EXPECT_EQ(Slice(played, start, tenFrames), Zeros(tenFrames));
    EXPECT_EQ(Slice(played, start + tenFrames, tenFrames), Ref(10, 10));
    EXPECT_EQ(Slice(played, start + 2 * tenFrames, tenFrames), Zeros(tenFrames));
    EXPECT_EQ(Slice(played, start + 3 * tenFrames, tenFrames), Ref(30, 10));
}

TEST_F(AmrPlaybackTest, StopFileSilencesAndDrainsAFileStream)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    for (size_t i = 0; i < 60; ++i)
        FeedAmr(i, Stamp(i));
    Step(1);
    ASSERT_EQ(Frames(), 58);
    // Draining: a read with more than 20 frames queued takes all but 19 of
    // them at once, and the buffer plays silence.
    EXPECT_EQ(SV_StopFileAudio(h_, SV_STOP_DRAIN), 1);
    Step(1);
    EXPECT_LE(Frames(), 18);
    EXPECT_GT(Frames(), 0);
    const int left = Frames();
    Step(1);
    EXPECT_EQ(Frames(), left - 2) << "after the drain, one buffer takes one buffer's worth";
    EXPECT_EQ(SV_StopFileAudio(h_, SV_STOP_OFF), 1);
    Step(1);
    EXPECT_EQ(Frames(), left - 4);
    const int64_t playing = Pts();
    EXPECT_EQ(SV_StopFileAudio(h_, SV_STOP_NOW), 1);
    Step(1);
    EXPECT_EQ(Frames(), 0) << "stop 2 drops the whole queue";
    Step(kDeviceBuffers);

    const std::vector<short> played = Played();
    const size_t start = kDeviceBuffers * kBufferSamples;
    EXPECT_EQ(Slice(played, start, kBufferSamples), Ref(0, 2));
    EXPECT_EQ(Slice(played, start + kBufferSamples, 2 * kBufferSamples), Zeros(2 * kBufferSamples));
    // Unstopped, the stream goes on where the drain left it.
    const size_t resumed = static_cast<size_t>((playing - kBase) / 20) - 1;
    EXPECT_EQ(Slice(played, start + 3 * kBufferSamples, kBufferSamples), Ref(resumed, 2));
    EXPECT_EQ(Slice(played, start + 4 * kBufferSamples, kBufferSamples), Zeros(kBufferSamples));
}

TEST_F(AmrPlaybackTest, StopFileHasNoEffectOnALiveStream)
{
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    for (size_t i = 0; i < 30; ++i)
        FeedAmr(i, Stamp(i));
    EXPECT_EQ(SV_StopFileAudio(h_, SV_STOP_NOW), 1);
    Step(15 + kDeviceBuffers);
    EXPECT_EQ(Frames(), 0);
    EXPECT_EQ(Slice(Played(), kDeviceBuffers * kBufferSamples, 30 * kAmrSamples), Ref(0, 30));
}

TEST_F(AmrPlaybackTest, VolumeReachesTheDeviceForBothChannels)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    EXPECT_EQ(SV_AudioDecSetVolume(h_, 0x0003C000), 1);
    EXPECT_EQ(SV_AudioDecGetVolume(h_), 0xC000C000u) << "the low word goes to both channels";
    bool sent = false;
    for (const SvWaveCall& c : SvWaveTestCalls())
        if (c.nCall == SV_WAVE_CALL_SETVOLUME && c.hwo == hwo_ && c.dwArg == 0xC000C000u)
            sent = true;
    EXPECT_TRUE(sent);

    // The device applies the level to each buffer it takes: silence at 0, the
    // decode unchanged at full level. (The buffer it holds while the level
    // changes may go either way.)
    for (size_t i = 0; i < 8; ++i)
        FeedAmr(i, Stamp(i));
    ASSERT_EQ(SV_AudioDecSetVolume(h_, 0), 1);
    Step(kDeviceBuffers + 1);
    ASSERT_EQ(SV_AudioDecSetVolume(h_, 0xFFFF), 1);
    EXPECT_EQ(SV_AudioDecGetVolume(h_), 0xFFFFFFFFu);
    Step(2);
    const std::vector<short> played = Played();
    const size_t start = kDeviceBuffers * kBufferSamples;
    EXPECT_EQ(Slice(played, start, kBufferSamples), Zeros(kBufferSamples));
    EXPECT_EQ(Slice(played, start + 2 * kBufferSamples, kBufferSamples), Ref(4, 2));
}

TEST_F(AmrPlaybackTest, ClearByCountDropsTheOldestFrames)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    for (size_t i = 0; i < 12; ++i)
        FeedAmr(i, Stamp(i));
    int64_t pts = -1;
    int64_t next = -1;
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 5, &pts, &next), SV_OK);
    EXPECT_EQ(Frames(), 7);
    EXPECT_EQ(pts, 0) << "nothing has played yet";
    EXPECT_EQ(next, Stamp(5));
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 3, &pts, &next), SV_OK);
    EXPECT_EQ(Frames(), 3);
    EXPECT_EQ(next, Stamp(9));
    // Dropping the oldest always keeps one frame.
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 100, nullptr, nullptr), SV_OK);
    EXPECT_EQ(Frames(), 1);
    FeedAmr(12, Stamp(12));
    Step(1 + kDeviceBuffers);
    EXPECT_EQ(Slice(Played(), kDeviceBuffers * kBufferSamples, kBufferSamples), Ref(11, 2));
}

TEST_F(AmrPlaybackTest, ClearByTimeMeasuresFromThePlayingOrTheLastInputFrame)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    // One frame every 1000 ticks: a count of 1 spans one frame.
    for (size_t i = 0; i < 20; ++i)
        FeedAmr(i, kBase + static_cast<int64_t>(i) * 1000);
    Step(1);
    ASSERT_EQ(Pts(), kBase + 1000);
    int64_t pts = -1;
    int64_t next = -1;
    // From the frame playing (frame 1): frames 2 and 3 lie less than 3000
    // ticks after it, frame 4 does not.
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_PLAYING, 3, &pts, &next), SV_OK);
    EXPECT_EQ(Frames(), 16);
    EXPECT_EQ(pts, kBase + 1000);
    EXPECT_EQ(next, kBase + 4000);
    // From the last frame input (frame 19), every queued frame lies before the
    // reference, so nothing goes.
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_INPUT, 3, &pts, &next), SV_OK);
    EXPECT_EQ(Frames(), 16);
    // Type 1, a mode a type does not know, and unknown types are refused and
    // change nothing.
    EXPECT_EQ(SV_ClearAudioFrames(h_, 1, SV_CLEAR_OLDEST, 5, &pts, &next), SV_E_BAD_MODE);
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_TIME, 2, 5, &pts, &next), SV_E_BAD_MODE);
    EXPECT_EQ(SV_ClearAudioFrames(h_, SV_CLEAR_BY_COUNT, 7, 5, &pts, &next), SV_E_BAD_MODE);
    EXPECT_EQ(SV_ClearAudioFrames(h_, 3, SV_CLEAR_OLDEST, 5, &pts, &next), SV_E_BAD_TYPE);
    EXPECT_EQ(Frames(), 16);

    Step(1 + kDeviceBuffers);
    const std::vector<short> played = Played();
    const size_t start = kDeviceBuffers * kBufferSamples;
    EXPECT_EQ(Slice(played, start, kBufferSamples), Ref(0, 2));
    EXPECT_EQ(Slice(played, start + kBufferSamples, kBufferSamples), Ref(4, 2));

    // A count of 0 with mode 1 empties the queue and zeroes both outputs,
    // whatever the type.
    for (size_t i = 20; i < 24; ++i)
        FeedAmr(i, kBase + static_cast<int64_t>(i) * 1000);
    EXPECT_EQ(SV_ClearAudioFrames(h_, 1, SV_CLEAR_KEEP_NEWEST, 0, &pts, &next), SV_OK);
    EXPECT_EQ(Frames(), 0);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(next, 0);
}

TEST_F(AmrPlaybackTest, DecClearEmptiesTheQueueAndTheStreamGoesOn)
{
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    for (size_t i = 0; i < 10; ++i)
        FeedAmr(i, Stamp(i));
    Step(1);
    EXPECT_EQ(SV_AudioDecClear(h_), 1);
    EXPECT_EQ(Frames(), 0);
    EXPECT_EQ(Pts(), 0);
    EXPECT_EQ(NextPts(), 0);
    // The decoder state carries over the clear, and a started live stream
    // does not wait for its pre-buffer again.
    for (size_t i = 10; i < 12; ++i)
        FeedAmr(i, Stamp(i));
    Step(1 + kDeviceBuffers);
    EXPECT_EQ(Pts(), 0);
    const std::vector<short> played = Played();
    const size_t start = kDeviceBuffers * kBufferSamples;
    EXPECT_EQ(Slice(played, start, kBufferSamples), Ref(0, 2));
    EXPECT_EQ(Slice(played, start + kBufferSamples, kBufferSamples), Ref(10, 2));
}

TEST_F(AmrPlaybackTest, PayloadsOfOtherTypesQueueNothing)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    const Payload junk(40, 0x5A);
    EXPECT_EQ(SV_InputAudioBuffer(h_, junk.data(), 40, SV_PAYLOAD_IGNORE, 1, 1), 1);
    EXPECT_EQ(SV_InputAudioBuffer(h_, junk.data(), 40, 9, 2, 1), 1);
    EXPECT_EQ(SV_InputAudioBuffer(h_, junk.data(), 40, -1, 3, 1), 1);
    EXPECT_EQ(Frames(), 0);
}

TEST_F(PlaybackTest, VoiceStreamPlaysTheReferenceDecodeAcrossBufferEdges)
{
    // Frames of 320, 160, 80 and 200 samples: they meet the 320-sample
    // buffers at every kind of edge.
    const std::vector<short> pcm = codectest::SyntheticSpeech(codectest::kRate * 3 / 2);
    const std::vector<Payload> frames = VoiceEncode(pcm, {320, 160, 80, 200});
    const std::vector<short> reference = VoiceReference(frames);
    ASSERT_EQ(reference.size(), pcm.size());

    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    for (size_t i = 0; i < frames.size(); ++i)
        Feed(frames[i], i % 2 == 0 ? SV_PAYLOAD_VOICE : SV_PAYLOAD_VOICE_B, kBase + static_cast<int64_t>(i));
    const unsigned buffers = static_cast<unsigned>((reference.size() + kBufferSamples - 1) / kBufferSamples);
    Step(buffers + kDeviceBuffers);
    EXPECT_EQ(Frames(), 0);

    const std::vector<short> played = Played();
    ASSERT_GE(played.size(), kDeviceBuffers * kBufferSamples + reference.size());
    EXPECT_EQ(Slice(played, 0, kDeviceBuffers * kBufferSamples), Zeros(kDeviceBuffers * kBufferSamples));
    EXPECT_EQ(Slice(played, kDeviceBuffers * kBufferSamples, reference.size()), reference);
}

TEST_F(PlaybackTest, AFailedDeviceOpenGivesNoHandleAndLeavesNothingOpen)
{
    SvWaveTestFaults faults = {};
    faults.mmrOpen = MMSYSERR_ALLOCATED;
    SvWaveTestSetFaults(&faults);
    EXPECT_EQ(SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM), nullptr);

    // A prepare that fails after the device opened: the device is closed again.
    faults = {};
    faults.nPrepareFailAt = 3;
    faults.mmrPrepare = MMSYSERR_NOMEM;
    SvWaveTestReset();
    SvWaveTestSetFaults(&faults);
    EXPECT_EQ(SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM), nullptr);
    HWAVEOUT opened = nullptr;
    bool closed = false;
    for (const SvWaveCall& c : SvWaveTestCalls()) {
        if (c.nCall == SV_WAVE_CALL_OPEN && c.mmr == MMSYSERR_NOERROR)
            opened = c.hwo;
        if (c.nCall == SV_WAVE_CALL_CLOSE && c.hwo == opened && c.mmr == MMSYSERR_NOERROR)
            closed = true;
    }
    EXPECT_NE(opened, nullptr);
    EXPECT_TRUE(closed);
    SvWaveTestSetFaults(nullptr);
}

TEST_F(PlaybackTest, AVolumeTheDeviceRefusesIsReported)
{
    SvWaveTestFaults faults = {};
    faults.mmrVolume = MMSYSERR_NOTSUPPORTED;
    SvWaveTestSetFaults(&faults);
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    EXPECT_EQ(SV_AudioDecSetVolume(h_, 0x1234), 0);
    EXPECT_EQ(SV_AudioDecGetVolume(h_), 0xFFFFFFFFu) << "the level stays at the last one the device took";
    SvWaveTestSetFaults(nullptr);
}

// Closing while the device is busy refilling: once SV_CloseSonavex returns, no
// callback runs for its device, and nothing it owned is touched (ASan).
TEST_F(PlaybackTest, CloseWhilePlayingEndsEveryCallbackFirst)
{
    const std::vector<AmrFrame> frames = codectest::AmrEncode(codectest::SyntheticSpeech(codectest::kRate), 7);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        SvWaveTestReset();
        Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        for (size_t i = 0; i < frames.size(); ++i)
            Feed(frames[i], SV_PAYLOAD_AMR, static_cast<int64_t>(i));
        std::atomic<bool> stop{false};
        std::thread stepper([&] {
            while (!stop.load() && SvWaveTestStep(hwo_, 1) == 1) {
            }
        });
        for (int k = 0; k < round * 3; ++k)
            std::this_thread::yield();
        EXPECT_EQ(SV_CloseSonavex(h_), 1);
        h_ = nullptr;
        const size_t atClose = SvWaveTestCalls().size();
        stop.store(true);
        stepper.join();
        EXPECT_EQ(SvWaveTestStep(hwo_, 1), 0u) << "the device is closed";
        const std::vector<SvWaveCall> calls = SvWaveTestCalls();
        for (size_t i = atClose; i < calls.size(); ++i)
            EXPECT_NE(calls[i].nCall, SV_WAVE_CALLBACK) << "a callback after the close returned";
    }
}

// Any host thread may call any function while one thread feeds: a feeder and
// two control threads drive a file and a live stream on the virtual device,
// which plays every buffer at once, so the callback thread runs throughout.
// Under ThreadSanitizer (label tsan) a field shared without the lock or an
// atomic is reported; in every build each answer must be a whole value the
// host gave (stamps past 32 bits, so a torn half shows).
class PlaybackHostThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
        SvWaveVirtualSetSpeed(0);
    }
    void TearDown() override
    {
        SvWaveVirtualSetSpeed(1);
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    }

    static const int kFeeds = 2000;
    static const int kControlOps = 2000;

    // Bad answers seen by one control thread; the first one is kept.
    struct Findings {
        int count = 0;
        std::string first;
        void Add(const std::string& what)
        {
            if (count++ == 0)
                first = what;
        }
    };

    static int64_t Stamp(int i) { return kBase + 20 * static_cast<int64_t>(i); }
    static bool IsStampOrZero(int64_t pts)
    {
        return pts == 0 || (pts >= kBase && pts < Stamp(kFeeds) && (pts - kBase) % 20 == 0);
    }
    static void CheckStamps(Findings& f, const char* what, int64_t pts, int64_t next)
    {
        if (!IsStampOrZero(pts) || !IsStampOrZero(next))
            f.Add(std::string(what) + ": " + std::to_string(pts) + " / " + std::to_string(next));
    }

    // Every operation but feeding and closing, `thread` staggering the order so
    // that the two threads meet on the same calls and on different ones.
    static void Control(SV_DECODER h, int thread, Findings& f)
    {
        for (int i = 0; i < kControlOps; ++i) {
            int64_t pts = -1, next = -1;
            const int op = (i + 3 * thread) % 10;
            switch (op) {
            case 0:
            case 1:
            case 2:
            case 3: {
                static const struct {
                    int32_t type, mode;
                    uint32_t count;
                } kClears[] = {{SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 3},
                               {SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 20},
                               {SV_CLEAR_BY_TIME, SV_CLEAR_FROM_PLAYING, 1},
                               {SV_CLEAR_BY_TIME, SV_CLEAR_FROM_INPUT, 1}};
                const auto& c = kClears[op];
                if (SV_ClearAudioFrames(h, c.type, c.mode, c.count, &pts, &next) != SV_OK)
                    f.Add("clear " + std::to_string(op) + " refused");
                CheckStamps(f, "clear", pts, next);
                break;
            }
            case 4:
                if (SV_SetMuteAudio(h, (i / 10) % 2) != 1)
                    f.Add("mute refused");
                break;
            case 5:
                if (SV_StopFileAudio(h, (i / 10) % 3) != 1)
                    f.Add("stop-file refused");
                break;
            case 6: {
                const uint32_t level = 0x1000u * static_cast<uint32_t>(1 + (i + thread) % 15);
                if (SV_AudioDecSetVolume(h, level) != 1)
                    f.Add("volume refused");
                // Both channels at one of the levels set, or still at full.
                const uint32_t v = SV_AudioDecGetVolume(h);
                if ((v >> 16) != (v & 0xFFFF) || ((v & 0xFFF) != 0 && v != 0xFFFFFFFFu))
                    f.Add("volume " + std::to_string(v));
                break;
            }
            case 7:
                SV_SetPts(h, Stamp(i), -Stamp(i));
                SV_GetPts(h, &pts, &next);
                CheckStamps(f, "pts", pts, next);
                break;
            case 8:
            case 9: {
                const int32_t frames = SV_AudioDecGetFrames(h);
                if (frames < 0 || frames > 2500)
                    f.Add("frame count " + std::to_string(frames));
                break;
            }
            }
        }
    }
};

TEST_F(PlaybackHostThreads, OneFeederAndTwoControlThreadsShareADecoder)
{
    const std::vector<AmrFrame> frames = codectest::AmrEncode(codectest::SyntheticSpeech(codectest::kRate), 7);
    ASSERT_FALSE(frames.empty());
    for (int live : {SV_FILE_PLAYBACK, SV_LIVE_STREAM}) {
        SCOPED_TRACE(live);
        SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, live);
        ASSERT_NE(h, nullptr);
        std::atomic<int> refused{0};
        // Every fourth payload is one the library only records the stamp of.
        std::thread feeder([&] {
            for (int i = 0; i < kFeeds; ++i) {
                const AmrFrame& frame = frames[static_cast<size_t>(i) % frames.size()];
                const int32_t type = i % 4 == 3 ? SV_PAYLOAD_IGNORE : SV_PAYLOAD_AMR;
                if (SV_InputAudioBuffer(h, frame.data(), static_cast<int32_t>(frame.size()), type, Stamp(i), 1) != 1)
                    refused.fetch_add(1);
            }
        });
        Findings findings[2];
        std::thread control0([&] { Control(h, 0, findings[0]); });
        std::thread control1([&] { Control(h, 1, findings[1]); });
        feeder.join();
        control0.join();
        control1.join();
        EXPECT_EQ(refused.load(), 0);
        for (const Findings& f : findings)
            EXPECT_EQ(f.count, 0) << f.first;
        EXPECT_EQ(SV_CloseSonavex(h), 1);
    }
}

} // namespace

// The log file is named after the library's path; the versioned file the
// loader opened (libSonavex.so.1.0.0) answers without its version, so the log
// keeps one name across versions.
TEST(LibraryModule, ItsPathIsTheUnversionedLibraryName)
{
    char path[MAX_PATH];
    const HMODULE sonavex = SvModuleOf(reinterpret_cast<const void*>(&SV_OpenSonavex));
    ASSERT_NE(sonavex, nullptr);
    ASSERT_GT(GetModuleFileNameA(sonavex, path, MAX_PATH), 0u);
    const std::string name(path);
    EXPECT_EQ(name.substr(name.rfind('/')), "/libSonavex.so");
}
