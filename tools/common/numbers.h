// The values the host programs take on their command lines: numbers, integers
// in a range, percentages, durations and network endpoints. Each parser takes
// the whole text or nothing: "12abc", "", "nan" and "inf" are refused.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace svtool {

// A finite decimal number.
bool ParseNumber(const std::string& text, double* value);

// A decimal integer within min..max.
bool ParseInteger(const std::string& text, long long min, long long max, long long* value);

// A percentage: 0..100, with or without a trailing '%'.
bool ParsePercent(const std::string& text, double* value);

// A duration as a number of `unit`s ("1.5" in seconds), or with a unit of its
// own ("1.5s", "250ms"); the value is in `unit`s.
enum class TimeUnit { Seconds, Milliseconds };
bool ParseDuration(const std::string& text, TimeUnit unit, double* value);

// "[ADDR:]PORT": an IPv4 address in dotted form (127.0.0.1 when left out)
// and a UDP port, 1..65535. Names are not looked up.
struct Endpoint {
    uint32_t address = 0x7F000001;  // host byte order
    uint16_t port = 0;

    std::string Address() const;    // dotted, "127.0.0.1"
    std::string ToString() const;   // "127.0.0.1:5004"
};

// On failure `why` says what is wrong with the text, as a phrase that can
// follow "the endpoint" or an option's name.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint, std::string* why);

// MM:SS.t, as the programs show stream positions and times.
std::string FormatTime(double seconds);

// Delays in whole milliseconds, 0..kMaxMs (longer ones count as kMaxMs): the
// mean and a percentile, in fixed memory whatever the stream's length.
class DelayHistogram {
public:
    static constexpr int kMaxMs = 5000;
    DelayHistogram() : m_counts(kMaxMs + 1, 0) {}
    void Add(double ms);
    uint64_t Count() const { return m_n; }
    double Mean() const { return m_n > 0 ? m_sum / static_cast<double>(m_n) : 0; }
    // The least delay that `share` (0..1) of the values do not exceed.
    double Percentile(double share) const;

private:
    std::vector<uint64_t> m_counts;
    uint64_t m_n = 0;
    double m_sum = 0;
};

} // namespace svtool
