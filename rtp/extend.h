// Extension of RTP's wrapping counters, the 16-bit sequence number and the
// 32-bit timestamp, to 64 bits.
#pragma once

#include <stdint.h>

namespace svrtp {

// Each value is placed in the cycle that puts it nearest the highest value
// accepted so far, so a counter that wraps keeps counting up and one that
// arrives late, from before a wrap, lands below it. Values are only compared
// against what was accepted: a stray value that is looked at and refused moves
// nothing.
class WrapExtender {
public:
    // `bits`: 16 for sequence numbers, 32 for timestamps.
    explicit WrapExtender(int bits) : m_bits(bits) {}

    // The first value starts in cycle 1, not 0, so that values from up to half
    // a cycle before it still extend to positive numbers.
    int64_t Extend(uint32_t value) const
    {
        const int64_t modulus = int64_t(1) << m_bits;
        const int64_t v = static_cast<int64_t>(value) & (modulus - 1);
        if (!m_started)
            return modulus + v;
        int64_t d = (v - m_highest) & (modulus - 1);
        if (d >= modulus / 2)
            d -= modulus;
        return m_highest + d;
    }
    // Raises the highest value to `extended` when it is above it.
    void Accept(int64_t extended)
    {
        if (!m_started || extended > m_highest)
            m_highest = extended;
        m_started = true;
    }
    int64_t Update(uint32_t value)
    {
        const int64_t extended = Extend(value);
        Accept(extended);
        return extended;
    }
    void Reset() { m_started = false; }
    bool Started() const { return m_started; }
    int64_t Highest() const { return m_highest; }

private:
    int m_bits;
    bool m_started = false;
    int64_t m_highest = 0;
};

} // namespace svrtp
