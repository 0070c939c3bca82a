/* A host of the installed library: opens a decoder on the default device,
 * feeds it, asks it what a host asks, and closes it. Plain C, to show the
 * public header is C. Exit status 0 when every answer is the expected one. */
#include <stdio.h>

#include <sonavex.h>

static int failures = 0;

static void Check(int ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

int main(void)
{
    static const uint8_t empty_voice_frame[8] = {0xA5, 3, 0, 0, 0, 0, 0, 0};
    int64_t pts = -1;
    int64_t next = -1;
    SV_DECODER decoder;

    Check(SV_ClearAudioFrames(NULL, SV_CLEAR_BY_COUNT, SV_CLEAR_OLDEST, 1, NULL, NULL) == SV_E_NULL_HANDLE,
          "a null handle is refused");
    SV_SetNetProtocolVersion(2);

    decoder = SV_OpenSonavex(SV_PREBUFFER_20, SV_FILE_PLAYBACK);
    if (decoder == NULL) {
        fprintf(stderr, "consumer: no decoder\n");
        return 1;
    }
    /* A device with one control for both channels reports it in the low 16
     * bits alone (wine's winmm does). */
    Check((SV_AudioDecGetVolume(decoder) & 0xFFFFu) == 0xFFFFu, "a new decoder plays at full volume");
    Check(SV_InputAudioBuffer(decoder, empty_voice_frame, 8, SV_PAYLOAD_VOICE, 40, 1) == 1, "input");
    Check(SV_InputAudioBuffer(decoder, empty_voice_frame, 8, SV_PAYLOAD_IGNORE, 80, 1) == 1, "input ignored");
    Check(SV_AudioDecGetFrames(decoder) <= 1, "one frame queued at most");
    SV_GetPts(decoder, &pts, &next);
    Check(pts >= 0 && next >= 0, "the clock");
    Check(SV_ClearAudioFrames(decoder, SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 0, &pts, &next) == SV_OK,
          "clear");
    Check(SV_AudioDecGetFrames(decoder) == 0, "nothing queued after the clear");
    Check(SV_CloseSonavex(decoder) == 1, "close");
    if (failures == 0)
        printf("consumer: ok\n");
    return failures == 0 ? 0 : 1;
}
