// The record tool, run as a user runs it: on the virtual input device with a
// tone at high speed it writes a WAV file that holds the tone sample for
// sample; it reports progress in plain lines when not on a terminal; a path
// it cannot write, a write that fails and a --source file it cannot record
// from are each a clear error with a non-zero exit.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
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

// `shell` comes before the tool, in the same shell: a limit it sets applies
// to the tool.
ToolRun RunTool(const std::string& args, const std::string& shell = "")
{
    const std::string command = shell + "'" + SV_RECORD_EXE + "' " + args + " 2>&1";
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

void WriteAll(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutLe(std::vector<unsigned char>* b, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A PCM WAV file: RIFF, a fmt chunk as given, and (unless `dataChunk` is
// false) a data chunk whose size field says `promised` bytes (-1: those it
// holds) and which holds `frames` silent frames.
std::vector<unsigned char> Wav(unsigned tag, unsigned channels, uint32_t rate, unsigned bits, uint32_t frames,
                               bool dataChunk = true, int64_t promised = -1)
{
    const uint32_t block = channels * bits / 8;
    const uint32_t bytes = frames * block;
    std::vector<unsigned char> b = {'R', 'I', 'F', 'F'};
    PutLe(&b, 4 + 24 + (dataChunk ? 8 + bytes : 0), 4);
    for (char c : std::string("WAVEfmt "))
        b.push_back(static_cast<unsigned char>(c));
    PutLe(&b, 16, 4);
    PutLe(&b, tag, 2);
    PutLe(&b, channels, 2);
    PutLe(&b, rate, 4);
    PutLe(&b, rate * block, 4);
    PutLe(&b, block, 2);
    PutLe(&b, bits, 2);
    if (dataChunk) {
        for (char c : std::string("data"))
            b.push_back(static_cast<unsigned char>(c));
        PutLe(&b, promised < 0 ? bytes : static_cast<uint32_t>(promised), 4);
        b.resize(b.size() + bytes, 0);
    }
    return b;
}

class RecordTool : public ::testing::Test {
protected:
    void TearDown() override
    {
        remove(out_.c_str());
        remove(source_.c_str());
    }
    std::string out_ = "/tmp/sonavex-record-test-" + std::to_string(getpid()) + ".wav";
    std::string source_ = "/tmp/sonavex-record-source-" + std::to_string(getpid()) + ".wav";
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

// A --source file is looked at before anything is opened: one the virtual
// device cannot record from is named with what is wrong with it, and no
// output file is made; one cut short records what it holds, and says so.
TEST_F(RecordTool, ASourceFileIsCheckedFirstAndWhatIsWrongWithItIsSaid)
{
    enum Kind { kMissing, kFile, kDirectory };
    struct Case {
        const char* what;
        Kind kind;
        std::vector<unsigned char> content;
        int exitCode;
        const char* message;
    };
    const std::string text = "not audio\n";
    const std::vector<Case> cases = {
        {"missing", kMissing, {}, 1, "cannot open it: No such file or directory"},
        {"empty", kFile, {}, 1, "empty file"},
        {"directory", kDirectory, {}, 1, "is a directory"},
        {"text", kFile, std::vector<unsigned char>(text.begin(), text.end()), 1, "not a WAV file"},
        {"7 channels at 1 Hz", kFile, Wav(1, 7, 1, 16, 100), 1, "7 channels: only mono or stereo"},
        {"1 Hz", kFile, Wav(1, 1, 1, 16, 100), 1, "a sample rate of 1 Hz: only 1000 to 384000 Hz"},
        {"24-bit", kFile, Wav(1, 1, 8000, 24, 100), 1, "24-bit samples"},
        {"float", kFile, Wav(3, 1, 8000, 32, 100), 1, "format tag 0x0003: only PCM"},
        {"no data chunk", kFile, Wav(1, 1, 8000, 16, 0, false), 1, "it has no data chunk"},
        {"no samples", kFile, Wav(1, 1, 8000, 16, 0), 1, "no samples in its data chunk"},
        {"over 10 minutes", kFile, Wav(1, 1, 1000, 8, 601 * 1000), 1, "601.00 s long: a source is at most 10 minutes"},
        {"cut short", kFile, Wav(1, 1, 8000, 16, 800, true, 32000), 0,
         "its header promises 2.00 s of samples, the file holds 0.10 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        remove(source_.c_str());
        rmdir(source_.c_str());
        remove(out_.c_str());
        if (c.kind == kFile) {
            WriteAll(source_, c.content);
        } else if (c.kind == kDirectory) {
            ASSERT_EQ(mkdir(source_.c_str(), 0700), 0);
        }
        const ToolRun run = RunTool("--source '" + source_ + "' --speed 8 --duration 0.5 '" + out_ + "'");
        rmdir(source_.c_str());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find("--source " + source_ + ": " + c.message), std::string::npos) << run.output;
        if (c.exitCode == 0) {
            EXPECT_NE(run.output.find("recorded 00:00.5 (4000 samples)"), std::string::npos) << run.output;
        } else {
            EXPECT_EQ(run.output.find("recording from"), std::string::npos) << run.output;
            EXPECT_TRUE(ReadAll(out_).empty()) << "no output file";
        }
    }
}

// A write that fails is reported with the system's reason; the file keeps a
// header that counts the samples it holds.
TEST_F(RecordTool, AFailedWriteIsReportedAndTheFileKeepsWhatItHolds)
{
    struct Case {
        std::string out;
        std::string shell;
        const char* message;
    };
    // Writes past the limit fail with EFBIG, once the tool has seen to it
    // that the signal sent with that does not end it.
    const std::vector<Case> cases = {
        {"/dev/full", "", "No space left on device"},
        {out_, "ulimit -f 40; ", "File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        const ToolRun run = RunTool("--quiet --source tone --speed 20 --duration 4 '" + c.out + "'", c.shell);
        EXPECT_EQ(run.exitCode, 1) << run.output;
        EXPECT_NE(run.output.find(c.out), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
    const std::vector<unsigned char> wav = ReadAll(out_);
    ASSERT_GT(wav.size(), 44u);
    EXPECT_LT(wav.size(), 44u + 4 * 16000u);
    EXPECT_EQ(Le(wav, 4, 4), wav.size() - 8) << "RIFF size";
    ASSERT_EQ(memcmp(&wav[36], "data", 4), 0);
    EXPECT_EQ(Le(wav, 40, 4), wav.size() - 44) << "data size";
}

}  // namespace
