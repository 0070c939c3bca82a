// The ALSA device: plays through libasound's "default" PCM, which converts
// the rate and format as the card needs. The device thread writes each buffer;
// a buffer counts as played once ALSA has taken all of it.
#include <alsa/asoundlib.h>

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

// ALSA prints its complaints to standard error, which on a machine without a
// sound card would greet every open; the open's result says enough.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaDevice : public WaveDevice {
public:
    ~AlsaDevice() override { CloseHandle(); }

    MMRESULT Open(const WAVEFORMATEX& format, Direction direction) override
    {
        if (direction != Direction::kOutput)
            return MMSYSERR_NOTSUPPORTED;
        static std::once_flag quiet;
        std::call_once(quiet, [] { snd_lib_error_set_handler(QuietAlsa); });

        snd_pcm_format_t pcmFormat = SND_PCM_FORMAT_S16_LE;
        if (format.wFormatTag != WAVE_FORMAT_PCM)
            pcmFormat = SND_PCM_FORMAT_MU_LAW;
        else if (format.wBitsPerSample == 8)
            pcmFormat = SND_PCM_FORMAT_U8;

        if (snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) {
            m_pcm = nullptr;
            return MMSYSERR_NODRIVER;
        }
        if (snd_pcm_set_params(m_pcm, pcmFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.nChannels,
                               format.nSamplesPerSec, 1, kLatencyMicroseconds) < 0) {
            CloseHandle();
            return WAVERR_BADFORMAT;
        }
        m_format = format;
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

    void Interrupt(uint64_t epoch) override { m_epoch.store(epoch); }

    void Close() override
    {
        if (m_pcm == nullptr)
            return;
        // After a reset the rest is dropped; otherwise what ALSA still holds
        // is played out (at most its 200 ms buffer).
        if (m_epoch.load() != m_writtenEpoch)
            snd_pcm_drop(m_pcm);
        else
            snd_pcm_drain(m_pcm);
        CloseHandle();
    }

private:
    void CloseHandle()
    {
        if (m_pcm != nullptr)
            snd_pcm_close(m_pcm);
        m_pcm = nullptr;
    }

    snd_pcm_t* m_pcm = nullptr;
    WAVEFORMATEX m_format = {};
    uint64_t m_writtenEpoch = 0;  // device thread
    std::atomic<uint64_t> m_epoch{0};
};

}  // namespace

std::unique_ptr<WaveDevice> CreateAlsaDevice()
{
    return std::unique_ptr<WaveDevice>(new AlsaDevice);
}

}  // namespace svwave
