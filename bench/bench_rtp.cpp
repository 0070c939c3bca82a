// The receive path of a live stream per packet: the datagram parsed, put in
// order and its frames fed to SV_InputAudioBuffer, beside the bare
// SV_InputAudioBuffer calls with the same frames, in the same run.
//
//   Receive/fpp:N   20 s of AMR 12.2 in packets of N frames, 2% of them
//                   swapped with the next, into a decoder on the test device
//                   (which plays nothing, so no device thread competes).
//                   Each iteration feeds the stream through both paths, one
//                   after the other, in alternating order, checks that each
//                   queued every frame, and empties the queue between them. Counters, in processor time of the
//                   feeding thread:
//                     bare_us    per frame, the frames straight to the library
//                     rx_us      per frame, the datagrams through the receiver
//                     rx_x_bare  the ratio. Goal: at most 1.1.
//   Depacketise/fpp:N  the receiver alone, its frames dropped: what it adds,
//                   per packet.
//   Srtp/fpp:N      the same stream as SRTP (AES_CM_128_HMAC_SHA1_80): each
//                   iteration passes it through the receiver plain and, one
//                   after the other, each packet checked and decrypted first.
//                   Counters, per packet: plain_us, srtp_us, and srtp_x_plain.
#include <string.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <svwin/wavedevice.h>

#include "amr_payload.h"
#include "receiver.h"
#include "rtp_header.h"
#include "sonavex.h"
#include "srtp_session.h"
#include "test_codec_amr_frames.h"
#include "test_rtp_common.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const int kAudioSeconds = 20;
const int kFrameSamples = 160;

double ThreadSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const std::vector<Bytes>& Frames()
{
    static const std::vector<Bytes> frames =
        codectest::AmrEncodeFrames(codectest::SyntheticSpeech(kAudioSeconds * codectest::kRate), 7).frames;
    return frames;
}

// The stream in datagrams of `perPacket` frames, in arrival order.
std::vector<Bytes> Datagrams(int perPacket)
{
    const std::vector<Bytes>& frames = Frames();
    std::vector<Bytes> out;
    for (size_t at = 0; at < frames.size(); at += static_cast<size_t>(perPacket)) {
        const std::vector<Bytes> packet(frames.begin() + static_cast<std::ptrdiff_t>(at),
                                        frames.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(frames.size(), at + static_cast<size_t>(perPacket))));
        // The sequence wraps on the way.
        out.push_back(rtptest::Datagram(static_cast<int>(65000 + out.size()), static_cast<uint32_t>(at * kFrameSamples),
                                        svrtp::kDefaultAmrPayloadType, 0x5EED, rtptest::AmrPayload(packet)));
    }
    for (size_t i = 25; i + 1 < out.size(); i += 50)
        std::swap(out[i], out[i + 1]);
    return out;
}

double FeedBare(SV_DECODER h)
{
    const std::vector<Bytes>& frames = Frames();
    const double t0 = ThreadSeconds();
    for (size_t i = 0; i < frames.size(); ++i)
        SV_InputAudioBuffer(h, frames[i].data(), static_cast<int32_t>(frames[i].size()), SV_PAYLOAD_AMR,
                            1000 + 20 * static_cast<int64_t>(i), 1);
    return ThreadSeconds() - t0;
}

double FeedReceived(SV_DECODER h, const std::vector<Bytes>& datagrams)
{
    svrtp::ReceiverConfig config;
    config.amrPayloadType = svrtp::kDefaultAmrPayloadType;
    const double t0 = ThreadSeconds();
    svrtp::Receiver rx(config, [h](const svrtp::ReceivedFrame& f) {
        SV_InputAudioBuffer(h, f.data, f.length, f.type, f.stampMs, 1);
    });
    int64_t now = 0;
    for (const Bytes& d : datagrams)
        rx.Push(d.data(), d.size(), now += 20);
    rx.Flush();
    return ThreadSeconds() - t0;
}

void BM_Receive(benchmark::State& state)
{
    const std::vector<Bytes> datagrams = Datagrams(static_cast<int>(state.range(0)));
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
    if (h == nullptr) {
        state.SkipWithError("no decoder on the test device");
        return;
    }
    double bare = 0;
    double received = 0;
    size_t frames = 0;
    bool bareFirst = true;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            if ((pass == 0) == bareFirst)
                bare += FeedBare(h);
            else
                received += FeedReceived(h, datagrams);
            // Both paths must queue every frame, or the ratio flatters one.
            if (SV_AudioDecGetFrames(h) != static_cast<int32_t>(Frames().size())) {
                state.SkipWithError("a path did not queue every frame");
                break;
            }
            SV_AudioDecClear(h);
        }
        bareFirst = !bareFirst;
        frames += Frames().size();
    }
    SV_CloseSonavex(h);
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    state.counters["bare_us"] = 1e6 * bare / static_cast<double>(frames);
    state.counters["rx_us"] = 1e6 * received / static_cast<double>(frames);
    state.counters["rx_x_bare"] = received / bare;
}

void BM_Depacketise(benchmark::State& state)
{
    const std::vector<Bytes> datagrams = Datagrams(static_cast<int>(state.range(0)));
    svrtp::ReceiverConfig config;
    config.amrPayloadType = svrtp::kDefaultAmrPayloadType;
    size_t out = 0;
    for (auto _ : state) {
        svrtp::Receiver rx(config, [&out](const svrtp::ReceivedFrame& f) { out += static_cast<size_t>(f.length); });
        int64_t now = 0;
        for (const Bytes& d : datagrams)
            rx.Push(d.data(), d.size(), now += 20);
        rx.Flush();
    }
    benchmark::DoNotOptimize(out);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * datagrams.size()));
}

void BM_Srtp(benchmark::State& state)
{
    const std::vector<Bytes> datagrams = Datagrams(static_cast<int>(state.range(0)));
    const std::vector<uint8_t> key(svrtp::kSrtpKeyAndSaltBytes, 0x3C);
    std::string error;
    svrtp::SrtpSession send;
    if (!send.Start(svrtp::SrtpSession::Direction::kSend, svrtp::SrtpSuite::AesCm128HmacSha1_80, key, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<Bytes> wire;
    for (const Bytes& d : datagrams) {
        Bytes w = d;
        w.resize(d.size() + svrtp::kSrtpMaxTrailer);
        size_t n = d.size();
        send.Protect(w.data(), &n, w.size());
        w.resize(n);
        wire.push_back(w);
    }
    svrtp::ReceiverConfig config;
    config.amrPayloadType = svrtp::kDefaultAmrPayloadType;
    double plain = 0, secured = 0;
    size_t out = 0, packets = 0;
    Bytes buffer(2048);
    for (auto _ : state) {
        double t = ThreadSeconds();
        {
            svrtp::Receiver rx(config, [&out](const svrtp::ReceivedFrame& f) { out += static_cast<size_t>(f.length); });
            int64_t now = 0;
            for (const Bytes& d : datagrams) {
                memcpy(buffer.data(), d.data(), d.size());
                rx.Push(buffer.data(), d.size(), now += 20);
            }
            rx.Flush();
        }
        plain += ThreadSeconds() - t;
        t = ThreadSeconds();
        {
            // A session per pass: its replay window would refuse the second.
            svrtp::SrtpSession receive;
            receive.Start(svrtp::SrtpSession::Direction::kReceive, svrtp::SrtpSuite::AesCm128HmacSha1_80, key, &error);
            svrtp::Receiver rx(config, [&out](const svrtp::ReceivedFrame& f) { out += static_cast<size_t>(f.length); });
            int64_t now = 0;
            for (const Bytes& w : wire) {
                memcpy(buffer.data(), w.data(), w.size());
                size_t n = w.size();
                if (receive.Unprotect(buffer.data(), &n) != svrtp::SrtpSession::Result::Ok) {
                    state.SkipWithError("a packet did not authenticate");
                    return;
                }
                rx.Push(buffer.data(), n, now += 20);
            }
            rx.Flush();
        }
        secured += ThreadSeconds() - t;
        packets += datagrams.size();
    }
    benchmark::DoNotOptimize(out);
    state.counters["plain_us"] = 1e6 * plain / static_cast<double>(packets);
    state.counters["srtp_us"] = 1e6 * secured / static_cast<double>(packets);
    state.counters["srtp_x_plain"] = secured / plain;
}

} // namespace

BENCHMARK(BM_Receive)->Name("Receive")->ArgName("fpp")->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Depacketise)->Name("Depacketise")->ArgName("fpp")->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Srtp)->Name("Srtp")->ArgName("fpp")->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);
