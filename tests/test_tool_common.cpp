// The host programs' command lines: the values they parse and the option
// table that reads them and makes the usage text.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "console.h"
#include "numbers.h"
#include "options.h"

namespace {

using namespace svtool;

TEST(ToolValues, ParsersTakeTheWholeTextOrNothing)
{
    enum Kind { Num, Int0to7, Pct, Sec, Ms };
    struct Case {
        Kind kind;
        const char* text;
        bool ok;
        double value;
    };
    const Case cases[] = {
        {Num, "1.5", true, 1.5},   {Num, "-2", true, -2},    {Num, "", false, 0},      {Num, "4x", false, 0},
        {Num, " 4", false, 0},     {Num, "nan", false, 0},   {Num, "1e999", false, 0}, {Num, "0x10", false, 0},
        {Int0to7, "7", true, 7},   {Int0to7, "8", false, 0}, {Int0to7, "-1", false, 0}, {Int0to7, "3.0", false, 0},
        {Pct, "12.5%", true, 12.5}, {Pct, "100", true, 100}, {Pct, "101", false, 0},   {Pct, "%", false, 0},
        {Sec, "2", true, 2},       {Sec, "250ms", true, 0.25}, {Sec, "1.5s", true, 1.5}, {Sec, "s", false, 0},
        {Ms, "40", true, 40},      {Ms, "2s", true, 2000},   {Ms, "40 ms", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        double v = -99;
        long long n = -99;
        bool ok = false;
        switch (c.kind) {
        case Num: ok = ParseNumber(c.text, &v); break;
        case Int0to7: ok = ParseInteger(c.text, 0, 7, &n); v = static_cast<double>(n); break;
        case Pct: ok = ParsePercent(c.text, &v); break;
        case Sec: ok = ParseDuration(c.text, TimeUnit::Seconds, &v); break;
        case Ms: ok = ParseDuration(c.text, TimeUnit::Milliseconds, &v); break;
        }
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value);
        }
    }
}

TEST(ToolValues, EndpointIsAnAddressAndAPort)
{
    const struct {
        const char* text;
        const char* parsed;  // or, when refused, what the reason says
    } cases[] = {
        {"5004", "127.0.0.1:5004"},       {"10.1.2.3:65535", "10.1.2.3:65535"},
        {"0", "not a port number"},       {"65536", "not a port number"},
        {"1.2.3.4:", "not a port number"}, {"1.2.3:5004", "not an IPv4 address"},
        {"1.2.3.256:5004", "not an IPv4 address"}, {"1.2.3.4.5:5004", "not an IPv4 address"},
        {"localhost:5004", "not an IPv4 address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Endpoint e;
        std::string why;
        if (ParseEndpoint(c.text, &e, &why))
            EXPECT_EQ(e.ToString(), c.parsed);
        else
            EXPECT_NE(why.find(c.parsed), std::string::npos) << why;
    }
}

// A program with a row of each kind.
struct Table {
    bool flag = false;
    bool live = true;
    int mode = 7;
    int depth = 8;
    double speed = 1;
    double jitterMs = 0;
    double loss = 0;
    std::string out;
    Endpoint to;
    std::string file;
    CommandLine line{"prog", "Does things.\n"};

    Table()
    {
        line.options = {
            Flag("--quiet|-q", "say less", &flag),
            Flag("--file", "file playback: top up\nthe queue", &live, false),
            Integer("--amr-mode", "0..7", "bit rate", &mode, 0, 7),
            Choice("--prebuffer", "depth", &depth, {{"8", 8}, {"20", 20}}),
            Number("--speed", "N", "factor", &speed, Above(0), "a factor"),
            Duration("--jitter", "MS", "delay spread", &jitterMs, TimeUnit::Milliseconds, AtLeast(0)),
            Percent("--loss", "PCT", "packets dropped", &loss),
            Text("--out", "FILE.wav", "record to FILE.wav", &out, "a file name"),
            AddressPort("--rtp", "[ADDR:]PORT", "receive", &to),
            {"--refused", "", "", [](const char*) { return std::string("not in this build"); }},
        };
        line.arguments = {{"FILE", &file, "no input file"}};
        line.tooMany = "one input file only";
    }

    std::string Read(std::vector<const char*> args)
    {
        args.insert(args.begin(), "prog");
        return line.Read(static_cast<int>(args.size()), args.data());
    }
};

TEST(ToolCommandLine, ReadsTheTableAndRefusesByIt)
{
    const struct {
        std::vector<const char*> args;
        const char* mistake;
    } cases[] = {
        {{"-q", "--file", "--amr-mode", "0", "--prebuffer", "20", "--speed", "2.5", "--jitter", "1.5s", "--loss",
          "5%", "--out", "o.wav", "--rtp", "10.0.0.1:6000", "in.amr"},
         ""},
        {{"--amr-mode", "8", "x"}, "--amr-mode takes 0..7"},
        {{"--prebuffer", "12", "x"}, "--prebuffer takes 8 or 20"},
        {{"--speed", "0", "x"}, "--speed takes a factor above 0"},
        {{"--jitter", "-1", "x"}, "--jitter takes a number of milliseconds of 0 or more"},
        {{"--loss", "120", "x"}, "--loss takes a percentage, 0..100"},
        {{"--out", "", "x"}, "--out needs a file name"},
        {{"--rtp", "host:1", "x"}, "--rtp: 'host' is not an IPv4 address in dotted form, such as 127.0.0.1"},
        {{"x", "--speed"}, "--speed needs a value"},
        {{"--refused", "x"}, "not in this build"},
        {{"--frobnicate", "x"}, "unknown option --frobnicate"},
        {{"x", "y"}, "one input file only"},
        {{}, "no input file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mistake);
        Table t;
        EXPECT_EQ(t.Read(c.args), c.mistake);
        if (*c.mistake != '\0')
            continue;
        EXPECT_TRUE(t.flag);
        EXPECT_FALSE(t.live);
        EXPECT_EQ(t.mode, 0);
        EXPECT_EQ(t.depth, 20);
        EXPECT_EQ(t.speed, 2.5);
        EXPECT_EQ(t.jitterMs, 1500);
        EXPECT_EQ(t.loss, 5);
        EXPECT_EQ(t.out, "o.wav");
        EXPECT_EQ(t.to.ToString(), "10.0.0.1:6000");
        EXPECT_EQ(t.file, "in.amr");
        EXPECT_TRUE(t.line.Given("--quiet") && t.line.Given("--rtp") && !t.line.Given("--refused"));
    }
}

TEST(ToolCommandLine, HelpStopsTheReadingAndTheUsageListsTheTable)
{
    Table t;
    EXPECT_EQ(t.Read({"--help", "--frobnicate"}), "");
    EXPECT_TRUE(t.line.HelpAsked());
    EXPECT_EQ(t.line.Usage(),
              "usage: prog [options] FILE\n"
              "\n"
              "Does things.\n"
              "\n"
              "  --quiet            say less\n"
              "  --file             file playback: top up\n"
              "                     the queue\n"
              "  --amr-mode 0..7    bit rate\n"
              "  --prebuffer 8|20   depth\n"
              "  --speed N          factor\n"
              "  --jitter MS        delay spread\n"
              "  --loss PCT         packets dropped\n"
              "  --out FILE.wav     record to FILE.wav\n"
              "  --rtp [ADDR:]PORT  receive\n"
              "  --help\n");
}

} // namespace

namespace {

using svtool::StallWatch;

// The stall watch speaks once when the device has not moved for its limit
// while it had work, once more when it moves again, and never while the
// device has nothing to do.
TEST(ToolStallWatch, SpeaksOnceForAStallAndOnceWhenTheDeviceMovesAgain)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    using std::chrono::milliseconds;
    StallWatch watch("prog", "the device has not moved", "the device moves again", milliseconds(5000), out);
    const StallWatch::Clock::time_point t0{};
    watch.Look(false, false, t0);                        // nothing to do yet
    watch.Look(false, false, t0 + milliseconds(9000));   // idle: no stall
    watch.Look(false, true, t0 + milliseconds(9000));    // work begins
    watch.Look(false, true, t0 + milliseconds(13999));
    EXPECT_FALSE(watch.Stalled());
    watch.Look(false, true, t0 + milliseconds(14000));
    EXPECT_TRUE(watch.Stalled());
    watch.Look(false, true, t0 + milliseconds(30000));   // said once
    watch.Look(true, true, t0 + milliseconds(31000));
    EXPECT_FALSE(watch.Stalled());
    watch.Look(false, true, t0 + milliseconds(35000));   // 4 s since the move
    EXPECT_FALSE(watch.Stalled());

    rewind(out);
    char text[256] = {};
    const size_t n = fread(text, 1, sizeof text - 1, out);
    fclose(out);
    EXPECT_EQ(std::string(text, n), "prog: the device has not moved for 5 s\nprog: the device moves again\n");
}

} // namespace
