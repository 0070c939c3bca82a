#include "numbers.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>

namespace svtool {

namespace {

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool ParseNumber(const std::string& text, double* value)
{
    // strtod would skip leading blanks and read hexadecimal.
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+' ||
                          text[0] == '.'))
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || text.find_first_of("xX") != std::string::npos)
        return false;
    *value = v;
    return true;
}

bool ParseInteger(const std::string& text, long long min, long long max, long long* value)
{
    const std::string digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? text.substr(1) : text;
    if (!AllDigits(digits))
        return false;
    errno = 0;
    const long long v = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool ParsePercent(const std::string& text, double* value)
{
    const std::string number = EndsWith(text, "%") ? text.substr(0, text.size() - 1) : text;
    double v = 0;
    if (!ParseNumber(number, &v) || v < 0 || v > 100)
        return false;
    *value = v;
    return true;
}

bool ParseDuration(const std::string& text, TimeUnit unit, double* value)
{
    // Milliseconds per unit: of the text's own, and of the one asked for.
    double given = unit == TimeUnit::Seconds ? 1000 : 1;
    std::string number = text;
    if (EndsWith(text, "ms")) {
        given = 1;
        number.resize(text.size() - 2);
    } else if (EndsWith(text, "s")) {
        given = 1000;
        number.resize(text.size() - 1);
    }
    double v = 0;
    if (!ParseNumber(number, &v))
        return false;
    *value = v * given / (unit == TimeUnit::Seconds ? 1000 : 1);
    return true;
}

std::string Endpoint::Address() const
{
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
             (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

std::string Endpoint::ToString() const { return Address() + ":" + std::to_string(port); }

bool ParseEndpoint(const std::string& text, Endpoint* endpoint, std::string* why)
{
    Endpoint e;
    const size_t colon = text.rfind(':');
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon != std::string::npos) {
        const std::string address = text.substr(0, colon);
        uint32_t value = 0;
        size_t at = 0;
        for (int part = 0; part < 4; ++part) {
            const size_t dot = part < 3 ? address.find('.', at) : address.size();
            const std::string octet = dot == std::string::npos ? "" : address.substr(at, dot - at);
            if (octet.size() > 3 || !AllDigits(octet) || std::stoi(octet) > 255) {
                *why = "'" + address + "' is not an IPv4 address in dotted form, such as 127.0.0.1";
                return false;
            }
            value = value << 8 | static_cast<uint32_t>(std::stoi(octet));
            at = dot + 1;
        }
        e.address = value;
    }
    long long number = 0;
    if (!AllDigits(port) || !ParseInteger(port, 1, 65535, &number)) {
        *why = "'" + port + "' is not a port number, 1..65535";
        return false;
    }
    e.port = static_cast<uint16_t>(number);
    *endpoint = e;
    return true;
}

std::string FormatTime(double seconds)
{
    const long tenths = std::lround(std::max(0.0, seconds) * 10.0);
    char text[32];
    snprintf(text, sizeof text, "%02ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

void DelayHistogram::Add(double ms)
{
    const int at = static_cast<int>(std::min<double>(std::max(ms, 0.0), kMaxMs) + 0.5);
    ++m_counts[static_cast<size_t>(std::min(at, kMaxMs))];
    ++m_n;
    m_sum += std::max(ms, 0.0);
}

double DelayHistogram::Percentile(double share) const
{
    if (m_n == 0)
        return 0;
    const double need = share * static_cast<double>(m_n);
    uint64_t sum = 0;
    for (size_t ms = 0; ms < m_counts.size(); ++ms) {
        sum += m_counts[ms];
        if (static_cast<double>(sum) >= need)
            return static_cast<double>(ms);
    }
    return kMaxMs;
}

} // namespace svtool
