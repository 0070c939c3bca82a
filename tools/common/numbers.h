// The values the host programs take on their command lines: numbers, integers
// in a range, percentages, durations and network endpoints. Each parser takes
// the whole text or nothing: "12abc", "", "nan" and "inf" are refused.
#pragma once

#include <stdint.h>

#include <string>

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

} // namespace svtool
