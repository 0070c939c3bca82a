// The test device: it moves only when the test steps it, fails where the test
// tells it to, and keeps what it played. Also the call record and the test
// controls of <svwin/wavedevice.h>.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "stream.h"

namespace svwave {

namespace {

const size_t kMaxCalls = size_t(1) << 18;
const size_t kMaxOutputBytes = size_t(256) << 20;

struct TestState {
    std::mutex mutex;
    SvWaveTestFaults faults = {};
    std::vector<SvWaveCall> calls;
    bool callsLost = false;
    std::vector<BYTE> output;
};

// Never destroyed: device threads may still write to it while the process
// exits.
TestState& State()
{
    static TestState* state = new TestState;
    return *state;
}

std::atomic<HWAVEOUT> g_latestHandle{nullptr};

class TestDevice : public WaveDevice {
public:
    explicit TestDevice(const SvWaveTestFaults& faults) : m_faults(faults) {}

    MMRESULT Open(const WAVEFORMATEX&, Direction) override { return m_faults.mmrOpen; }

    bool Transfer(BYTE* data, DWORD bytes, bool, uint64_t epoch) override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Waits for the test, however long it takes: the device thread has
            // nothing else to do, and a reset or close ends the wait.
            m_cv.wait(lock, [&] { return m_tokens > 0 || m_epoch != epoch; });
            if (m_epoch != epoch)
                return false;
            --m_tokens;
        }
        AppendTestOutput(data, bytes);
        return true;
    }

    void Interrupt(uint64_t epoch) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_epoch = epoch;
        // Steps granted before a reset do not carry over to later buffers.
        m_tokens = 0;
        m_cv.notify_all();
    }

    void Close() override {}

    MMRESULT CheckPrepare() override
    {
        const UINT call = ++m_prepareCalls;
        const UINT first = m_faults.nPrepareFailAt;
        const UINT count = std::max(m_faults.nPrepareFailCount, 1u);
        if (first != 0 && call >= first && call - first < count)
            return m_faults.mmrPrepare;
        return MMSYSERR_NOERROR;
    }

    MMRESULT CheckVolume() override { return m_faults.mmrVolume; }
    bool SendsCloseNotice() const override { return !m_faults.bNoCloseNotice; }

    bool CompletesOnWrite() override { return m_writes++ < m_faults.nCompleteOnWrite; }

    bool Grant(unsigned count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tokens += count;
        m_cv.notify_all();
        return true;
    }

private:
    const SvWaveTestFaults m_faults;
    UINT m_prepareCalls = 0;  // under the stream's lock
    UINT m_writes = 0;        // under the stream's lock
    std::mutex m_mutex;
    std::condition_variable m_cv;
    unsigned m_tokens = 0;
    uint64_t m_epoch = 0;
};

}  // namespace

std::unique_ptr<WaveDevice> CreateTestDevice()
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return std::unique_ptr<WaveDevice>(new TestDevice(state.faults));
}

void RecordCall(const SvWaveCall& call)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.calls.size() >= kMaxCalls) {
        state.callsLost = true;
        return;
    }
    // Room for the whole record at once, so recording a call from a device
    // callback does not allocate.
    if (state.calls.capacity() == 0)
        state.calls.reserve(kMaxCalls);
    state.calls.push_back(call);
}

void AppendTestOutput(const BYTE* data, DWORD bytes)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const size_t room = kMaxOutputBytes - std::min(kMaxOutputBytes, state.output.size());
    state.output.insert(state.output.end(), data, data + std::min<size_t>(bytes, room));
}

void NoteTestHandle(HWAVEOUT hwo)
{
    g_latestHandle.store(hwo);
}

}  // namespace svwave

using namespace svwave;

SVWIN_API void SvWaveTestSetFaults(const SvWaveTestFaults* faults)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults = faults != nullptr ? *faults : SvWaveTestFaults{};
}

SVWIN_API void SvWaveTestReset(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults = SvWaveTestFaults{};
    state.calls.clear();
    state.callsLost = false;
    state.output.clear();
}

SVWIN_API UINT SvWaveTestStep(HWAVEOUT hwo, UINT count)
{
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream || stream->Kind() != SV_WAVE_DEVICE_TEST)
        return 0;
    return stream->Step(count);
}

SVWIN_API UINT SvWaveTestQueued(HWAVEOUT hwo)
{
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    return stream ? stream->Queued() : 0;
}

SVWIN_API HWAVEOUT SvWaveTestLatestHandle(void)
{
    return g_latestHandle.load();
}

SVWIN_API DWORD SvWaveTestReadOutput(DWORD offset, BYTE* dst, DWORD max)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (offset >= state.output.size())
        return 0;
    const DWORD n = static_cast<DWORD>(std::min<size_t>(max, state.output.size() - offset));
    std::copy_n(state.output.begin() + offset, n, dst);
    return n;
}

SVWIN_API DWORD SvWaveTestOutputSize(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<DWORD>(state.output.size());
}

SVWIN_API UINT SvWaveTestCallCount(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<UINT>(state.calls.size());
}

SVWIN_API BOOL SvWaveTestGetCall(UINT index, SvWaveCall* call)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (call == nullptr || index >= state.calls.size())
        return FALSE;
    *call = state.calls[index];
    return TRUE;
}

SVWIN_API BOOL SvWaveTestCallsLost(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.callsLost ? TRUE : FALSE;
}
