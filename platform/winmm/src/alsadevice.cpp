// The ALSA device: plays through, or records from, libasound's "default" PCM,
// which converts the rate and format as the card needs. The device thread
// writes each buffer; a buffer counts as played once ALSA has taken all of
// it. Both directions use the PCM without blocking and wait for it a short
// while at a time, so that a stop, reset or close is heard within one short
// wait even when the sound server behind the PCM has stopped moving (a
// suspended server, a headset that stopped streaming): nothing here waits on
// ALSA without a bound.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "device.h"

namespace svwave {

namespace {

// ALSA's own buffer: long enough to ride out a late callback, short enough
// that a reset or close is heard at once.
const unsigned kLatencyMicroseconds = 200000;
// The device thread waits for ALSA this long at a time before it looks for an
// interrupt again.
const int kWaitMs = 10;
// A close without a reset lets ALSA play what it holds for at most this long
// (its buffer, with some slack) before it drops the rest: a device that has
// stopped moving never plays it out.
const auto kDrainBound = std::chrono::microseconds(kLatencyMicroseconds) + std::chrono::milliseconds(100);

// Waits at most `ms` for the PCM to be ready to take or give samples. Not
// snd_pcm_wait: it polls again, without a bound, for as long as a plugin's
// descriptors wake it without the PCM being ready, which the PulseAudio
// plugin does for ever while its server's device is stalled.
void WaitForPcm(snd_pcm_t* pcm, int ms)
{
    pollfd fds[8];
    const int n = snd_pcm_poll_descriptors(pcm, fds, 8);
    if (n <= 0 || poll(fds, static_cast<nfds_t>(n), ms) <= 0) {
        if (n <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    unsigned short revents = 0;
    if (snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(n), &revents) < 0 ||
        (revents & (POLLIN | POLLOUT)) == 0) {
        // Woken for nothing: do not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// ALSA prints its complaints to standard error, which on a machine without a
// sound card would greet every open; the open's result says enough.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaDevice : public WaveDevice {
public:
    ~AlsaDevice() override { CloseHandle(); }

    MMRESULT Open(const WAVEFORMATEX& format, Direction direction) override
    {
        static std::once_flag quiet;
        std::call_once(quiet, [] { snd_lib_error_set_handler(QuietAlsa); });

        snd_pcm_format_t pcmFormat = SND_PCM_FORMAT_S16_LE;
        if (format.wFormatTag != WAVE_FORMAT_PCM)
            pcmFormat = SND_PCM_FORMAT_MU_LAW;
        else if (format.wBitsPerSample == 8)
            pcmFormat = SND_PCM_FORMAT_U8;

        const bool capture = direction == Direction::kInput;
        if (snd_pcm_open(&m_pcm, "default", capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK) < 0) {
            m_pcm = nullptr;
            return MMSYSERR_NODRIVER;
        }
        if (snd_pcm_set_params(m_pcm, pcmFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                               format.nSamplesPerSec, 1, kLatencyMicroseconds) < 0) {
            CloseHandle();
            return WAVERR_BADFORMAT;
        }
        m_format = format;
        snd_pcm_uframes_t bufferFrames = 0;
        if (snd_pcm_get_params(m_pcm, &bufferFrames, &m_periodFrames) < 0 || m_periodFrames == 0)
            m_periodFrames = format.nSamplesPerSec / 20;
        return MMSYSERR_NOERROR;
    }

    bool Transfer(BYTE* data, DWORD bytes, bool, uint64_t epoch) override
    {
        // What a reset returned must not be heard any more.
        if (epoch != m_writtenEpoch) {
            snd_pcm_drop(m_pcm);
            snd_pcm_prepare(m_pcm);
            m_writtenEpoch = epoch;
        }
        snd_pcm_uframes_t left = bytes / m_format.nBlockAlign;
        const BYTE* p = data;
        while (left > 0) {
            if (m_epoch.load() != epoch)
                return false;
            snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, p, left);
            if (written == -EAGAIN || written == 0) {
                // ALSA's buffer is full: wait for room, or for an interrupt.
                WaitForPcm(m_pcm, kWaitMs);
                continue;
            }
            if (written < 0)
                written = snd_pcm_recover(m_pcm, static_cast<int>(written), 1);
            if (written < 0) {
                // The card has gone: keep time without it, so the application
                // still gets its buffers back at the right pace.
                std::this_thread::sleep_for(std::chrono::microseconds(
                    static_cast<int64_t>(left) * 1000000 / m_format.nSamplesPerSec));
                break;
            }
            p += static_cast<size_t>(written) * m_format.nBlockAlign;
            left -= static_cast<snd_pcm_uframes_t>(written);
        }
        return m_epoch.load() == epoch;
    }

    DWORD Record(BYTE* data, DWORD room, bool, uint64_t epoch) override
    {
        // A new epoch follows a stop or reset: what ALSA captured while
        // nobody recorded is not part of the recording.
        if (epoch != m_readEpoch) {
            snd_pcm_drop(m_pcm);
            snd_pcm_prepare(m_pcm);
            snd_pcm_start(m_pcm);
            m_readEpoch = epoch;
        }
        // A period at a time: some plugins give no more than that per read.
        const snd_pcm_uframes_t frames = std::min<snd_pcm_uframes_t>(room / m_format.nBlockAlign, m_periodFrames);
        while (m_epoch.load() == epoch) {
            snd_pcm_sframes_t got = snd_pcm_readi(m_pcm, data, frames);
            if (got > 0)
                return static_cast<DWORD>(got) * m_format.nBlockAlign;
            if (got == 0 || got == -EAGAIN) {
                // Nothing captured yet. (A plugin that has run out of input
                // answers 0 without waiting: the sleep keeps that from
                // spinning.)
                if (got == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                else
                    WaitForPcm(m_pcm, kWaitMs);
                continue;
            }
            if (snd_pcm_recover(m_pcm, static_cast<int>(got), 1) == 0) {
                snd_pcm_start(m_pcm);
                continue;
            }
            // The card has gone: keep time with silence, so the application
            // still gets its buffers back at the right pace.
            const auto end = std::chrono::steady_clock::now() +
                             std::chrono::microseconds(static_cast<int64_t>(frames) * 1000000 / m_format.nSamplesPerSec);
            while (m_epoch.load() == epoch && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
            if (m_epoch.load() != epoch)
                return 0;
            SilenceRecorded(data, frames);
            return static_cast<DWORD>(frames) * m_format.nBlockAlign;
        }
        return 0;
    }

    void Interrupt(uint64_t epoch) override { m_epoch.store(epoch); }

    void Close() override
    {
        if (m_pcm == nullptr)
            return;
        if (snd_pcm_stream(m_pcm) == SND_PCM_STREAM_CAPTURE) {
            snd_pcm_drop(m_pcm);
            CloseHandle();
            return;
        }
        // After a reset the rest is dropped; otherwise what ALSA still holds
        // is played out (at most its 200 ms buffer), as long as it moves.
        if (m_epoch.load() == m_writtenEpoch)
            PlayOut();
        snd_pcm_drop(m_pcm);
        CloseHandle();
    }

private:
    // Waits, within kDrainBound, until ALSA has played what it was given.
    // (snd_pcm_drain would wait for as long as the device takes.)
    void PlayOut()
    {
        const auto end = std::chrono::steady_clock::now() + kDrainBound;
        while (std::chrono::steady_clock::now() < end) {
            const snd_pcm_state_t state = snd_pcm_state(m_pcm);
            if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)
                return;
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(m_pcm, &delay) < 0 || delay <= 0)
                return;
            // A prepared PCM that holds less than its start threshold plays
            // only once started.
            if (state == SND_PCM_STATE_PREPARED)
                snd_pcm_start(m_pcm);
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
        }
    }

    void SilenceRecorded(BYTE* data, snd_pcm_uframes_t frames)
    {
        const size_t bytes = static_cast<size_t>(frames) * m_format.nBlockAlign;
        // Silence of 8-bit PCM is the middle of its unsigned range.
        const bool unsigned8 = m_format.wFormatTag == WAVE_FORMAT_PCM && m_format.wBitsPerSample == 8;
        // Mu-law's silence is 0xFF.
        memset(data, unsigned8 ? 0x80 : (m_format.wFormatTag != WAVE_FORMAT_PCM ? 0xFF : 0), bytes);
    }

    void CloseHandle()
    {
        if (m_pcm != nullptr)
            snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }

    snd_pcm_t* m_pcm = nullptr;
    WAVEFORMATEX m_format = {};
    uint64_t m_writtenEpoch = 0;  // device thread
    uint64_t m_readEpoch = ~uint64_t(0);  // device thread; none read yet
    snd_pcm_uframes_t m_periodFrames = 0;
    std::atomic<uint64_t> m_epoch{0};
};

}  // namespace

std::unique_ptr<WaveDevice> CreateAlsaDevice()
{
    return std::unique_ptr<WaveDevice>(new AlsaDevice);
}

}  // namespace svwave
