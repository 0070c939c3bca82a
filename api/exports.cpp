// The playback and control exports: each tests its handle for null and
// forwards to one method of the decoder object behind it.
#include "sonavex.h"

#include <new>

#include "audio/audiodec.h"
#include "support/systems.h"

namespace {

CAudioDec* Dec(SV_DECODER handle) { return reinterpret_cast<CAudioDec*>(handle); }

} // namespace

extern "C" {

SV_API SV_DECODER SV_CALL SV_OpenSonavex(int32_t mode, int32_t live)
{
    CAudioDec* dec = new (std::nothrow) CAudioDec();
    if (dec == nullptr)
        return nullptr;
    if (dec->Open(mode, live) != 0)
        return reinterpret_cast<SV_DECODER>(dec);
    dec->Close();
    delete dec;
    return nullptr;
}

SV_API int32_t SV_CALL SV_CloseSonavex(SV_DECODER handle)
{
    if (handle == nullptr)
        return 0;
    Dec(handle)->Close();
    delete Dec(handle);
    return 1;
}

SV_API int32_t SV_CALL SV_InputAudioBuffer(SV_DECODER handle, const uint8_t* data, int32_t length,
                                           int32_t type, int64_t pts, uint8_t store)
{
    if (handle == nullptr)
        return SV_FAILED;
    return Dec(handle)->InputAudioBuffer(data, length, type, pts, store);
}

SV_API void SV_CALL SV_GetPts(SV_DECODER handle, int64_t* pts, int64_t* nextPts)
{
    if (handle != nullptr)
        Dec(handle)->GetPts(pts, nextPts);
}

SV_API void SV_CALL SV_SetPts(SV_DECODER handle, int64_t ptsA, int64_t ptsB)
{
    if (handle != nullptr)
        Dec(handle)->SetPts(ptsA, ptsB);
}

SV_API uint32_t SV_CALL SV_ClearAudioFrames(SV_DECODER handle, int32_t type, int32_t mode,
                                            uint32_t count, int64_t* pts, int64_t* nextPts)
{
    if (handle == nullptr)
        return SV_E_NULL_HANDLE;
    return static_cast<uint32_t>(Dec(handle)->ClearAudioFrames(type, mode, count, pts, nextPts));
}

SV_API int32_t SV_CALL SV_AudioDecClear(SV_DECODER handle)
{
    if (handle == nullptr)
        return 0;
    return Dec(handle)->Clear();
}

SV_API int32_t SV_CALL SV_SetMuteAudio(SV_DECODER handle, int32_t mute)
{
    if (handle == nullptr)
        return 0;
    return Dec(handle)->SetMuteAudio(mute);
}

SV_API int32_t SV_CALL SV_StopFileAudio(SV_DECODER handle, int32_t stop)
{
    if (handle == nullptr)
        return 0;
    Dec(handle)->StopFileAudio(stop);
    return 1;
}

SV_API int32_t SV_CALL SV_AudioDecSetVolume(SV_DECODER handle, uint32_t volume)
{
    if (handle == nullptr)
        return 0;
    return Dec(handle)->SetVolume(volume);
}

SV_API uint32_t SV_CALL SV_AudioDecGetVolume(SV_DECODER handle)
{
    if (handle == nullptr)
        return 0;
    return Dec(handle)->GetVolume();
}

SV_API int32_t SV_CALL SV_AudioDecGetFrames(SV_DECODER handle)
{
    if (handle == nullptr)
        return SV_FAILED;
    return static_cast<int32_t>(Dec(handle)->GetFrames());
}

SV_API void SV_CALL SV_SetNetProtocolVersion(int32_t version)
{
    g_Systems.SetNetProtocolVersion(version);
}

} // extern "C"
