// Playback through the exports of the real Sonavex.dll on wine's winmm. The
// default ALSA device of these runs is the `file` plugin over a `null` sink,
// so the file named by SV_WINE_ALSA_FILE holds exactly what wine played (at
// 8 kHz, mono, 16-bit: wine opens ALSA in the wave format itself), and the
// audio is compared with a reference decode sample for sample.
//
// The device runs by itself here: tests follow it through what it tells the
// library (svspy), never by the clock. A host keeps the queue topped up a few
// frames ahead, as a client does, so that the device never runs dry while a
// stream plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "AmrDll.h"
#include "hi_voice.h"
#include "sv_host.h"
#include "sv_spy.h"
#include "tests/test_codec_signals.h"

namespace {

using svhost::Library;
using svspy::Device;
using svspy::Spy;

typedef std::vector<uint8_t> Payload;

const size_t kBufferSamples = 320;  // one 640-byte device buffer
const size_t kRingBuffers = 10;     // the ten buffers of silence an open starts with
const size_t kAmrSamples = 160;
// Stamps past 32 bits, so that a lost high word shows.
const int64_t kBase = 5000000000LL;
// Frames a host keeps queued: enough that the device, which runs ahead of
// real time here, never finds the queue empty between two top-ups, and fewer
// than the 28 past which a stream's queue is trimmed.
const int kAhead = 24;

// A stream of payloads and the samples their reference decode gives.
struct Stream {
    std::vector<Payload> frames;
    std::vector<int16_t> reference;
    std::vector<size_t> starts;  // first reference sample of each frame
    // The reference samples of frames [from, to).
    std::vector<int16_t> Samples(size_t from, size_t to) const
    {
        const size_t end = to < starts.size() ? starts[to] : reference.size();
        return std::vector<int16_t>(reference.begin() + static_cast<long>(starts[from]),
                                    reference.begin() + static_cast<long>(end));
    }
};

int64_t Stamp(size_t frame) { return kBase + static_cast<int64_t>(frame) * 20; }

// Two seconds of synthetic voice at 12.2 kbit/s through AmrDll's encoder, and
// AmrDll's own decode of the frames in order on one state.
Stream AmrStream()
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(2 * codectest::kRate);
    Stream s;
    AMR_HANDLE enc = 0, dec = 0;
    EXPECT_EQ(AMR_Encode_Init(&enc), 0);
    EXPECT_EQ(AMR_Decode_Init(&dec), 0);
    for (size_t at = 0; at + kAmrSamples <= pcm.size(); at += kAmrSamples) {
        Payload f(AMR_MAX_FRAME_BYTES);
        const int n = AMR_Encode_Frame(enc, pcm.data() + at, f.data(), 7);
        EXPECT_GT(n, 0);
        f.resize(n > 0 ? static_cast<size_t>(n) : 0);
        int16_t out[kAmrSamples];
        EXPECT_EQ(AMR_Decode_Frame(dec, f.data(), reinterpret_cast<unsigned char*>(out), 0), 0);
        s.starts.push_back(s.reference.size());
        s.reference.insert(s.reference.end(), out, out + kAmrSamples);
        s.frames.push_back(f);
    }
    AMR_Encode_Exit(&enc);
    AMR_Decode_Exit(&dec);
    return s;
}

// A second and a half of voice in voice-engine frames of 320, 160, 80 and 200
// samples (cycled, so they meet the 320-sample device buffers at every kind
// of edge), and the codec's own decode of them.
Stream VoiceStream()
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(codectest::kRate * 3 / 2);
    const int sizes[] = {320, 160, 80, 200};
    alignas(8) unsigned char enc[HI_VOICE_STATE_BYTES] = {};
    alignas(8) unsigned char dec[HI_VOICE_STATE_BYTES] = {};
    EXPECT_EQ(HI_VOICE_EncReset(enc, HI_VOICE_CODEC_IMA_ADPCM), 0);
    EXPECT_EQ(HI_VOICE_DecReset(dec, HI_VOICE_CODEC_IMA_ADPCM), 0);
    Stream s;
    for (size_t at = 0, k = 0; at < pcm.size(); ++k) {
        const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(sizes[k % 4]), pcm.size() - at));
        Payload f(HI_VOICE_MAX_FRAME_BYTES);
        int len = 0;
        EXPECT_EQ(HI_VOICE_EncodeFrame(enc, pcm.data() + at, n, f.data(), &len), 0);
        f.resize(static_cast<size_t>(len));
        short out[HI_VOICE_MAX_SAMPLES];
        short got = 0;
        EXPECT_EQ(HI_VOICE_DecodeFrame(dec, f.data(), out, &got), 0);
        s.starts.push_back(s.reference.size());
        s.reference.insert(s.reference.end(), out, out + got);
        s.frames.push_back(f);
        at += static_cast<size_t>(n);
    }
    return s;
}

// `expected` must follow nothing but silence in `played`: it is lined up by
// its first non-zero sample and then compared sample for sample. *start is
// where it begins.
::testing::AssertionResult PlaysAfterSilence(const std::vector<int16_t>& played, const std::vector<int16_t>& expected,
                                             size_t* start)
{
    const auto nonZero = [](int16_t v) { return v != 0; };
    const size_t q = static_cast<size_t>(std::find_if(expected.begin(), expected.end(), nonZero) - expected.begin());
    const size_t p = static_cast<size_t>(std::find_if(played.begin(), played.end(), nonZero) - played.begin());
    if (q == expected.size())
        return ::testing::AssertionFailure() << "the reference is silent";
    if (p == played.size())
        return ::testing::AssertionFailure() << "the device played " << played.size() << " samples of silence only";
    if (p < q)
        return ::testing::AssertionFailure() << "sound at sample " << p << ", before the reference can start";
    *start = p - q;
    if (played.size() < *start + expected.size())
        return ::testing::AssertionFailure() << "the device played " << played.size() - *start << " samples from "
                                             << *start << ", the reference has " << expected.size();
    for (size_t i = 0; i < expected.size(); ++i) {
        if (played[*start + i] != expected[i])
            return ::testing::AssertionFailure() << "sample " << i << " of the reference (device sample " << *start + i
                                                 << "): played " << played[*start + i] << ", expected " << expected[i];
    }
    return ::testing::AssertionSuccess();
}

class Playback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        amr_ = new Stream(AmrStream());
        voice_ = new Stream(VoiceStream());
    }
    static void TearDownTestSuite()
    {
        delete amr_;
        delete voice_;
    }

    void SetUp() override
    {
        ASSERT_TRUE(lib_.Load()) << lib_.error();
        ASSERT_TRUE(spy().Attach(lib_.module()));
        spy().Reset();
    }
    void TearDown() override
    {
        if (h_ != nullptr) {
            EXPECT_EQ(lib_->SV_CloseSonavex(h_), 1);
        }
        h_ = nullptr;
    }

    static Spy& spy() { return Spy::Get(); }

    // Opens a decoder; `device` is the wave device it opened.
    void Open(int mode, int live)
    {
        h_ = lib_->SV_OpenSonavex(mode, live);
        ASSERT_NE(h_, nullptr);
        device_ = &spy().Last();
        EXPECT_EQ(device_->format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(device_->format.nChannels, 1);
        EXPECT_EQ(device_->format.nSamplesPerSec, 8000u);
        EXPECT_EQ(device_->format.wBitsPerSample, 16);
    }
    // Closes it: the close must find the device's close notice rather than
    // give up after its twenty waits of 100 ms.
    void Close()
    {
        const long waits = spy().Sleeps100();
        EXPECT_EQ(lib_->SV_CloseSonavex(h_), 1);
        h_ = nullptr;
        EXPECT_EQ(device_->closeResult.load(), static_cast<MMRESULT>(MMSYSERR_NOERROR));
        EXPECT_EQ(device_->closed.load(), 1) << "WOM_CLOSE";
        EXPECT_LT(spy().Sleeps100() - waits, 20) << "the close timed out instead of seeing WOM_CLOSE";
    }

    int Frames() const { return lib_->SV_AudioDecGetFrames(h_); }
    void Feed(const Payload& f, int type, int64_t pts)
    {
        ASSERT_EQ(lib_->SV_InputAudioBuffer(h_, f.data(), static_cast<int32_t>(f.size()), type, pts, 1), 1);
    }
    // Waits, following the device, until `done` holds (bounded).
    ::testing::AssertionResult WaitUntil(const std::function<bool()>& done, const char* what)
    {
        const DWORD start = GetTickCount();
        while (!done()) {
            if (GetTickCount() - start > 30000)
                return ::testing::AssertionFailure() << "gave up waiting: " << what;
            spy().WaitNotice(200);
        }
        return ::testing::AssertionSuccess();
    }
    // Feeds frames [from, to) of `s` keeping kAhead frames queued, topped up
    // at each buffer the device hands back; `seen` collects the stamps
    // SV_GetPts reports meanwhile.
    void FeedAhead(const Stream& s, size_t from, size_t to, const std::function<int(size_t)>& type,
                   std::vector<int64_t>* seen = nullptr)
    {
        for (size_t i = from; i < to;) {
            while (i < to && Frames() < kAhead) {
                Feed(s.frames[i], type(i), Stamp(i));
                ++i;
            }
            if (seen != nullptr) {
                int64_t pts = 0;
                lib_->SV_GetPts(h_, &pts, nullptr);
                seen->push_back(pts);
            }
            const long before = device_->buffers.load();
            ASSERT_TRUE(spy().WaitBuffers(*device_, before + 1)) << "the device stopped";
        }
    }
    // Waits until the queue is empty and ten more buffers went by, so that
    // everything queued has reached the device.
    void Drain()
    {
        ASSERT_TRUE(WaitUntil([&] { return Frames() == 0; }, "the queue to empty"));
        ASSERT_TRUE(spy().WaitBuffers(*device_, device_->buffers.load() + static_cast<long>(kRingBuffers)));
    }
    // What wine handed ALSA since the device was opened.
    static std::vector<int16_t> Played()
    {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(svhost::ReadWholeFile(svhost::WinePath(svhost::Env("SV_WINE_ALSA_FILE")), &bytes))
            << "no ALSA output file: SV_WINE_ALSA_FILE=" << svhost::Env("SV_WINE_ALSA_FILE");
        EXPECT_EQ(bytes.size() % 2, 0u) << "whole 16-bit samples";
        std::vector<int16_t> pcm(bytes.size() / 2);
        memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
        return pcm;
    }

    static Stream* amr_;
    static Stream* voice_;
    Library lib_;
    SV_DECODER h_ = nullptr;
    Device* device_ = nullptr;
};

Stream* Playback::amr_ = nullptr;
Stream* Playback::voice_ = nullptr;

int AmrType(size_t) { return SV_PAYLOAD_AMR; }

// ---- The device ---------------------------------------------------------------

TEST_F(Playback, EveryKindOfStreamOpensCyclesItsBuffersAndClosesOnItsCloseNotice)
{
    struct Case {
        int mode, live;
    };
    for (const Case c : {Case{SV_PREBUFFER_8, SV_LIVE_STREAM}, Case{SV_PREBUFFER_20, SV_LIVE_STREAM},
                         Case{SV_PREBUFFER_8, SV_FILE_PLAYBACK}, Case{SV_PREBUFFER_20, SV_FILE_PLAYBACK},
                         Case{SV_PREBUFFER_8, SV_LIVE_STREAM}}) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " live " << c.live);
        Open(c.mode, c.live);
        EXPECT_EQ(device_->opened.load(), 1) << "WOM_OPEN";
        // More buffers back than the ring holds: each was refilled and queued again.
        ASSERT_TRUE(spy().WaitBuffers(*device_, 2 * kRingBuffers));
        Close();
    }
    // Two decoders at once play on two devices; closing one leaves the other going.
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    SV_DECODER a = h_;
    Device* deviceA = device_;
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    SV_DECODER b = h_;
    Device* deviceB = device_;
    ASSERT_NE(deviceA, deviceB);
    h_ = a;
    device_ = deviceA;
    Close();
    h_ = b;
    device_ = deviceB;
    ASSERT_TRUE(spy().WaitBuffers(*device_, device_->buffers.load() + static_cast<long>(kRingBuffers)));
    Close();
    for (int i = 0; i < spy().Count(); ++i)
        EXPECT_EQ(spy()[i].late.load(), 0) << "device " << i << " called back after its close returned";
}

// Closing while frames play, at different points of the ring; the last
// round unloads the library at once. No notice may come after a device's
// close returned.
TEST_F(Playback, CloseWhilePlayingEndsTheDeviceBeforeItReturns)
{
    const int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        for (size_t i = 0; i < 40; ++i)
            Feed(amr_->frames[i], SV_PAYLOAD_AMR, static_cast<int64_t>(i));
        ASSERT_TRUE(spy().WaitBuffers(*device_, 3 + round));
        Close();
    }
    spy().StopForwarding();
    lib_.Unload();
    // Time for a device left running to call back (it would be counted, not
    // run in the unloaded library).
    for (int i = 0; i < 10; ++i)
        spy().WaitNotice(50);
    for (int i = 0; i < spy().Count(); ++i)
        EXPECT_EQ(spy()[i].late.load(), 0) << "device " << i << " called back after its close returned";
}

TEST_F(Playback, VolumeReadsBackAsTheDeviceItselfReportsIt)
{
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    // A device of the test's own, in the same format: what winmm reports for
    // a level it was given is the measure (wine rounds, and a mono device
    // reports one channel).
    WAVEFORMATEX f = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    HWAVEOUT own = nullptr;
    ASSERT_EQ(waveOutOpen(&own, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    auto report = [&](DWORD level) {
        const DWORD w = level & 0xFFFF;
        EXPECT_EQ(waveOutSetVolume(own, (w << 16) | w), static_cast<MMRESULT>(MMSYSERR_NOERROR));
        DWORD v = 0;
        EXPECT_EQ(waveOutGetVolume(own, &v), static_cast<MMRESULT>(MMSYSERR_NOERROR));
        return v;
    };
    EXPECT_EQ(lib_->SV_AudioDecGetVolume(h_), report(0xFFFF)) << "a new decoder plays at full level";
    for (uint32_t level : {0x0000u, 0x0001u, 0x1234u, 0x7FFFu, 0x8000u, 0x0003C000u, 0xABCDFFFEu, 0xFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << level);
        EXPECT_EQ(lib_->SV_AudioDecSetVolume(h_, level), 1);
        EXPECT_EQ(lib_->SV_AudioDecGetVolume(h_), report(level));
    }
    EXPECT_EQ(waveOutClose(own), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    Close();
}

// ---- The queue, with the device running ---------------------------------------

TEST_F(Playback, ALiveStreamHoldsItsFramesUntilThePrebufferIsFullThenDrains)
{
    for (int mode : {SV_PREBUFFER_8, SV_PREBUFFER_20}) {
        const size_t depth = mode == SV_PREBUFFER_8 ? 8 : 20;
        SCOPED_TRACE(depth);
        Open(mode, SV_LIVE_STREAM);
        for (size_t i = 0; i + 1 < depth; ++i)
            Feed(amr_->frames[i], SV_PAYLOAD_AMR, Stamp(i));
        ASSERT_TRUE(spy().WaitBuffers(*device_, device_->buffers.load() + 2 * static_cast<long>(kRingBuffers)));
        EXPECT_EQ(Frames(), static_cast<int>(depth) - 1) << "nothing plays before the pre-buffer is full";
        int64_t pts = -1;
        lib_->SV_GetPts(h_, &pts, nullptr);
        EXPECT_EQ(pts, 0);
        Feed(amr_->frames[depth - 1], SV_PAYLOAD_AMR, Stamp(depth - 1));
        EXPECT_TRUE(WaitUntil([&] { return Frames() == 0; }, "the pre-buffer to play"));
        Close();
    }
}

// The clears on a live stream still gathering its pre-buffer of 20, so the
// device (running all along) takes nothing meanwhile: each call's result and
// both 64-bit outputs cross the DLL boundary intact.
TEST_F(Playback, ClearsByCountAndByTimeDropTheOldestFrames)
{
    Open(SV_PREBUFFER_20, SV_LIVE_STREAM);
    const int64_t kStep = 1000;  // a count of 1 in a clear by time spans one frame
    for (size_t i = 0; i < 19; ++i)
        Feed(amr_->frames[i], SV_PAYLOAD_AMR, kBase + static_cast<int64_t>(i) * kStep);
    struct Case {
        int32_t type, mode;
        uint32_t count;
        int frames;
        int64_t next;  // stamp of the oldest frame left, 0 for none
    };
    const Case cases[] = {
        {SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 5, 14, kBase + 5 * kStep},
        // From the input frame (the 19th): every queued frame lies before it, so none goes.
        {SV_CLEAR_BY_TIME, SV_CLEAR_FROM_INPUT, 3, 14, kBase + 5 * kStep},
        {SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 4, 4, kBase + 15 * kStep},
        {SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 100, 1, kBase + 18 * kStep},
        {SV_CLEAR_BY_TIME, SV_CLEAR_KEEP_NEWEST, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " mode " << c.mode << " count " << c.count);
        int64_t pts = -1;
        int64_t next = -1;
        EXPECT_EQ(lib_->SV_ClearAudioFrames(h_, c.type, c.mode, c.count, &pts, &next), SV_OK);
        EXPECT_EQ(Frames(), c.frames);
        EXPECT_EQ(pts, 0) << "nothing has played";
        EXPECT_EQ(next, c.next);
        ASSERT_TRUE(spy().WaitBuffers(*device_, device_->buffers.load() + 2));
    }
    // From the playing frame (none, stamp 0): frames stamped 0 to 4000 lie
    // less than 5000 after it.
    for (int64_t i = 0; i < 10; ++i)
        Feed(amr_->frames[static_cast<size_t>(i)], SV_PAYLOAD_AMR, i * kStep);
    int64_t next = -1;
    EXPECT_EQ(lib_->SV_ClearAudioFrames(h_, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_PLAYING, 5, nullptr, &next), SV_OK);
    EXPECT_EQ(Frames(), 5);
    EXPECT_EQ(next, 5 * kStep);
    EXPECT_EQ(lib_->SV_AudioDecClear(h_), 1);
    EXPECT_EQ(Frames(), 0);
    Close();
}

// ---- Audio -------------------------------------------------------------------

// A live AMR stream fed as a recorder feeds it: the device plays its ten
// silent buffers, then every decoded frame in order. The clock reports only
// stamps that were fed, high word and all, in order.
TEST_F(Playback, ALiveAmrStreamPlaysTheReferenceDecodeAfterTheTenSilentBuffers)
{
    // The first refill waits until the pre-buffer is queued, so that exactly
    // the ten silent buffers come first.
    spy().HoldFirstDone();
    Open(SV_PREBUFFER_8, SV_LIVE_STREAM);
    for (size_t i = 0; i < 8; ++i)
        Feed(amr_->frames[i], SV_PAYLOAD_AMR, Stamp(i));
    spy().Release();
    std::vector<int64_t> seen;
    FeedAhead(*amr_, 8, amr_->frames.size(), AmrType, &seen);
    Drain();
    Close();

    size_t start = 0;
    EXPECT_TRUE(PlaysAfterSilence(Played(), amr_->reference, &start));
    EXPECT_EQ(start, kRingBuffers * kBufferSamples);

    std::set<int64_t> stamps;
    for (size_t i = 0; i < amr_->frames.size(); ++i)
        stamps.insert(Stamp(i));
    int64_t last = 0;
    size_t playing = 0;
    for (int64_t pts : seen) {
        if (pts == 0)
            continue;
        ++playing;
        EXPECT_EQ(stamps.count(pts), 1u) << pts << " was never fed";
        EXPECT_GE(pts, last);
        last = pts;
    }
    EXPECT_GT(playing, seen.size() / 2) << "the clock named a playing frame";
}

// The playing stamp of SV_GetPts is the frame the device took last, into the
// buffer it queued behind the nine still queued: it is heard about nine
// buffers (360 ms) after SV_GetPts first names it. Measured in buffers the
// device handed back, not by the clock.
TEST_F(Playback, ThePlayingStampIsHeardAboutNineBuffersLater)
{
    spy().HoldFirstDone();
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    for (size_t i = 0; i < kAhead; ++i)
        Feed(amr_->frames[i], SV_PAYLOAD_AMR, Stamp(i));
    spy().Release();
    // Each reading: the buffers the device had handed back, and the stamp then.
    std::vector<std::pair<long, int64_t>> readings;
    size_t next = kAhead;
    while (next < amr_->frames.size()) {
        const long before = device_->buffers.load();
        int64_t pts = 0;
        lib_->SV_GetPts(h_, &pts, nullptr);
        if (device_->buffers.load() == before && pts != 0)
            readings.emplace_back(before, pts);
        while (next < amr_->frames.size() && Frames() < kAhead) {
            Feed(amr_->frames[next], SV_PAYLOAD_AMR, Stamp(next));
            ++next;
        }
        ASSERT_TRUE(spy().WaitBuffers(*device_, before + 1)) << "the device stopped";
    }
    Drain();
    Close();
    size_t start = 0;
    ASSERT_TRUE(PlaysAfterSilence(Played(), amr_->reference, &start));
    // The buffer that plays each named frame, less the buffer the device was
    // at then; the median is reported.
    std::vector<long> ahead;
    for (const auto& r : readings) {
        const size_t frame = static_cast<size_t>((r.second - kBase) / 20);
        ahead.push_back(static_cast<long>((start + amr_->starts[frame]) / kBufferSamples) - r.first);
    }
    ASSERT_GT(ahead.size(), 20u);
    std::sort(ahead.begin(), ahead.end());
    const long median = ahead[ahead.size() / 2];
    printf("playing stamp heard %ld buffers (%ld ms) after SV_GetPts named it: median of %zu readings, %ld to %ld\n",
           median, median * 40, ahead.size(), ahead.front(), ahead.back());
    EXPECT_GE(median, 8);
    EXPECT_LE(median, 10);
}

// A file stream of voice-engine frames of four sizes, payload types 2 and 3
// alternating on one decoder state.
TEST_F(Playback, AVoiceFileStreamPlaysTheReferenceDecodeAcrossBufferEdges)
{
    spy().HoldFirstDone();
    Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    const auto type = [](size_t i) { return i % 2 == 0 ? SV_PAYLOAD_VOICE : SV_PAYLOAD_VOICE_B; };
    for (size_t i = 0; i < 6; ++i)
        Feed(voice_->frames[i], type(i), Stamp(i));
    spy().Release();
    FeedAhead(*voice_, 6, voice_->frames.size(), type);
    Drain();
    Close();

    size_t start = 0;
    EXPECT_TRUE(PlaysAfterSilence(Played(), voice_->reference, &start));
    EXPECT_EQ(start, kRingBuffers * kBufferSamples);
}

// Mute and both stops of a file stream: frames go on being taken, and the
// device plays only silence; undone, the stream plays on, sample for sample
// the reference of the frames that followed.
TEST_F(Playback, SilencedFramesPlayAsZerosAndTheStreamResumesExactly)
{
    struct Case {
        const char* name;
        std::function<int32_t(const svhost::Api&, SV_DECODER)> silence, resume;
    };
    const Case cases[] = {
        {"mute", [](const svhost::Api& a, SV_DECODER h) { return a.SV_SetMuteAudio(h, 1); },
         [](const svhost::Api& a, SV_DECODER h) { return a.SV_SetMuteAudio(h, 0); }},
        {"stop, drain", [](const svhost::Api& a, SV_DECODER h) { return a.SV_StopFileAudio(h, SV_STOP_DRAIN); },
         [](const svhost::Api& a, SV_DECODER h) { return a.SV_StopFileAudio(h, SV_STOP_OFF); }},
        {"stop now", [](const svhost::Api& a, SV_DECODER h) { return a.SV_StopFileAudio(h, SV_STOP_NOW); },
         [](const svhost::Api& a, SV_DECODER h) { return a.SV_StopFileAudio(h, SV_STOP_OFF); }},
    };
    const size_t kSilenced = 30;
    const size_t kAfter = 60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        EXPECT_EQ(c.silence(*lib_, h_), 1);
        FeedAhead(*amr_, 0, kSilenced, AmrType);
        ASSERT_TRUE(WaitUntil([&] { return Frames() == 0; }, "the silenced frames to be taken"));
        EXPECT_EQ(c.resume(*lib_, h_), 1);
        FeedAhead(*amr_, kSilenced, kAfter, AmrType);
        Drain();
        Close();

        size_t start = 0;
        EXPECT_TRUE(PlaysAfterSilence(Played(), amr_->Samples(kSilenced, kAfter), &start));
        EXPECT_GE(start, kRingBuffers * kBufferSamples);
    }
}

}  // namespace
