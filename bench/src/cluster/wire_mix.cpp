// A mix test as rank 0 sends it to the other ranks with the run's plan:
// every field, so that each rank runs the test exactly as rank 0 read it,
// with its seed and its key prefix.

#include <bench/cluster/wire.hpp>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>

namespace bench::wire {

namespace {

// A mirror of the fields of a mix, which stops the build when one is added
// until put() and get_mix() send it too.
struct mix_fields {
    std::uint64_t keys, size_min, size_max;
    std::array<std::uint32_t, operation_count> weights;
    key_distribution distribution;
    double zipf_exponent, hot_keys, hot_share;
    std::uint64_t count;
    double duration, warmup;
    bool load;
    std::optional<std::uint64_t> seed;
    std::string key_prefix;
};
static_assert(sizeof(mix_fields) == sizeof(mix), "a field of mix is not sent between ranks");

[[noreturn]] void malformed() { throw std::runtime_error("malformed message from another rank"); }

}  // namespace

void put(writer& out, const mix& test)
{
    out.u64(test.keys).u64(test.size_min).u64(test.size_max);
    for (const std::uint32_t weight : test.weights) out.u32(weight);
    out.u8(static_cast<std::uint8_t>(test.distribution));
    out.f64(test.zipf_exponent).f64(test.hot_keys).f64(test.hot_share);
    out.u64(test.count).f64(test.duration).f64(test.warmup).u8(test.load ? 1 : 0);
    out.u8(test.seed ? 1 : 0).u64(test.seed.value_or(0)).text(test.key_prefix);
}

mix get_mix(reader& in)
{
    mix test;
    test.keys = in.u64();
    test.size_min = in.u64();
    test.size_max = in.u64();
    for (std::uint32_t& weight : test.weights) weight = in.u32();
    const std::uint8_t distribution = in.u8();
    if (distribution >= distribution_names.size()) malformed();
    test.distribution = static_cast<key_distribution>(distribution);
    test.zipf_exponent = in.f64();
    test.hot_keys = in.f64();
    test.hot_share = in.f64();
    test.count = in.u64();
    test.duration = in.f64();
    test.warmup = in.f64();
    const std::uint8_t load = in.u8();
    if (load > 1) malformed();
    test.load = load == 1;
    const bool seeded = in.u8() != 0;
    const std::uint64_t seed = in.u64();
    if (seeded) test.seed = seed;
    test.key_prefix = in.text();
    return test;
}

}  // namespace bench::wire
