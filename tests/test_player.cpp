// sonavex-play as a user runs it: the speech samples rendered through the
// library on the virtual device to a WAV file, compared with a reference
// decode of the same frames; and its answers to bad input.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_player_common.h"

namespace {

// The device runs four times faster than real time, and the player's pace with
// it; the pre-buffer of 20 frames leaves it 100 ms of slack.
const char kRender[] = "--speed 4 --prebuffer 20 ";

TEST_F(PlayerTest, AmrSamplePlaysTheReferenceDecodeLive)
{
    const std::vector<codectest::AmrFrame> frames = AmrFrames(ReadBytes(Sample("speech.amr")));
    ASSERT_GT(frames.size(), 100u);
    const std::vector<short> reference = codectest::OpencoreDecode(frames);

    const Result r = Render(std::string(kRender) + "--out '" + Temp("out.wav") + "' '" + Sample("speech.amr") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
    // Not on a terminal: plain progress lines, then the summary.
    EXPECT_NE(r.out.find("position "), std::string::npos) << r.out;
    const std::string fed = "frames fed " + std::to_string(frames.size()) + ", frames played " +
                            std::to_string(frames.size()) + ",";
    EXPECT_NE(r.out.find(fed), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST_F(PlayerTest, VoiceSamplePlaysTheReferenceDecodeAsAFile)
{
    const std::vector<short> reference = VoiceReference(ReadBytes(Sample("speech.ve")));
    ASSERT_GT(reference.size(), 8000u);
    const Result r =
        Render(std::string(kRender) + "--file --out '" + Temp("out.wav") + "' '" + Sample("speech.ve") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
}

// At speed 0 the device keeps the player's time rather than the wall clock's:
// however fast the machine, the file holds what a real-time run plays, the
// device's leading silence, then every frame, then only the tail the player
// waits for.
TEST_F(PlayerTest, SpeedZeroRendersTheStreamAsPlayedAndNoMore)
{
    const std::vector<short> amr = codectest::OpencoreDecode(AmrFrames(ReadBytes(Sample("speech.amr"))));
    const std::vector<short> voice = VoiceReference(ReadBytes(Sample("speech.ve")));
    struct Case {
        const char* args;
        const char* sample;
        const std::vector<short>* reference;
        long frameSamples;
        long prebuffer;  // frames a live stream waits for before it plays; 0 as a file
    };
    const Case cases[] = {
        {"", "speech.amr", &amr, 160, 8},
        {"--file ", "speech.amr", &amr, 160, 0},
        {"--prebuffer 20 ", "speech.ve", &voice, 320, 20},
        {"--file ", "speech.ve", &voice, 320, 0},
    };
    // In samples: the ten 40 ms buffers the device keeps queued, and one.
    const long kQueue = 3200;
    const long kBuffer = 320;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.args) + c.sample);
        const Result r = Play(std::string("--speed 0 ") + c.args + "--out '" + Temp("out.wav") + "' '" +
                              Sample(c.sample) + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("underruns seen 0,"), std::string::npos) << r.out;
        const std::vector<short> played = ReadWav(Temp("out.wav"));
        EXPECT_TRUE(PlayedAfterSilence(played, *c.reference, c.reference->size()));
        // Before the stream: the queue, a live stream's pre-buffer, and the
        // buffer the first frame was taken into.
        const long start = StreamStart(played, *c.reference);
        EXPECT_LE(start, kQueue + c.prebuffer * c.frameSamples + kBuffer);
        // After it: the rest of the last frame's buffer, then the 200 ms
        // (the concealment's two buffers and silence) that the player waits
        // for once the queue has played out, noticed within a frame.
        const long tail = static_cast<long>(played.size()) - start - static_cast<long>(c.reference->size());
        EXPECT_LE(tail, kBuffer + 1600 + kBuffer);
    }
}

// An audio file is resampled and encoded while it plays, to the same frames
// the encoder writes.
TEST_F(PlayerTest, AudioFileIsEncodedOnTheFly)
{
    const Result enc = Run(SV_ENCODE_EXE, "--amr-mode 0 '" + Sample("speech.flac") + "' '" + Temp("flac.amr") + "'");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const std::vector<short> reference = codectest::OpencoreDecode(AmrFrames(ReadBytes(Temp("flac.amr"))));
    ASSERT_GT(reference.size(), 8000u);

    const Result r = Render(std::string(kRender) + "--amr-mode 0 --out '" + Temp("out.wav") + "' '" +
                          Sample("speech.flac") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
}

TEST_F(PlayerTest, MutePlaysSilenceForTheWholeStream)
{
    const Result r =
        Play(std::string(kRender) + "--mute --out '" + Temp("out.wav") + "' '" + Sample("speech-475.amr") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<short> played = ReadWav(Temp("out.wav"));
    const size_t frames = AmrFrames(ReadBytes(Sample("speech-475.amr"))).size();
    EXPECT_GE(played.size(), frames * 160);
    EXPECT_EQ(std::count(played.begin(), played.end(), 0), static_cast<long>(played.size()));
    EXPECT_NE(r.out.find("frames played " + std::to_string(frames)), std::string::npos) << r.out;
}

TEST_F(PlayerTest, StopFileEndsTheStreamWhereItStood)
{
    const std::vector<codectest::AmrFrame> frames = AmrFrames(ReadBytes(Sample("speech.amr")));
    const std::vector<short> reference = codectest::OpencoreDecode(frames);
    const Result r = Render(std::string(kRender) + "--file --stop-file 2 --out '" + Temp("out.wav") + "' '" +
                          Sample("speech.amr") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<short> played = ReadWav(Temp("out.wav"));
    // Up to the stop the stream played as it is; then the device's own queue
    // and its concealment play out, then silence, and the player ends.
    EXPECT_TRUE(PlayedAfterSilence(played, reference, 8000 * 3 / 2));
    const long start = StreamStart(played, reference);
    EXPECT_LT(played.size(), static_cast<size_t>(start) + 8000 * 3);
    ASSERT_GT(played.size(), 320u);
    EXPECT_EQ(std::count(played.end() - 320, played.end(), 0), 320) << "the recording ends in silence";
    EXPECT_EQ(r.out.find("frames fed " + std::to_string(frames.size())), std::string::npos) << r.out;
}

TEST_F(PlayerTest, TruncatedLastFrameIsReportedAfterTheFramesBeforeItPlayed)
{
    Bytes file = ReadBytes(Sample("speech.amr"));
    const std::vector<codectest::AmrFrame> frames = AmrFrames(file);
    file.resize(file.size() - 3);
    WriteBytes(Temp("cut.amr"), file);
    const std::vector<codectest::AmrFrame> whole(frames.begin(), frames.end() - 1);
    const std::vector<short> reference = codectest::OpencoreDecode(whole);

    const Result r = Render(std::string(kRender) + "--out '" + Temp("out.wav") + "' '" + Temp("cut.amr") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Temp("cut.amr")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("truncated last frame"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("frames fed " + std::to_string(whole.size()) + ","), std::string::npos) << r.out;
    EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
}

TEST_F(PlayerTest, BadVoiceFrameEndsTheStreamWithAReport)
{
    Bytes file = ReadBytes(Sample("speech.ve"));
    const std::vector<size_t> offsets = VoiceFrameOffsets(file);
    ASSERT_GT(offsets.size(), 6u);
    file[offsets[5]] = 0x5A;
    WriteBytes(Temp("bad.ve"), file);
    const Result r = Play("--quiet --out '" + Temp("out.wav") + "' --speed 0 '" + Temp("bad.ve") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "--quiet";
    EXPECT_NE(r.err.find("bad frame marker 0x5A"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("byte " + std::to_string(offsets[5])), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the 5 frames before it were played"), std::string::npos) << r.err;
}

// Input the player refuses before it opens the device leaves the recording
// of an earlier run as it was.
TEST_F(PlayerTest, BadInputGetsAClearMessageAndAFailingExit)
{
    enum Kind { kMissing, kFile, kDirectory };
    struct Case {
        std::string name;
        Kind kind;
        Bytes content;
        const char* message;
        bool refusedBeforePlaying;
    };
    const std::string magic = "#!AMX\n";
    // A header that makes 7 channels at 1 Hz of 1200 bytes: 86 s of "audio".
    const Bytes absurd = SilentWav(7, 1, 86);
    const std::vector<Case> cases = {
        {"missing.amr", kMissing, {}, "cannot open", true},
        {"wrong.amr", kFile, Bytes(magic.begin(), magic.end()), "does not begin with the magic \"#!AMR\\n\"", true},
        {"wrong.ve", kFile, Bytes{0x12, 0x34, 0x56}, "not a voice-engine stream", true},
        {"notes.txt", kFile, Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "unsupported audio format", true},
        {"wide.amr", kFile, Bytes{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n', 0}, "AMR-WB is not supported", true},
        {"empty.amr", kFile, Bytes{'#', '!', 'A', 'M', 'R', '\n'}, "no audio in it", false},
        {"blank.wav", kFile, {}, "empty file", true},
        {"folder.amr", kDirectory, {}, "is a directory", true},
        {"folder", kDirectory, {}, "is a directory", true},
        {"slow.wav", kFile, absurd, "its header gives a sample rate of 1 Hz", true},
        {"fast.wav", kFile, SilentWav(1, 1000000, 100), "sample rate of 1000000 Hz", true},
    };
    const Bytes earlier = SilentWav(1, 8000, 80);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kind == kFile) {
            WriteBytes(Temp(c.name.c_str()), c.content);
        } else if (c.kind == kDirectory) {
            ASSERT_EQ(mkdir(Temp(c.name.c_str()).c_str(), 0700), 0);
        }
        WriteBytes(Temp("out.wav"), earlier);
        const Result r = Play("--speed 0 --out '" + Temp("out.wav") + "' '" + Temp(c.name.c_str()) + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(Temp(c.name.c_str())), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.refusedBeforePlaying) {
            EXPECT_EQ(ReadBytes(Temp("out.wav")), earlier);
        }
    }
}

// A recording that cannot be made, or fails part way, is named with the
// system's reason and a failing exit; a file cut short keeps a header that
// counts what it holds, which is what was played up to there.
TEST_F(PlayerTest, ARecordingThatFailsIsReportedAndKeepsWhatWasWritten)
{
    const std::vector<short> reference = codectest::OpencoreDecode(AmrFrames(ReadBytes(Sample("speech.amr"))));
    WriteBytes(Temp("mine.amr"), ReadBytes(Sample("speech.amr")));
    struct Case {
        std::string out;
        std::string input;
        std::string shell;
        const char* message;
    };
    // Writes past the limit fail with EFBIG, once the player has seen to it
    // that the signal sent with that does not end it.
    const std::string limited = "ulimit -f 40; ";
    const std::vector<Case> cases = {
        {Temp("none/out.wav"), Sample("speech.amr"), "", "cannot create it: No such file or directory"},
        {dir_, Sample("speech.amr"), "", "cannot create it: Is a directory"},
        {"/dev/full", Sample("speech.amr"), "", "No space left on device"},
        {Temp("mine.amr"), Temp("mine.amr"), "", "--out names the input file"},
        {Temp("cut.wav"), Sample("speech.amr"), limited, "writing failed after"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        const Result r = Play("--quiet --speed 0 --out '" + c.out + "' '" + c.input + "'", c.shell);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("sonavex-play: " + c.out + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadBytes(Temp("mine.amr")), ReadBytes(Sample("speech.amr")));

    const Bytes cut = ReadBytes(Temp("cut.wav"));
    ASSERT_GT(cut.size(), 44u);
    EXPECT_EQ(Le32(&cut[4]), cut.size() - 8) << "RIFF size";
    EXPECT_EQ(Le32(&cut[40]), cut.size() - 44) << "data size";
    const std::vector<short> played = ReadWav(Temp("cut.wav"));
    const long start = StreamStart(played, reference);
    ASSERT_GT(start, 0);
    ASSERT_LT(static_cast<size_t>(start), played.size());
    EXPECT_LT(played.size(), reference.size());
    EXPECT_TRUE(PlayedAfterSilence(played, reference, played.size() - static_cast<size_t>(start)));
}

TEST_F(PlayerTest, OptionMistakesAreUsageErrors)
{
    for (const char* args : {"--speed 4 x.amr", "--prebuffer 12 x.amr", "--volume 140 x.amr", "--frobnicate x.amr",
                             "", "--out a.wav --device alsa x.amr", "--playout fixed x.amr",
                             "--rtp 5004 --playout fast"}) {
        SCOPED_TRACE(args);
        const Result r = Play(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("sonavex-play: "), std::string::npos) << r.err;
    }
}

} // namespace
