// Test signals for the codec tests and benchmarks, made in code so that runs
// are hermetic and repeatable: a sine, a logarithmic chirp and a synthetic
// voice (pulse-train source through moving vowel formants, with unvoiced
// noise bursts and pauses), all 16-bit mono at 8000 samples per second.
#pragma once

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

namespace codectest {

const int kRate = 8000;
const int kFrameSamples = 160;
const double kPi = 3.14159265358979323846;

inline short ToSample(double v) { return static_cast<short>(std::lround(std::clamp(v, -32768.0, 32767.0))); }

inline std::vector<short> Sine(double hz, double amplitude, int samples)
{
    std::vector<short> out(samples);
    for (int i = 0; i < samples; ++i)
        out[i] = ToSample(amplitude * sin(2 * kPi * hz * i / kRate));
    return out;
}

// Logarithmic sweep from f0 to f1 over the whole length.
inline std::vector<short> Chirp(double f0, double f1, double amplitude, int samples)
{
    std::vector<short> out(samples);
    const double seconds = static_cast<double>(samples) / kRate;
    const double k = log(f1 / f0) / seconds;
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        out[i] = ToSample(amplitude * sin(2 * kPi * f0 * (exp(k * t) - 1) / k));
    }
    return out;
}

// Two-pole resonator at a formant frequency and bandwidth, unity gain at DC.
struct Resonator {
    double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
    void Set(double hz, double bandwidth)
    {
        const double r = exp(-kPi * bandwidth / kRate);
        a1 = 2 * r * cos(2 * kPi * hz / kRate);
        a2 = -r * r;
        gain = 1 - a1 - a2;
    }
    double Step(double x)
    {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// A voice-like test signal: syllables of 240 ms on a falling-rising pitch
// contour (90 to 190 Hz), each a vowel (formants of /a/ /i/ /u/ /e/ /o/)
// between short fricative bursts, separated by pauses. Peak about `peak`.
inline std::vector<short> SyntheticSpeech(int samples, double peak = 20000)
{
    static const double kFormants[5][3] = {
        {730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240}, {530, 1840, 2480}, {570, 840, 2410}};
    std::vector<double> x(samples);
    Resonator f[3];
    uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(static_cast<int32_t>(seed)) / 2147483648.0;
    };
    double phase = 0;
    double prevNoise = 0;
    const int syllable = kRate * 240 / 1000;
    for (int i = 0; i < samples; ++i) {
        const int s = i / syllable;
        const int pos = i % syllable;
        const double* fm = kFormants[s % 5];
        if (pos == 0)
            for (int k = 0; k < 3; ++k)
                f[k].Set(fm[k] * (1 + 0.03 * (s % 3)), 60 + 40 * k);
        const double t = static_cast<double>(i) / kRate;
        const double pitch = 140 + 50 * sin(2 * kPi * 0.7 * t) * cos(2 * kPi * 0.23 * t);
        double v = 0;
        if (pos < syllable * 3 / 4) {
            // Voiced part: a band-limited pulse train (harmonics below 3.6 kHz,
            // falling 6 dB per octave) with a rise and a decay.
            phase += pitch / kRate;
            for (int h = 1; h * pitch < 3600; ++h)
                v += sin(2 * kPi * h * phase) / h;
            const double p = static_cast<double>(pos) / (syllable * 3 / 4);
            v *= std::min(1.0, p * 8) * std::min(1.0, (1 - p) * 4);
            v = f[2].Step(f[1].Step(f[0].Step(v)));
            v *= 0.8;
        } else if (pos < syllable * 7 / 8 && s % 2 == 0) {
            // Unvoiced: first-difference (high-passed) noise.
            const double n = noise();
            v = 0.15 * (n - prevNoise);
            prevNoise = n;
        }
        x[i] = v;
    }
    double maxAbs = 1e-9;
    for (double v : x)
        maxAbs = std::max(maxAbs, fabs(v));
    std::vector<short> out(samples);
    for (int i = 0; i < samples; ++i)
        out[i] = ToSample(x[i] * peak / maxAbs);
    return out;
}

// Signal-to-noise ratio in dB of `decoded` against `original`.
inline double SnrDb(const std::vector<short>& original, const std::vector<short>& decoded)
{
    double signal = 0, error = 0;
    const size_t n = std::min(original.size(), decoded.size());
    for (size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(original[i]) - decoded[i];
        signal += static_cast<double>(original[i]) * original[i];
        error += d * d;
    }
    return 10 * log10(signal / std::max(error, 1e-9));
}

} // namespace codectest
