// What the tests of the host programs share: running a program and reading
// what it wrote, the WAV files the virtual device records, the speech
// samples' frames and their reference decodes.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hi_voice.h"
#include "test_codec_amr_streams.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline Bytes ReadBytes(const std::string& path)
{
    const std::string s = ReadText(path);
    return Bytes(s.begin(), s.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t Le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

inline void PutLe(Bytes* b, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A 16-bit PCM WAV file of `frames` silent frames, as its header describes it.
inline Bytes SilentWav(unsigned channels, uint32_t rate, uint32_t frames)
{
    const uint32_t block = channels * 2;
    Bytes b = {'R', 'I', 'F', 'F'};
    PutLe(&b, 36 + frames * block, 4);
    for (char c : std::string("WAVEfmt "))
        b.push_back(static_cast<unsigned char>(c));
    PutLe(&b, 16, 4);
    PutLe(&b, 1, 2);
    PutLe(&b, channels, 2);
    PutLe(&b, rate, 4);
    PutLe(&b, rate * block, 4);
    PutLe(&b, block, 2);
    PutLe(&b, 16, 2);
    for (char c : std::string("data"))
        b.push_back(static_cast<unsigned char>(c));
    PutLe(&b, frames * block, 4);
    b.resize(b.size() + frames * block, 0);
    return b;
}

// The samples of a 16-bit mono WAV file, or nothing when it is not one.
inline std::vector<short> ReadWav(const std::string& path)
{
    const Bytes b = ReadBytes(path);
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0)
        return {};
    bool pcm16mono = false;
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size = Le32(&b[at + 4]);
        if (memcmp(&b[at], "fmt ", 4) == 0 && at + 24 <= b.size())
            pcm16mono = b[at + 8] == 1 && b[at + 10] == 1 && Le32(&b[at + 12]) == 8000 && b[at + 22] == 16;
        if (memcmp(&b[at], "data", 4) == 0 && pcm16mono) {
            const size_t n = std::min<size_t>(size, b.size() - at - 8) / 2;
            std::vector<short> pcm(n);
            memcpy(pcm.data(), &b[at + 8], n * 2);
            return pcm;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

inline std::vector<codectest::AmrFrame> AmrFrames(const Bytes& file)
{
    static const int kBody[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};
    std::vector<codectest::AmrFrame> frames;
    for (size_t at = 6; at < file.size();) {
        const int body = kBody[(file[at] >> 3) & 15];
        if (body < 0 || at + 1 + body > file.size())
            break;
        frames.emplace_back(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + 1 + body));
        at += 1 + static_cast<size_t>(body);
    }
    return frames;
}

// Frame start offsets of a voice-engine stream.
inline std::vector<size_t> VoiceFrameOffsets(const Bytes& file)
{
    std::vector<size_t> offsets;
    for (size_t at = 0; at + 8 <= file.size();) {
        const size_t n = file[at + 2] | (file[at + 3] << 8);
        if (file[at] != 0xA5 || at + 8 + (n + 1) / 2 > file.size())
            break;
        offsets.push_back(at);
        at += 8 + (n + 1) / 2;
    }
    return offsets;
}

inline std::vector<short> VoiceReference(const Bytes& file)
{
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES] = {};
    EXPECT_EQ(HI_VOICE_DecReset(state, 3), 0);
    std::vector<short> pcm;
    for (size_t at : VoiceFrameOffsets(file)) {
        short out[HI_VOICE_MAX_SAMPLES];
        short n = 0;
        EXPECT_EQ(HI_VOICE_DecodeFrame(state, &file[at], out, &n), 0);
        pcm.insert(pcm.end(), out, out + n);
    }
    return pcm;
}

// Where the stream starts in what the device played: everything before it is
// the device's leading silence.
inline long StreamStart(const std::vector<short>& played, const std::vector<short>& reference)
{
    size_t firstPlayed = 0;
    while (firstPlayed < played.size() && played[firstPlayed] == 0)
        ++firstPlayed;
    size_t firstRef = 0;
    while (firstRef < reference.size() && reference[firstRef] == 0)
        ++firstRef;
    return static_cast<long>(firstPlayed) - static_cast<long>(firstRef);
}

// `reference[0, count)` was played whole, after nothing but silence.
inline ::testing::AssertionResult PlayedAfterSilence(const std::vector<short>& played, const std::vector<short>& reference,
                                              size_t count)
{
    if (count > reference.size())
        return ::testing::AssertionFailure() << "reference too short";
    const long start = StreamStart(played, reference);
    if (start < 0 || static_cast<size_t>(start) + count > played.size())
        return ::testing::AssertionFailure() << "stream not found whole: starts at " << start << ", "
                                             << played.size() << " samples played";
    for (size_t i = 0; i < count; ++i)
        if (played[static_cast<size_t>(start) + i] != reference[i])
            return ::testing::AssertionFailure() << "sample " << i << " of the stream (at " << start + static_cast<long>(i)
                                                 << "): played " << played[static_cast<size_t>(start) + i]
                                                 << ", reference " << reference[i];
    return ::testing::AssertionSuccess();
}

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/svplayXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(access(Sample("speech.amr").c_str(), R_OK), 0) << "the speech samples are made by the build";
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    static std::string Sample(const char* name) { return std::string(SV_SAMPLES_DIR) + "/" + name; }
    std::string Temp(const char* name) const { return dir_ + "/" + name; }

    // `shell` comes before the program, in the same shell: a limit it sets
    // applies to the program.
    Result Run(const std::string& program, const std::string& args, const std::string& shell = "") const
    {
        const std::string out = Temp("stdout");
        const std::string err = Temp("stderr");
        const std::string cmd = shell + "'" + program + "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
        const int raw = system(cmd.c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = ReadText(out);
        r.err = ReadText(err);
        return r;
    }
    Result Play(const std::string& args, const std::string& shell = "") const { return Run(SV_PLAY_EXE, args, shell); }

    // A render that must be exact. An underrun puts silence into the stream,
    // and on a loaded machine the player can be held up for longer than its
    // slack (100 ms at 4x with 20 frames queued): such a run says so in its
    // summary and is made again.
    Result Render(const std::string& args) const
    {
        Result r;
        for (int attempt = 0; attempt < 4; ++attempt) {
            r = Play(args);
            if (r.out.find("underruns seen 0,") != std::string::npos)
                break;
        }
        EXPECT_NE(r.out.find("underruns seen 0,"), std::string::npos) << r.out;
        return r;
    }

    std::string dir_;
};

} // namespace
