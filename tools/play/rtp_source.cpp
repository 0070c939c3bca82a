// The player's network input: RTP on UDP through the receiver of rtp/, which
// puts the packets in order and fills gaps with concealment. With adaptive
// playout the frames then go through the playout clock (rtp/playout.h),
// which hands them to the player on the stream's time at a delay that
// follows the network's, and makes up frames when nothing has come; with
// fixed playout each frame is handed on as it arrives, so the library sees
// what a recorder sent, when it arrived.
#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "console.h"
#include "play_platform.h"
#include "playout.h"
#include "receiver.h"
#include "srtp_session.h"
#include "udp.h"

namespace svplay {

namespace {

using Clock = std::chrono::steady_clock;

// The longest wait between two calls of the idle function: the player samples
// the library's queue at least this often.
const int kIdleMs = 20;

class RtpSource : public svtool::FrameSource {
public:
    RtpSource(const NetworkSettings& settings, double speed, std::function<void()> idle)
        : m_settings(settings), m_speed(speed > 0 ? speed : 1.0), m_idle(std::move(idle)),
          m_receiver(Config(settings), [this](const svrtp::ReceivedFrame& f) { Received(f); }), m_start(Clock::now())
    {
        if (settings.adaptive) {
            const svrtp::PlayoutConfig config = PlayoutConfig(settings);
            m_playout.reset(new svrtp::Playout(config, [this](const svrtp::PlayoutFrame& f) {
                Queue(f.type, f.data, f.length, f.samples, f.stampMs, f.holdMs);
            }));
            m_receiver.OnLate([this](const svrtp::ReceivedFrame& f) { m_playout->ArriveLate(f); });
        }
    }

    bool Bind(std::string* error)
    {
        if (!m_settings.srtpKey.empty() &&
            !m_srtp.Start(svrtp::SrtpSession::Direction::kReceive,
                          m_settings.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32 : svrtp::SrtpSuite::AesCm128HmacSha1_80,
                          m_settings.srtpKey, error))
            return false;
        return m_socket.Bind({m_settings.endpoint.Address(), m_settings.endpoint.port}, error);
    }

    bool Next(svtool::Frame& frame) override
    {
        while (m_pending.empty()) {
            if (m_ended)
                return false;
            Wait();
        }
        m_current = std::move(m_pending.front());
        m_pending.pop_front();
        frame.data = m_current.bytes.data();
        frame.length = static_cast<int>(m_current.bytes.size());
        frame.type = m_current.type;
        frame.startSample = m_current.stampMs * svtool::kSampleRate / 1000;
        frame.samples = m_current.samples;
        frame.holdMs = m_current.holdMs;
        return true;
    }

    int64_t TotalSamples() const override { return 0; }

    std::string Describe() const override
    {
        std::string text = "RTP on UDP " + m_settings.endpoint.ToString() + ", AMR-NB ";
        text += m_settings.bandwidthEfficient ? "bandwidth-efficient" : "octet-aligned";
        text += m_settings.payloadType >= 0 ? " payload type " + std::to_string(m_settings.payloadType)
                                            : " (payload type from the first packet)";
        text += " or voice-engine payload type " + std::to_string(svrtp::kVoicePayloadType);
        if (m_srtp.Started())
            text += std::string(", SRTP ") +
                    svrtp::SrtpSuiteName(m_settings.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32
                                                          : svrtp::SrtpSuite::AesCm128HmacSha1_80);
        if (m_settings.fromSet)
            text += ", from " + (m_settings.from.port != 0 ? m_settings.from.ToString() : m_settings.from.Address());
        if (m_settings.onlySsrc >= 0)
            text += ", SSRC " + std::to_string(m_settings.onlySsrc) + " only";
        return text;
    }

    const svtool::NetworkCounters* Network() const override
    {
        const svrtp::ReceiverStats& s = m_receiver.Stats();
        m_counters.packets = s.packets;
        m_counters.lost = s.lost;
        m_counters.late = s.late;
        m_counters.reordered = s.reordered;
        m_counters.duplicates = s.duplicates;
        m_counters.invalid = s.Invalid() + s.seqJumps + m_srtpInvalid;
        m_counters.concealed = s.framesConcealed;
        m_counters.restarts = s.restarts;
        m_counters.foreign = s.foreign;
        if (m_playout) {
            const svrtp::PlayoutStats p = m_playout->Stats(s);
            m_counters.adaptive = true;
            m_counters.targetMs = p.targetMs;
            m_counters.concealedLoss = p.concealedLoss;
            m_counters.concealedLate = p.concealedLate;
            m_counters.concealedPause = p.concealedPause;
            m_counters.interruptions = p.interruptions;
            m_counters.loweredPause = p.droppedPause;
            m_counters.loweredSpeech = p.droppedSpeech;
            m_counters.late += p.late;
        }
        return &m_counters;
    }

private:
    struct Pending {
        int type = 0;
        std::vector<uint8_t> bytes;
        int64_t stampMs = 0;
        int samples = 0;
        int64_t holdMs = -1;
    };

    static svrtp::ReceiverConfig Config(const NetworkSettings& settings)
    {
        svrtp::ReceiverConfig config;
        config.amrPayloadType = settings.payloadType;
        config.amrPacking =
            settings.bandwidthEfficient ? svrtp::AmrPacking::BandwidthEfficient : svrtp::AmrPacking::OctetAligned;
        config.timeoutMs = static_cast<int>(settings.timeoutSeconds * 1000.0);
        config.onlySsrc = settings.onlySsrc;
        if (settings.adaptive)
            svrtp::HoldForPlayout(PlayoutConfig(settings), &config);
        return config;
    }

    static svrtp::PlayoutConfig PlayoutConfig(const NetworkSettings& settings)
    {
        svrtp::PlayoutConfig config;
        config.prebufferFrames = settings.prebufferFrames;
        return config;
    }

    // The receiver's clock: stream time, which runs `m_speed` times as fast
    // as the wall's when the device does.
    int64_t NowMs() const
    {
        return static_cast<int64_t>(std::chrono::duration<double, std::milli>(Clock::now() - m_start).count() *
                                    m_speed);
    }

    void Received(const svrtp::ReceivedFrame& f)
    {
        if (m_playout) {
            m_playout->Arrive(f);
            return;
        }
        Queue(f.type, f.data, f.length, f.samples, f.stampMs, f.concealed ? -1 : NowMs() - f.arrivalMs);
    }

    void Queue(int type, const uint8_t* data, int length, int samples, int64_t stampMs, int64_t holdMs)
    {
        Pending p;
        p.type = type;
        p.bytes.assign(data, data + length);
        p.stampMs = stampMs;
        p.samples = samples;
        p.holdMs = holdMs;
        m_pending.push_back(std::move(p));
    }

    // The receiver's held packets whose turn has come are given up on, and
    // the playout clock hands over what is due.
    void Play(int64_t nowMs)
    {
        if (!m_playout)
            return;
        if (m_playout->Starved(nowMs) && m_receiver.Stats().held > 0)
            m_receiver.GiveUp();
        m_playout->Advance(nowMs);
    }

    void End()
    {
        m_receiver.Flush();
        if (m_playout)
            m_playout->End();
        m_ended = true;
    }

    void Wait()
    {
        if (svtool::Interrupted()) {
            End();
            return;
        }
        const int64_t now = NowMs();
        int64_t waitMs = m_receiver.WaitMs(now);
        if (m_playout) {
            const int64_t playMs = m_playout->WaitMs(now);
            if (playMs >= 0 && (waitMs < 0 || playMs < waitMs))
                waitMs = playMs;
        }
        if (waitMs >= 0)
            waitMs = static_cast<int64_t>(waitMs / m_speed);
        const int timeout = waitMs < 0 || waitMs > kIdleMs ? kIdleMs : static_cast<int>(waitMs);
        size_t length = 0;
        std::string error;
        sockaddr_in from = {};
        int got = m_socket.Receive(m_datagram, sizeof m_datagram, timeout, &length, &error, &from);
        if (got == 1 && length > sizeof m_datagram)
            length = sizeof m_datagram;
        if (got == 1 && !Admit(from, &length))
            got = 0;
        if (got < 0) {
            m_error = error;
            End();
            return;
        }
        svrtp::ReceiverEvent event = svrtp::ReceiverEvent::None;
        if (got == 1)
            event = m_receiver.Push(m_datagram, length, NowMs());
        if (event == svrtp::ReceiverEvent::Restarted)
            fprintf(stderr, "sonavex-play: a new stream (SSRC %08X) takes over\n",
                    static_cast<unsigned>(m_receiver.Ssrc()));
        if (m_receiver.Poll(NowMs()) == svrtp::ReceiverEvent::TimedOut)
            End();
        else
            Play(NowMs());
        if (m_idle)
            m_idle();
    }

    // Whether a datagram goes on to the receiver: from the sender --from
    // names, and with SRTP authentic and new (then decrypted in place).
    bool Admit(const sockaddr_in& from, size_t* length)
    {
        if (m_settings.fromSet && (ntohl(from.sin_addr.s_addr) != m_settings.from.address ||
                                   (m_settings.from.port != 0 && ntohs(from.sin_port) != m_settings.from.port))) {
            ++m_counters.filtered;
            return false;
        }
        if (!m_srtp.Started())
            return true;
        switch (m_srtp.Unprotect(m_datagram, length)) {
        case svrtp::SrtpSession::Result::Ok:
            return true;
        case svrtp::SrtpSession::Result::AuthFailed:
            ++m_counters.authFailed;
            return false;
        case svrtp::SrtpSession::Result::Replayed:
            ++m_counters.replayed;
            return false;
        case svrtp::SrtpSession::Result::Invalid:
            break;
        }
        // Not even an RTP header for SRTP to check.
        ++m_srtpInvalid;
        return false;
    }

    NetworkSettings m_settings;
    double m_speed;
    std::function<void()> m_idle;
    svrtp::UdpSocket m_socket;
    svrtp::SrtpSession m_srtp;
    uint64_t m_srtpInvalid = 0;
    svrtp::Receiver m_receiver;
    std::unique_ptr<svrtp::Playout> m_playout;
    Clock::time_point m_start;
    std::deque<Pending> m_pending;
    Pending m_current;
    bool m_ended = false;
    uint8_t m_datagram[65536];
    mutable svtool::NetworkCounters m_counters;
};

} // namespace

std::unique_ptr<svtool::FrameSource> OpenNetworkSource(const NetworkSettings& settings, double speed,
                                                       std::function<void()> idle, std::string* error)
{
    std::unique_ptr<RtpSource> source(new RtpSource(settings, speed, std::move(idle)));
    if (!source->Bind(error))
        return nullptr;
    return source;
}

} // namespace svplay
