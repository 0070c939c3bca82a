// The record tool, run as a user runs it: on the virtual input device with a
// tone at high speed it writes a WAV file that holds the tone sample for
// sample; it reports progress in plain lines when not on a terminal, and a
// path it cannot write is a clear error with a non-zero exit.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int exitCode;
    std::string output;
};

ToolRun RunTool(const std::string& args)
{
    const std::string command = std::string("'") + SV_RECORD_EXE + "' " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {-1, ""};
    std::string output;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::vector<unsigned char> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le(const std::vector<unsigned char>& b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + i];
    return v;
}

class RecordTool : public ::testing::Test {
protected:
    void TearDown() override { remove(out_.c_str()); }
    std::string out_ = "/tmp/sonavex-record-test-" + std::to_string(getpid()) + ".wav";
};

TEST_F(RecordTool, RecordsTheVirtualDevicesToneIntoAWavFileSampleForSample)
{
    const ToolRun run = RunTool("--source tone:440 --speed 8 --duration 2 '" + out_ + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("recording from the virtual input device"), std::string::npos) << run.output;
    // Not a terminal: one plain line a second, no carriage returns.
    EXPECT_NE(run.output.find("00:01.0  level   -9.0 dBFS  peak   -6.0 dBFS\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find('\r'), std::string::npos);
    EXPECT_NE(run.output.find("recorded 00:02.0 (16000 samples)"), std::string::npos) << run.output;

    const std::vector<unsigned char> wav = ReadAll(out_);
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(memcmp(&wav[0], "RIFF", 4), 0);
    EXPECT_EQ(memcmp(&wav[8], "WAVEfmt ", 8), 0);
    EXPECT_EQ(Le(wav, 20, 2), 1u);      // PCM
    EXPECT_EQ(Le(wav, 22, 2), 1u);      // mono
    EXPECT_EQ(Le(wav, 24, 4), 8000u);   // Hz
    EXPECT_EQ(Le(wav, 28, 4), 16000u);  // bytes a second
    EXPECT_EQ(Le(wav, 32, 2), 2u);
    EXPECT_EQ(Le(wav, 34, 2), 16u);
    // The data chunk, wherever the writer put it.
    size_t at = 12, data = 0, bytes = 0;
    while (at + 8 <= wav.size()) {
        const uint32_t size = Le(wav, at + 4, 4);
        if (memcmp(&wav[at], "data", 4) == 0) {
            data = at + 8;
            bytes = size;
            break;
        }
        at += 8 + size + (size & 1);
    }
    ASSERT_NE(data, 0u);
    ASSERT_EQ(bytes, 32000u);
    ASSERT_EQ(wav.size(), data + bytes);
    // Every frame the library recorded, in order, from the tone's start: none
    // lost to the pre-buffer or to a reader that fell behind.
    for (size_t n = 0; n < bytes / 2; ++n) {
        const int16_t expected = static_cast<int16_t>(lround(0.5 * 32767.0 * sin(2.0 * M_PI * 440.0 * n / 8000.0)));
        ASSERT_EQ(static_cast<int16_t>(Le(wav, data + 2 * n, 2)), expected) << "sample " << n;
    }
}

TEST_F(RecordTool, APathThatCannotBeWrittenIsAClearErrorAndNothingIsRecorded)
{
    const ToolRun run = RunTool("--source tone --duration 1 /nonexistent-dir/out.wav");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("sonavex-record: cannot write /nonexistent-dir/out.wav"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("recording from"), std::string::npos) << run.output;
}

TEST_F(RecordTool, OptionsItCannotUseAreRefusedWithUsage)
{
    ToolRun run = RunTool("--device alsa --speed 4 '" + out_ + "'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("cannot be used with --device alsa"), std::string::npos) << run.output;
    run = RunTool("--duration 0 '" + out_ + "'");
    EXPECT_EQ(run.exitCode, 2);
    run = RunTool("--source tone:5000 '" + out_ + "'");
    EXPECT_EQ(run.exitCode, 2);
    run = RunTool("");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("no output file"), std::string::npos) << run.output;
    EXPECT_TRUE(ReadAll(out_).empty());
}

}  // namespace
