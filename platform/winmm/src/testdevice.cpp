// The test device: it moves only when the test steps it, fails where the test
// tells it to, keeps what it played and records what the test fed it. Also
// the call record and the test controls of <svwin/wavedevice.h>.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
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
    std::vector<BYTE> input;
    size_t inputPos = 0;
    UINT throwCalls = 0;  // calls of the kind faults.nThrowCall seen so far
    // SvWaveTestReleaseDevices calls so far; a hung device call waits for the
    // next one.
    uint64_t releases = 0;
    std::condition_variable released;
};

// Never destroyed: device threads may still write to it while the process
// exits.
TestState& State()
{
    static TestState* state = new TestState;
    return *state;
}

// Callbacks held by nHoldCall right now.
std::mutex g_holdMutex;
std::condition_variable g_holdCv;
unsigned g_holds = 0;

std::atomic<HWAVEOUT> g_latestHandle{nullptr};
std::atomic<HWAVEIN> g_latestInHandle{nullptr};

class TestDevice : public WaveDevice {
public:
    TestDevice(const SvWaveTestFaults& faults, uint64_t releases)
        : m_faults(faults), m_hang(faults.bHangDevice != FALSE), m_releases(releases)
    {
    }

    MMRESULT Open(const WAVEFORMATEX&, Direction) override { return m_faults.mmrOpen; }

    bool Transfer(BYTE* data, DWORD bytes, bool, uint64_t epoch) override
    {
        HangUntilReleased();
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

    // Tokens are bytes here: the test grants exactly what is to be recorded.
    DWORD Record(BYTE* data, DWORD room, bool, uint64_t epoch) override
    {
        HangUntilReleased();
        DWORD n = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_tokens > 0 || m_epoch != epoch; });
            if (m_epoch != epoch)
                return 0;
            n = std::min<DWORD>(m_tokens, room);
            m_tokens -= n;
        }
        TakeTestInput(data, n);
        return n;
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

    MMRESULT CheckWrite() override { return m_faults.mmrWrite; }
    MMRESULT CheckStart() override { return m_faults.mmrStart; }
    MMRESULT CheckVolume() override { return m_faults.mmrVolume; }
    bool HoldsCall(int what) override
    {
        if (m_faults.nHoldCall == 0 || what != m_faults.nHoldCall || m_held)
            return false;
        m_held = true;
        return true;
    }
    bool SendsCloseNotice() const override { return !m_faults.bNoCloseNotice; }
    bool RefusesClose() const override { return m_faults.bCloseRefused != FALSE; }

    bool CompletesOnWrite() override { return m_writes++ < m_faults.nCompleteOnWrite; }

    bool Grant(unsigned count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tokens += count;
        m_cv.notify_all();
        return true;
    }

private:
    // The device call that never returns: deaf to resets and closes, it waits
    // for the test to release it, once.
    void HangUntilReleased()
    {
        if (!m_hang)
            return;
        m_hang = false;
        TestState& state = State();
        std::unique_lock<std::mutex> lock(state.mutex);
        state.released.wait(lock, [&] { return state.releases != m_releases; });
    }

    const SvWaveTestFaults m_faults;
    bool m_hang;                  // device thread
    const uint64_t m_releases;    // state.releases when the device was made
    UINT m_prepareCalls = 0;  // under the stream's lock
    UINT m_writes = 0;        // under the stream's lock
    bool m_held = false;      // under the stream's lock: the one hold was made
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
    return std::unique_ptr<WaveDevice>(new TestDevice(state.faults, state.releases));
}

void RecordCall(const SvWaveCall& call)
{
    TestState& state = State();
    bool throws = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        // Callbacks are recorded with the stream's lock held, on a path that
        // must not unwind; only calls returning to the application throw.
        if (call.nCall != SV_WAVE_CALLBACK && call.nCall == state.faults.nThrowCall &&
            state.faults.nThrowAt != 0)
            throws = ++state.throwCalls == state.faults.nThrowAt;
        if (state.calls.size() >= kMaxCalls) {
            state.callsLost = true;
        } else {
            // Room for the whole record at once, so recording a call from a
            // device callback does not allocate.
            if (state.calls.capacity() == 0)
                state.calls.reserve(kMaxCalls);
            state.calls.push_back(call);
        }
    }
    if (throws)
        throw std::runtime_error("test device: injected failure");
}

void AppendTestOutput(const BYTE* data, DWORD bytes)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const size_t room = kMaxOutputBytes - std::min(kMaxOutputBytes, state.output.size());
    state.output.insert(state.output.end(), data, data + std::min<size_t>(bytes, room));
}

void TakeTestInput(BYTE* dst, DWORD bytes)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const size_t fed = std::min<size_t>(bytes, state.input.size() - state.inputPos);
    std::copy_n(state.input.begin() + static_cast<std::ptrdiff_t>(state.inputPos), fed, dst);
    std::fill(dst + fed, dst + bytes, BYTE(0));
    state.inputPos += fed;
}

namespace {

// Steps a handle of `direction` on the test device by `step` (buffers for
// output, bytes for input); 0 for any other handle.
template <typename Count>
Count StepTestStream(HANDLE handle, Direction direction, Count (WaveStream::*step)(Count), Count count)
{
    std::shared_ptr<WaveStream> stream = FindStream(handle, direction);
    if (!stream || stream->Kind() != SV_WAVE_DEVICE_TEST)
        return 0;
    return ((*stream).*step)(count);
}

UINT QueuedOn(HANDLE handle, Direction direction)
{
    std::shared_ptr<WaveStream> stream = FindStream(handle, direction);
    return stream ? stream->Queued() : 0;
}

}  // namespace

void NoteHeldCallback(bool held)
{
    std::lock_guard<std::mutex> lock(g_holdMutex);
    if (held)
        ++g_holds;
    else if (g_holds > 0)
        --g_holds;
    g_holdCv.notify_all();
}

void NoteTestHandle(Direction direction, HANDLE handle)
{
    if (direction == Direction::kOutput)
        g_latestHandle.store(static_cast<HWAVEOUT>(handle));
    else
        g_latestInHandle.store(static_cast<HWAVEIN>(handle));
}

}  // namespace svwave

using namespace svwave;

SVWIN_API void SvWaveTestSetFaults(const SvWaveTestFaults* faults)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults = faults != nullptr ? *faults : SvWaveTestFaults{};
    state.throwCalls = 0;
}

SVWIN_API void SvWaveTestReset(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults = SvWaveTestFaults{};
    state.throwCalls = 0;
    state.calls.clear();
    state.callsLost = false;
    state.output.clear();
    state.input.clear();
    state.inputPos = 0;
}

SVWIN_API BOOL SvWaveTestReleaseDevices(void)
{
    TestState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        ++state.releases;
    }
    state.released.notify_all();
    return WaitForAbandonedDevices(std::chrono::seconds(5)) ? TRUE : FALSE;
}

SVWIN_API UINT SvWaveTestStep(HWAVEOUT hwo, UINT count)
{
    return StepTestStream(hwo, Direction::kOutput, &WaveStream::Step, count);
}

SVWIN_API UINT SvWaveTestQueued(HWAVEOUT hwo)
{
    return QueuedOn(hwo, Direction::kOutput);
}

SVWIN_API BOOL SvWaveTestWaitHeld(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(g_holdMutex);
    const bool held = g_holdCv.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return g_holds > 0; });
    return held ? TRUE : FALSE;
}

SVWIN_API HWAVEOUT SvWaveTestLatestHandle(void)
{
    return g_latestHandle.load();
}

SVWIN_API void SvWaveTestFeedInput(const BYTE* data, DWORD bytes)
{
    if (data == nullptr)
        return;
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    // What was recorded already is let go, so a long feed fed piece by piece
    // does not grow without end.
    state.input.erase(state.input.begin(), state.input.begin() + static_cast<std::ptrdiff_t>(state.inputPos));
    state.inputPos = 0;
    state.input.insert(state.input.end(), data, data + bytes);
}

SVWIN_API DWORD SvWaveTestInputLeft(void)
{
    TestState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<DWORD>(state.input.size() - state.inputPos);
}

SVWIN_API DWORD SvWaveTestRecord(HWAVEIN hwi, DWORD bytes)
{
    return StepTestStream(hwi, Direction::kInput, &WaveStream::RecordBytes, bytes);
}

SVWIN_API UINT SvWaveTestQueuedIn(HWAVEIN hwi)
{
    return QueuedOn(hwi, Direction::kInput);
}

SVWIN_API HWAVEIN SvWaveTestLatestInHandle(void)
{
    return g_latestInHandle.load();
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
