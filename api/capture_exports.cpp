// The four capture exports. Every open shares one capture object: the first
// open creates it, later opens count, the last close destroys it. The count
// and the object change only under the library-wide lock, held for the whole
// of each open and close, so an open and a close never interleave (a failed
// device open holds it for its bounded close, about 2.2 s).
#include <new>

#include "sonavex.h"
#include "audio/audiocapture.h"
#include "support/autocri.h"
#include "support/systems.h"

namespace {

CAudioCapture* AsCapture(SV_CAPTURE handle) { return reinterpret_cast<CAudioCapture*>(handle); }

}  // namespace

extern "C" {

SV_API SV_CAPTURE SV_CALL SV_OpenAudioCapture(void)
{
    CAutoCri lock(g_Systems.GetCaptureLock());
    if (g_Systems.GetCaptureRefs() != 0) {
        g_Systems.AddCaptureRef();
        return reinterpret_cast<SV_CAPTURE>(g_Systems.GetCapture());
    }
    CAudioCapture* capture = new (std::nothrow) CAudioCapture();
    if (capture == nullptr)
        return nullptr;
    if (capture->Open()) {
        g_Systems.SetCapture(capture, 1);
        return reinterpret_cast<SV_CAPTURE>(capture);
    }
    capture->Close();
    delete capture;
    return nullptr;
}

SV_API int32_t SV_CALL SV_CloseAudioCapture(SV_CAPTURE handle)
{
    CAutoCri lock(g_Systems.GetCaptureLock());
    if (handle == nullptr)
        return 0;
    // A handle that is not the live capture object (a close after the last
    // one) would free memory twice; refuse it and change nothing.
    if (AsCapture(handle) != g_Systems.GetCapture() || g_Systems.GetCaptureRefs() <= 0)
        return 0;
    if (g_Systems.ReleaseCaptureRef() > 0)
        return 1;
    CAudioCapture* capture = AsCapture(handle);
    capture->Close();
    delete capture;
    g_Systems.SetCapture(nullptr, 0);
    return 1;
}

SV_API int32_t SV_CALL SV_ReadAudioBuffer(SV_CAPTURE handle, uint8_t* buffer, uint32_t* length,
                                          uint32_t /*reserved*/)
{
    if (handle == nullptr)
        return 0;
    return AsCapture(handle)->ReadAudioBuffer(buffer, length);
}

SV_API int32_t SV_CALL SV_AudioCapClear(SV_CAPTURE handle)
{
    if (handle == nullptr)
        return 0;
    return AsCapture(handle)->Clear();
}

}  // extern "C"
