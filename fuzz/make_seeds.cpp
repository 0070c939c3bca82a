// Writes the seed corpora of the fuzz targets, one directory each under the
// directory given: fuzz_decode_payload (real AMR frames at every bit rate,
// voice-engine frames of several lengths and a mixed stream, in its record
// format), fuzz_playback_exports and fuzz_capture_exports (op runs, in the
// encoding of fuzz_ops.h, each a scenario the header describes),
// fuzz_rtp_depacketise (datagram runs: streams in order, reordered, lossy,
// in both AMR packings, of voice frames, wrapping, restarting and timing out,
// and broken headers). The output
// is kept in fuzz/corpus; run this again only when an encoding changes.
// Usage: fuzz_make_seeds <directory>
#include <math.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "AmrDll.h"
#include "sonavex.h"
#include "fuzz/fuzz_ops.h"
#include "hi_voice.h"
#include "rtp/amr_payload.h"
#include "rtp/rtp_header.h"
#include "rtp/voice_payload.h"
#include "tests/test_codec_amr_frames.h"
#include "tests/test_rtp_common.h"

namespace {

using rtptest::AmrPayload;
using rtptest::Bytes;

bool Write(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

short g_pcm[HI_VOICE_MAX_SAMPLES];

// `count` AMR frames of speech-like samples in bit-rate `mode`.
std::vector<Bytes> AmrFrames(int mode, int count)
{
    // Frame k encodes the 160 samples from (40 k) mod 160 on.
    std::vector<short> pcm;
    for (int k = 0; k < count; ++k)
        pcm.insert(pcm.end(), g_pcm + (40 * k) % 160, g_pcm + (40 * k) % 160 + 160);
    codectest::AmrFrames encoded = codectest::AmrEncodeFrames(pcm, mode);
    if (encoded.initResult != 0)
        encoded.frames.clear();
    for (size_t i = 0; i < encoded.frames.size(); ++i)
        if (encoded.frames[i].empty()) {
            encoded.frames.resize(i);
            break;
        }
    return encoded.frames;
}

Bytes VoiceFrame(int samples)
{
    unsigned char state[HI_VOICE_STATE_BYTES];
    HI_VOICE_EncReset(state, HI_VOICE_CODEC_IMA_ADPCM);
    Bytes frame(HI_VOICE_MAX_FRAME_BYTES);
    int bytes = 0;
    if (HI_VOICE_EncodeFrame(state, g_pcm, samples, frame.data(), &bytes) != 0)
        bytes = 0;
    frame.resize(bytes);
    return frame;
}

// ---- fuzz_decode_payload ------------------------------------------------------

void AddRecord(Bytes& input, int type, bool onGuardPage, const Bytes& payload)
{
    input.push_back(static_cast<unsigned char>((type + 1) | (onGuardPage ? 0x80 : 0)));
    input.push_back(1);
    input.push_back(static_cast<unsigned char>(payload.size() & 0xFF));
    input.push_back(static_cast<unsigned char>(payload.size() >> 8));
    input.insert(input.end(), payload.begin(), payload.end());
}

bool PayloadSeeds(const std::string& dir)
{
    Bytes mixed;
    bool ok = true;
    for (int mode = 0; mode <= 7; ++mode) {
        const std::vector<Bytes> frames = AmrFrames(mode, 3);
        if (frames.size() != 3)
            return false;
        Bytes input;
        for (int k = 0; k < 3; ++k)
            AddRecord(input, 1, k % 2 == 1, frames[k]);
        AddRecord(mixed, 1, mode % 2 == 0, frames[0]);
        ok = Write(dir + "/amr_mode" + std::to_string(mode), input) && ok;
    }
    for (int samples : {0, 1, 160, 161, 320}) {
        const Bytes frame = VoiceFrame(samples);
        Bytes input;
        AddRecord(input, 2, false, frame);
        AddRecord(input, 3, true, frame);
        AddRecord(mixed, samples % 2 ? 3 : 2, samples % 2 == 0, frame);
        ok = Write(dir + "/voice_" + std::to_string(samples), input) && ok;
    }
    AddRecord(mixed, 4, false, Bytes(10, 0x11));
    AddRecord(mixed, 5, true, Bytes(3, 0x22));
    return Write(dir + "/mixed", mixed) && ok;
}

// ---- the op runs --------------------------------------------------------------

using namespace fuzzops;

// A ReadSmallInt byte for -1..6.
unsigned char Small(int value) { return static_cast<unsigned char>(value + 1); }

struct Ops {
    Bytes b;
    Ops& Op(int op, int slot = 0)
    {
        b.push_back(OpByte(op, slot));
        return *this;
    }
    Ops& U8(unsigned value)
    {
        b.push_back(static_cast<unsigned char>(value));
        return *this;
    }
    Ops& U16(unsigned value) { return U8(value & 0xFF).U8(value >> 8); }
    Ops& U32(uint32_t value) { return U16(value & 0xFFFF).U16(value >> 16); }
    Ops& Data(const Bytes& bytes)
    {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return *this;
    }

    // Playback. `faults`: the fault byte and its argument bytes.
    Ops& Open(int slot, int mode, int live, const Bytes& faults = Bytes(1, 0))
    {
        return Op(kPbOpen, slot).U8(Small(mode)).U8(Small(live)).Data(faults);
    }
    // stamp: the ReadStamp bytes (one below 0xF0: the last stamp + byte * 10).
    Ops& Input(int slot, int type, const Bytes& payload, const Bytes& stamp = Bytes(1, 2), unsigned how = 0,
               unsigned store = 1)
    {
        Op(kPbInput, slot).U8(Small(type)).U8(store).Data(stamp);
        return U16(static_cast<unsigned>(payload.size()) | (how << 11)).Data(payload);
    }
    Ops& Step(int slot, unsigned count) { return Op(kPbStep, slot).U8(count); }
    Ops& ClearFrames(int slot, int type, int mode, unsigned count, unsigned pointers = 0)
    {
        return Op(kPbClearFrames, slot).U8(Small(type)).U8(Small(mode)).U8(count).U8(pointers);
    }
    Ops& GetPts(int slot, unsigned pointers = 0) { return Op(kPbGetPts, slot).U8(pointers); }
    Ops& Mute(int slot, int mute) { return Op(kPbMute, slot).U8(Small(mute)); }
    Ops& Stop(int slot, int stop) { return Op(kPbStop, slot).U8(Small(stop)); }
    Ops& SetVolume(int slot, uint32_t volume) { return Op(kPbSetVolume, slot).U32(volume); }

    // Capture.
    Ops& CapOpen(const Bytes& faults = Bytes(1, 0)) { return Op(kCapOpen).Data(faults); }
    Ops& CapClose(unsigned which = 0) { return Op(kCapClose).U8(which); }
    Ops& Record(unsigned bytes) { return Op(kCapRecord).U16(bytes); }
    Ops& Read(unsigned room = kFrameRoom, unsigned flags = 0) { return Op(kCapRead).U16(room).U8(flags); }
    static const unsigned kFrameRoom = 320;
};

// AMR frames of one bit rate, fed to `slot` with stamps 20 apart.
Ops& Feed(Ops& ops, int slot, const std::vector<Bytes>& frames)
{
    for (const Bytes& frame : frames)
        ops.Input(slot, SV_PAYLOAD_AMR, frame);
    return ops;
}

bool PlaybackSeeds(const std::string& dir)
{
    const std::vector<Bytes> speech = AmrFrames(7, 12);
    // A file stream's queue of at most 28 frames is never trimmed; the target
    // follows such a stream byte for byte.
    const std::vector<Bytes> low = AmrFrames(0, 24);
    const Bytes noData(1, 0x7C);  // an AMR frame of type 15: no data, still 160 samples
    bool ok = speech.size() == 12 && low.size() == 24;
    auto write = [&](const char* name, const Ops& ops) { ok = Write(dir + "/" + name, ops.b) && ok; };

    {  // a recorded file played to its end, stepped a few buffers at a time
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        Feed(ops, 0, low);
        for (int i = 0; i < 7; ++i)
            ops.Step(0, 2).GetPts(0).Op(kPbGetFrames);
        write("file_amr", ops);
    }
    {  // a live stream: nothing plays before the pre-buffer
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_LIVE_STREAM);
        Feed(ops, 0, std::vector<Bytes>(speech.begin(), speech.begin() + 5)).Step(0, 3);
        Feed(ops, 0, std::vector<Bytes>(speech.begin() + 5, speech.end())).Step(0, 6).GetPts(0);
        write("live_prebuffer8", ops);
    }
    {  // a live stream with the long pre-buffer that runs far ahead: cut by 60
        Ops ops;
        ops.Open(0, SV_PREBUFFER_20, SV_LIVE_STREAM);
        for (int i = 0; i < 19; ++i)
            ops.Input(0, SV_PAYLOAD_AMR, noData);
        ops.Step(0, 2);
        for (int i = 0; i < 66; ++i)
            ops.Input(0, SV_PAYLOAD_AMR, noData);
        ops.Step(0, 1).Op(kPbGetFrames).GetPts(0);
        write("live_cut", ops);
    }
    {  // voice frames of odd and even lengths, both payload types
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        for (int samples : {320, 161, 0, 1, 160, 320, 7})
            ops.Input(0, samples % 2 ? SV_PAYLOAD_VOICE_B : SV_PAYLOAD_VOICE, VoiceFrame(samples));
        ops.Step(0, 3).GetPts(0).Step(0, 2);
        write("voice", ops);
    }
    {  // clears by count and by time, bad types and modes, and the resets
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        Feed(ops, 0, low).Step(0, 1);
        ops.ClearFrames(0, SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 3)
            .ClearFrames(0, SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 20, 1)
            .ClearFrames(0, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_PLAYING, 0, 2)
            .ClearFrames(0, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_PLAYING, 1)
            .ClearFrames(0, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_INPUT, 0)
            .ClearFrames(0, 1, SV_CLEAR_OLDEST, 1)
            .ClearFrames(0, SV_CLEAR_BY_COUNT, 2, 1)
            .ClearFrames(0, SV_CLEAR_BY_TIME, -1, 1)
            .ClearFrames(0, 3, SV_CLEAR_OLDEST, 1)
            .Step(0, 1)
            .ClearFrames(0, SV_CLEAR_BY_TIME, SV_CLEAR_KEEP_NEWEST, 0)
            .Op(kPbGetFrames);
        Feed(ops, 0, std::vector<Bytes>(low.begin(), low.begin() + 4)).Op(kPbDecClear).GetPts(0).Step(0, 2);
        write("clears", ops);
    }
    {  // mute and stop: silence, frames still taken at their pace
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK).Mute(0, 1);
        Feed(ops, 0, low).Step(0, 12).Mute(0, 0).Step(0, 2).Stop(0, SV_STOP_DRAIN);
        Feed(ops, 0, low).Step(0, 2).Stop(0, SV_STOP_NOW).Step(0, 1).Stop(0, SV_STOP_OFF).Step(0, 1);
        Feed(ops, 0, std::vector<Bytes>(low.begin(), low.begin() + 3)).Step(0, 2).GetPts(0);
        write("mute_stop", ops);
    }
    {  // the volume: silent, half, read back; and a device that refuses it
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK).SetVolume(0, 0xFFFF0000u);
        Feed(ops, 0, std::vector<Bytes>(speech.begin(), speech.begin() + 8)).Step(0, 14);
        ops.SetVolume(0, 0x8000).Op(kPbGetVolume).Step(0, 2);
        ops.Open(1, SV_PREBUFFER_8, SV_LIVE_STREAM, Bytes{8, 1}).SetVolume(1, 0x1234).Op(kPbGetVolume, 1);
        write("volume", ops);
    }
    {  // device faults at the open
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_LIVE_STREAM, Bytes{1, 1});            // the open fails
        ops.Open(0, SV_PREBUFFER_8, SV_LIVE_STREAM, Bytes{2, 3, 4, 0});      // INVALHANDLE four times: retried
        ops.Open(1, SV_PREBUFFER_8, SV_LIVE_STREAM, Bytes{2, 2, 5, 0});      // five times: refused
        ops.Open(1, SV_PREBUFFER_20, SV_FILE_PLAYBACK, Bytes{2, 9, 1, 2});   // a prepare fails: refused
        write("faults", ops);
    }
    {  // a device that sends no close notice and completes writes at once
        Ops ops;
        ops.Open(2, SV_PREBUFFER_8, SV_FILE_PLAYBACK, Bytes{4 | 16, 6});
        Feed(ops, 2, std::vector<Bytes>(speech.begin(), speech.begin() + 4)).Step(2, 12).Op(kPbClose, 2);
        write("quick_device", ops);
    }
    {  // two streams at once, one closed and opened again, and null handles
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK).Open(1, SV_PREBUFFER_8, SV_LIVE_STREAM);
        for (int i = 0; i < 8; ++i)
            ops.Input(i % 2, SV_PAYLOAD_AMR, speech[i]).Step((i + 1) % 2, 1);
        ops.Op(kPbClose, 1).Input(1, SV_PAYLOAD_AMR, speech[0]).Open(1, SV_PREBUFFER_20, SV_LIVE_STREAM);
        // Every op but the open on a null handle, with its argument bytes.
        const int argBytes[16] = {0, 0, 5, 1, 4, 0, 1, 2, 1, 1, 4, 0, 0, 5, 1, 1};
        for (int op = 1; op < 16; ++op) {
            ops.Op(op, kNullSlot);
            for (int i = 0; i < argBytes[op]; ++i)
                ops.U8(0);
        }
        write("streams", ops);
    }
    {  // payloads of every type, with lengths 0, negative, cut, large, and no data
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        for (int type = -1; type <= 6; ++type)
            ops.Input(0, type, speech[0]);
        for (unsigned how = 24; how < 32; ++how)
            ops.Input(0, SV_PAYLOAD_AMR, speech[1], Bytes(1, 2), how)
                .Input(0, SV_PAYLOAD_VOICE, VoiceFrame(100), Bytes(1, 2), how);
        ops.Input(0, SV_PAYLOAD_AMR, speech[2], Bytes(1, 2), 0, 0)
            .Input(0, SV_PAYLOAD_VOICE_B, VoiceFrame(50), Bytes(1, 2), 0, 0);
        ops.Step(0, 4);
        // Mode and live out of range.
        ops.Open(1, 2, -1).Input(1, SV_PAYLOAD_AMR, speech[3]).Step(1, 2);
        write("payloads", ops);
    }
    {  // stamps far apart, backwards and at the extremes, cleared by time
        Ops ops;
        ops.Open(0, SV_PREBUFFER_8, SV_FILE_PLAYBACK);
        const Bytes stamps[] = {{0xF2}, {0xF1}, {0xF0}, {0xEF}, {0xF3, 0xF4, 0x01}, {0x64},
                                {0xF4, 0, 0, 0, 0, 1, 0, 0, 0}, {0x01}};
        for (const Bytes& stamp : stamps)
            ops.Input(0, SV_PAYLOAD_AMR, noData, stamp);
        ops.Step(0, 1).ClearFrames(0, SV_CLEAR_BY_TIME, SV_CLEAR_FROM_INPUT, 200);
        ops.Op(kPbClearFrames).U8(Small(SV_CLEAR_BY_TIME)).U8(Small(SV_CLEAR_FROM_PLAYING)).U8(0xF0).U8(0);
        ops.Op(kPbSetPts).U8(0xF1).U8(0xF2).GetPts(0, 1).GetPts(0, 2).GetPts(0, 3);
        write("stamps", ops);
    }
    return ok;
}

bool CaptureSeeds(const std::string& dir)
{
    bool ok = true;
    auto write = [&](const char* name, const Ops& ops) { ok = Write(dir + "/" + name, ops.b) && ok; };
    {  // frames come once 8 are recorded, in order
        Ops ops;
        ops.CapOpen().Record(7 * 320).Read().Record(3 * 320 + 100);
        for (int i = 0; i < 4; ++i)
            ops.Read();
        write("basic", ops);
    }
    {  // nested opens share one object; the last close ends it; the next open is new
        Ops ops;
        ops.CapOpen().CapOpen().CapOpen().Record(2000).CapClose().CapClose().CapClose(1).CapClose(2);
        ops.Record(1000).CapClose().CapClose(2).CapOpen().Record(2047).Read().CapClose();
        write("nested", ops);
    }
    {  // a reader far behind loses the 60 oldest
        Ops ops;
        ops.CapOpen();
        for (int i = 0; i < 12; ++i)
            ops.Record(6 * 320);
        ops.Read().Read().Read();
        write("lag", ops);
    }
    {  // rooms from 0 to 4000, null buffer, length and handle
        Ops ops;
        ops.CapOpen().Record(2047).Record(2047);
        for (unsigned room : {0u, 1u, 13u, 319u, 321u, 640u, 4000u})
            ops.Read(room);
        ops.Read(320, 1).Read(320, 2).Read(320, 4).Read(320, 3);
        write("rooms", ops);
    }
    {  // clear, then frames without a new pre-buffer
        Ops ops;
        ops.CapOpen().Record(2047).Record(1500).Read().Op(kCapClear).U8(0).Read().Record(640).Read();
        ops.Op(kCapClear).U8(1).Read();
        write("clear", ops);
    }
    {  // device faults at the first open
        Ops ops;
        ops.CapOpen(Bytes{1, 2}).CapOpen(Bytes{2, 3, 4, 1}).Record(2047).Record(1200).Read().CapClose();
        ops.CapOpen(Bytes{2, 1, 7, 2}).Record(700).Read().CapClose().CapOpen(Bytes{4}).Record(321).CapClose();
        write("faults", ops);
    }
    return ok;
}

}  // namespace

// ---- fuzz_rtp_depacketise ----------------------------------------------------


// A run of datagrams for the target, after its settings byte.
struct Run {
    Bytes bytes;
    explicit Run(unsigned char settings) { bytes.push_back(settings); }
    Run& Push(int stepMs, const Bytes& d, bool pollAfter = false)
    {
        bytes.push_back(pollAfter ? 0x80 : 0);
        bytes.push_back(static_cast<unsigned char>(stepMs));
        bytes.push_back(static_cast<unsigned char>(d.size() & 0xFF));
        bytes.push_back(static_cast<unsigned char>(d.size() >> 8));
        bytes.insert(bytes.end(), d.begin(), d.end());
        return *this;
    }
    Run& Poll(int step16Ms)
    {
        bytes.push_back(1 | 4);
        bytes.push_back(static_cast<unsigned char>(step16Ms));
        return *this;
    }
    Run& Flush()
    {
        bytes.push_back(2);
        bytes.push_back(0);
        return *this;
    }
    // A poll after `seconds` of nothing.
    Run& Silence(int seconds)
    {
        bytes.push_back(1 | 0x10);
        bytes.push_back(static_cast<unsigned char>(seconds));
        return *this;
    }
};

bool RtpSeeds(const std::string& dir)
{
    using svrtp::AmrPacking;
    const unsigned char kWindow8 = 3, kBandwidthEfficient = 8, kLearnType = 16, kHold60 = 2 << 5;
    std::vector<Bytes> speech[8];
    for (int mode = 0; mode < 8; ++mode)
        speech[mode] = AmrFrames(mode, 12);
    if (speech[7].size() < 12)
        return false;
    const Bytes sid = {0x44, 1, 2, 3, 4, 5}, noData = {svrtp::kAmrNoDataFrame};
    bool ok = true;
    auto write = [&](const char* name, const Run& run) { ok = Write(dir + "/" + name, run.bytes) && ok; };

    {
        Run run(kWindow8 | kHold60);
        for (int n = 0; n < 10; ++n)
            run.Push(20, rtptest::Datagram(n, 160 * n, 97, 1, AmrPayload({speech[7][n]}, AmrPacking::OctetAligned)));
        write("amr_in_order", run);
    }
    {  // three frames of every bit rate a packet, reordered and duplicated
        Run run(kWindow8 | kHold60);
        const int order[] = {0, 2, 1, 4, 3, 3, 5, 7, 6};
        for (int n : order) {
            const std::vector<Bytes> f = {speech[n % 8][0], speech[(n + 3) % 8][1], n == 4 ? sid : noData};
            run.Push(20, rtptest::Datagram(n, 480 * n, 97, 1, AmrPayload(f, AmrPacking::OctetAligned)), true);
        }
        write("amr_reordered", run);
    }
    {  // a gap given up on after the hold, then its packet late
        Run run(kWindow8 | kHold60);
        for (int n : {0, 2, 3})
            run.Push(20, rtptest::Datagram(n, 160 * n, 97, 1, AmrPayload({speech[5][n]}, AmrPacking::OctetAligned)));
        run.Poll(8).Push(5, rtptest::Datagram(1, 160, 97, 1, AmrPayload({speech[5][1]}, AmrPacking::OctetAligned)));
        write("amr_loss", run);
    }
    {
        Run run(kWindow8 | kHold60 | kBandwidthEfficient);
        for (int n = 0; n < 8; ++n)
            run.Push(40, rtptest::Datagram(n, 320 * n, 97, 1,
                             AmrPayload({speech[n][n], n % 2 ? sid : noData}, AmrPacking::BandwidthEfficient)));
        write("amr_bandwidth_efficient", run);
    }
    {  // type learnt from the first packet; a new sender with another type
        Run run(7 | kLearnType);
        for (int n = 0; n < 4; ++n)
            run.Push(20, rtptest::Datagram(n, 160 * n, 96, 11, AmrPayload({speech[2][n]}, AmrPacking::OctetAligned)));
        for (int n = 0; n < 4; ++n)
            run.Push(20, rtptest::Datagram(700 + n, 9000 + 160 * n, 99, 12, AmrPayload({speech[3][n]}, AmrPacking::OctetAligned)));
        run.Flush();
        write("amr_ssrc_change", run);
    }
    {  // voice frames of two lengths, two a packet, one packet lost
        Run run(kWindow8 | kHold60);
        const Bytes a = VoiceFrame(160), b = VoiceFrame(320);
        Bytes two = a;
        two.insert(two.end(), b.begin(), b.end());
        for (int n : {0, 1, 3, 4})
            run.Push(60, rtptest::Datagram(n, 480 * n, svrtp::kVoicePayloadType, 5, two), true);
        run.Poll(10);
        write("voice", run);
    }
    {  // sequence and timestamp wrap, then the sender stops and comes back
        Run run(kWindow8 | kHold60);
        for (int n = 0; n < 5; ++n)
            run.Push(20, rtptest::Datagram((65533 + n) & 0xFFFF, 0xFFFFFD80u + 160u * n, 97, 3,
                             AmrPayload({speech[1][n]}, AmrPacking::OctetAligned)));
        run.Poll(200).Push(0, rtptest::Datagram(10, 4000, 97, 3, AmrPayload({speech[1][5]}, AmrPacking::OctetAligned)));
        write("wrap_timeout", run);
    }
    {  // headers the parser refuses or must look past
        Run run(kWindow8 | kHold60);
        const Bytes good = rtptest::Datagram(0, 0, 97, 1, AmrPayload({speech[0][0]}, AmrPacking::OctetAligned));
        Bytes v1 = good, csrc = good, ext = good, pad = good, cut(good.begin(), good.begin() + 11);
        v1[0] = 0x40;
        csrc[0] |= 0x0F;
        ext[0] |= 0x10;
        pad[0] |= 0x20;
        pad.back() = 0xFF;
        Bytes withAll = good;
        withAll[0] |= 0x31;
        const Bytes extra = {0, 0, 0, 1, 0xBE, 0xDE, 0, 1, 9, 9, 9, 9};
        withAll.insert(withAll.begin() + 12, extra.begin(), extra.end());
        withAll.insert(withAll.end(), {0, 2});
        for (const Bytes& d : {cut, v1, csrc, ext, pad, withAll, Bytes()})
            run.Push(1, d);
        write("bad_headers", run);
    }
    // For the playout clock behind the receiver.
    {  // 12 frames a packet, 240 ms apart, with jitter
        Run run(kWindow8 | kHold60);
        const int jitter[] = {0, 30, 5, 60, 0, 45};
        for (int n = 0; n < 6; ++n)
            run.Push(240 - jitter[(n + 5) % 6] + jitter[n],
                     rtptest::Datagram(n, 1920 * n, 97, 1, AmrPayload(speech[7], AmrPacking::OctetAligned)));
        write("playout_big_packets", run);
    }
    {  // DTX: speech, a SID, two seconds of nothing, speech again
        Run run(kWindow8 | kHold60 | 32);
        for (int n = 0; n < 4; ++n)
            run.Push(20, rtptest::Datagram(n, 160 * n, 97, 1, AmrPayload({speech[4][n]}, AmrPacking::OctetAligned)));
        run.Push(20, rtptest::Datagram(4, 640, 97, 1, AmrPayload({sid}, AmrPacking::OctetAligned)));
        for (int n = 0; n < 8; ++n)
            run.Poll(16);
        for (int n = 5; n < 9; ++n)
            run.Push(20, rtptest::Datagram(n, 16000 + 160 * n, 97, 1, AmrPayload({speech[4][n]}, AmrPacking::OctetAligned)));
        write("playout_dtx", run);
    }
    {  // a sender silent for four minutes, then its timestamps jump back
        Run run(kWindow8 | kHold60);
        for (int n = 0; n < 4; ++n)
            run.Push(20, rtptest::Datagram(n, 160 * n, 97, 1, AmrPayload({speech[6][n]}, AmrPacking::OctetAligned)));
        run.Silence(240);
        for (int n = 4; n < 8; ++n)
            run.Push(20, rtptest::Datagram(n, 160 * (n - 100), 97, 1, AmrPayload({speech[6][n]}, AmrPacking::OctetAligned)));
        run.Flush();
        write("playout_silence_jump", run);
    }
    return ok;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    for (int i = 0; i < HI_VOICE_MAX_SAMPLES; ++i)
        g_pcm[i] = static_cast<short>(9000 * sin(i * 0.3) + 3000 * sin(i * 1.7));
    const std::string dir = argv[1];
    const std::string payload = dir + "/fuzz_decode_payload";
    const std::string playback = dir + "/fuzz_playback_exports";
    const std::string capture = dir + "/fuzz_capture_exports";
    const std::string rtp = dir + "/fuzz_rtp_depacketise";
    for (const std::string& d : {dir, payload, playback, capture, rtp})
        mkdir(d.c_str(), 0755);
    bool ok = PayloadSeeds(payload);
    ok = PlaybackSeeds(playback) && ok;
    ok = CaptureSeeds(capture) && ok;
    ok = RtpSeeds(rtp) && ok;
    return ok ? 0 : 1;
}
