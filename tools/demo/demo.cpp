// sonavex-demo: feeds a live stream of 20 ms frames through a frame buffer and
// reads it back as the output device would, one 40 ms buffer at a time, and
// prints the playback clock as it goes. No sound device is involved.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "audio/audioframebuffer.h"

int main(int argc, char** argv)
{
    int frames = argc > 1 ? atoi(argv[1]) : 50;
    if (frames <= 0 || frames > 2000) {
        fprintf(stderr, "usage: sonavex-demo [frames 1..2000]\n");
        return 2;
    }
    CAudioFrameBuffer buffer;
    if (!buffer.AllocRing(0x100000)) {
        fprintf(stderr, "sonavex-demo: cannot allocate the frame ring\n");
        return 1;
    }
    buffer.SetPlayMode(0, 1);  // live stream, pre-buffer of 8 frames

    const int kSamples = 160;  // 20 ms at 8 kHz
    std::vector<short> pcm(kSamples);
    unsigned char out[CAudioFrameBuffer::kDecodeBufferBytes];
    int fed = 0;
    int played = 0;
    // The host feeds one frame every 20 ms and the device takes one 40 ms
    // buffer (two frames) every other tick.
    for (int tick = 0; played < frames && tick < frames * 4; ++tick) {
        if (fed < frames) {
            for (int i = 0; i < kSamples; ++i)
                pcm[i] = static_cast<short>(8000 * sin(2 * M_PI * 440.0 * (fed * kSamples + i) / 8000.0));
            // Type 4 payloads are accepted without decoding; the call records
            // the stamp that the PCM frame pushed next carries.
            buffer.DecodePayload(nullptr, 0, 4, static_cast<int64_t>(fed) * 20, 1);
            buffer.PushFrame(reinterpret_cast<const unsigned char*>(pcm.data()), kSamples * 2);
            ++fed;
        }
        if (tick % 2 == 1) {
            int got = 0;
            for (int part = 0; part < 2; ++part) {
                int length = sizeof(out);
                if (buffer.ReadFrame(out, &length, nullptr, nullptr) != 1)
                    break;
                ++got;
                ++played;
            }
            int64_t pts = 0;
            int64_t next = 0;
            buffer.GetPts(&pts, &next);
            printf("t=%4d ms  queued=%3u  playing pts=%lld ms  next=%lld ms%s\n", tick * 20,
                   buffer.GetFrameCount(), static_cast<long long>(pts), static_cast<long long>(next),
                   got == 0 ? "  (pre-buffering)" : "");
        }
    }
    printf("fed %d frames, played %d\n", fed, played);
    return played == frames ? 0 : 1;
}
