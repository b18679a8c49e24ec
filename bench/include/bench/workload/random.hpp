#ifndef BENCH_WORKLOAD_RANDOM_HPP
#define BENCH_WORKLOAD_RANDOM_HPP

#include <cstdint>

namespace bench {

// splitmix64's output function: a bijection of 64-bit words that spreads
// every input bit over the whole output.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept
{
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// The random choices of one thread: xoshiro256** (Blackman and Vigna), a
// draw in about a nanosecond with 256 bits of state, filled by splitmix64
// from the seed and the stream. Equal seeds and streams give equal
// sequences; streams of one seed always start from different states, so the
// threads of a run (the stream being the thread's index) draw apart.
class random_engine {
public:
    explicit random_engine(std::uint64_t seed, std::uint64_t stream = 0) noexcept
    {
        // mix64 is a bijection, so distinct streams give distinct starts.
        std::uint64_t x = mix64(seed ^ mix64(stream + 0x6a09e667f3bcc909u));
        for (std::uint64_t& word : state_) {
            x += 0x9e3779b97f4a7c15u;
            word = mix64(x);
        }
    }

    std::uint64_t operator()() noexcept
    {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, n), n > 0: the high word of a 64 x 64-bit product
    // (Lemire), whose bias, below n / 2^64, no test can see.
    std::uint64_t below(std::uint64_t n) noexcept { return high_product((*this)(), n); }

    // Uniform in [0, 1), on 53 bits.
    double unit() noexcept { return static_cast<double>((*this)() >> 11) * 0x1.0p-53; }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept
    {
        return (x << k) | (x >> (64 - k));
    }

    static std::uint64_t high_product(std::uint64_t a, std::uint64_t b) noexcept
    {
#ifdef __SIZEOF_INT128__
        __extension__ using wide = unsigned __int128;
        return static_cast<std::uint64_t>((static_cast<wide>(a) * b) >> 64);
#else
        const std::uint64_t a_lo = a & 0xffffffffu, a_hi = a >> 32;
        const std::uint64_t b_lo = b & 0xffffffffu, b_hi = b >> 32;
        const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
        const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
        const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xffffffffu) + lo_hi;
        return hi_hi + (hi_lo >> 32) + (middle >> 32);
#endif
    }

    std::uint64_t state_[4];
};

}  // namespace bench

#endif
