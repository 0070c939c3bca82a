// The player's network input: RTP on UDP through the receiver of rtp/,
// handed to the player frame by frame as the receiver passes them on (in
// order, gaps filled with concealment), so the library sees what a recorder
// sent, when it arrived.
#include <chrono>
#include <deque>
#include <vector>

#include "console.h"
#include "play_platform.h"
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
          m_receiver(Config(settings), [this](const svrtp::ReceivedFrame& f) { Queue(f); }), m_start(Clock::now())
    {
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
        return &m_counters;
    }

private:
    struct Pending {
        int type = 0;
        std::vector<uint8_t> bytes;
        int64_t stampMs = 0;
        int samples = 0;
    };

    static svrtp::ReceiverConfig Config(const NetworkSettings& settings)
    {
        svrtp::ReceiverConfig config;
        config.amrPayloadType = settings.payloadType;
        config.amrPacking =
            settings.bandwidthEfficient ? svrtp::AmrPacking::BandwidthEfficient : svrtp::AmrPacking::OctetAligned;
        config.timeoutMs = static_cast<int>(settings.timeoutSeconds * 1000.0);
        config.onlySsrc = settings.onlySsrc;
        return config;
    }

    // The receiver's clock: stream time, which runs `m_speed` times as fast
    // as the wall's when the device does.
    int64_t NowMs() const
    {
        return static_cast<int64_t>(std::chrono::duration<double, std::milli>(Clock::now() - m_start).count() *
                                    m_speed);
    }

    void Queue(const svrtp::ReceivedFrame& f)
    {
        Pending p;
        p.type = f.type;
        p.bytes.assign(f.data, f.data + f.length);
        p.stampMs = f.stampMs;
        // An AMR frame is 20 ms; a voice frame says its length in its header.
        p.samples = svrtp::kAmrFrameSamples;
        if (f.type == SV_PAYLOAD_VOICE && f.length >= 4)
            p.samples = f.data[2] | (f.data[3] << 8);
        m_pending.push_back(std::move(p));
    }

    void Wait()
    {
        if (svtool::Interrupted()) {
            m_receiver.Flush();
            m_ended = true;
            return;
        }
        const int64_t now = NowMs();
        int64_t waitMs = m_receiver.WaitMs(now);
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
            m_receiver.Flush();
            m_ended = true;
            return;
        }
        svrtp::ReceiverEvent event = svrtp::ReceiverEvent::None;
        if (got == 1)
            event = m_receiver.Push(m_datagram, length, NowMs());
        if (event == svrtp::ReceiverEvent::Restarted)
            fprintf(stderr, "sonavex-play: a new stream (SSRC %08X) takes over\n",
                    static_cast<unsigned>(m_receiver.Ssrc()));
        if (m_receiver.Poll(NowMs()) == svrtp::ReceiverEvent::TimedOut)
            m_ended = true;
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
