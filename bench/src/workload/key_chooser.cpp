#include <bench/workload/key_chooser.hpp>

#include <cmath>
#include <stdexcept>

namespace bench {

namespace {

// Below this many items zeta is summed term by term.
constexpr std::uint64_t zeta_head = 1000;

double zeta_sum(std::uint64_t first, std::uint64_t last, double theta)
{
    double sum = 0;
    for (std::uint64_t i = last; i >= first; --i) {  // the small terms first
        sum += std::pow(static_cast<double>(i), -theta);
    }
    return sum;
}

// YCSB's FNV-64 of a draw: FNV-1a over its eight bytes, lowest first.
std::uint64_t fnv64(std::uint64_t value) noexcept
{
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (int i = 0; i < 8; ++i) {
        hash ^= value & 0xffu;
        hash *= 0x100000001b3u;
        value >>= 8;
    }
    return hash;
}

bool is_write(operation op) noexcept
{
    return op == operation::put || op == operation::update ||
           op == operation::read_modify_write;
}

}  // namespace

// Summing every term costs O(n): about 4 s for 10^8 keys here, once per
// thread and test. Instead the first zeta_head terms are summed and the rest
// is the Euler-Maclaurin formula for f(x) = x^-theta from zeta_head to n,
// with the terms up to f''' (the next one is below 1e-17 there): a few
// microseconds for any n, within 1e-13 of the full sum (which itself carries
// rounding errors of that order).
double zeta(std::uint64_t n, double theta)
{
    if (n <= zeta_head) return zeta_sum(1, n, theta);
    const double a = static_cast<double>(zeta_head);
    const double b = static_cast<double>(n);
    const auto f = [theta](double x) { return std::pow(x, -theta); };
    const auto f1 = [theta](double x) { return -theta * std::pow(x, -theta - 1); };
    const auto f3 = [theta](double x) {
        return -theta * (theta + 1) * (theta + 2) * std::pow(x, -theta - 3);
    };
    // (b^(1-theta) - a^(1-theta)) / (1-theta), without the cancellation of
    // two close powers when theta is near 1.
    const double integral = theta == 1
                                ? std::log(b / a)
                                : std::pow(a, 1 - theta) *
                                      std::expm1((1 - theta) * std::log(b / a)) / (1 - theta);
    const double tail = integral + (f(a) + f(b)) / 2 + (f1(b) - f1(a)) / 12 -
                        (f3(b) - f3(a)) / 720;
    return zeta_sum(1, zeta_head - 1, theta) + tail;
}

zipfian_generator::zipfian_generator(std::uint64_t items, double theta)
    : items_(items)
{
    if (items == 0) throw std::invalid_argument("a Zipfian draw needs at least one item");
    if (!(theta >= 0 && theta < 1)) {
        throw std::invalid_argument("the Zipfian exponent must be at least 0 and below 1");
    }
    zetan_ = zeta(items, theta);
    alpha_ = 1 / (1 - theta);
    // eta is 0/0 for two items, where it is never used.
    const double zeta2 = 1 + std::pow(0.5, theta);
    eta_ = items > 2 ? (1 - std::pow(2.0 / static_cast<double>(items), 1 - theta)) /
                           (1 - zeta2 / zetan_)
                     : 0;
    second_ = zeta2;
}

std::uint64_t zipfian_generator::operator()(random_engine& random) const noexcept
{
    const double u = random.unit();
    const double uz = u * zetan_;
    if (uz < 1) return 0;
    if (uz < second_) return 1;
    const double item =
        static_cast<double>(items_) * std::pow(eta_ * u - eta_ + 1, alpha_);
    // Rounding can reach items_ when u is within an ulp of 1.
    const auto whole = static_cast<std::uint64_t>(item);
    return whole < items_ ? whole : items_ - 1;
}

newest_key::newest_key(std::uint64_t keys) : keys_(keys)
{
    if (keys == 0) throw std::invalid_argument("a key space needs at least one key");
}

namespace {

bool uses_zipfian(key_distribution distribution)
{
    return distribution == key_distribution::zipfian || distribution == key_distribution::latest;
}

// thread, once the test and the thread's place are checked: before any
// member is built from them.
std::uint32_t checked_thread(const mix& test, std::uint32_t thread, std::uint32_t threads,
                             const newest_key* newest)
{
    if (test.keys == 0) throw std::invalid_argument("a mix needs at least one key");
    bool weighted = false;
    for (const std::uint32_t weight : test.weights) weighted = weighted || weight > 0;
    if (!weighted) throw std::invalid_argument("a mix needs an operation with a weight above 0");
    if (test.size_min > test.size_max) {
        throw std::invalid_argument("a mix's smallest value size is above its largest");
    }
    if (thread >= threads) throw std::invalid_argument("thread index beyond the thread count");
    if (test.distribution == key_distribution::hotspot &&
        !(test.hot_keys >= 0 && test.hot_keys <= 1 && test.hot_share >= 0 &&
          test.hot_share <= 1)) {
        throw std::invalid_argument("hot key and operation fractions must be from 0 to 1");
    }
    if (test.distribution == key_distribution::latest &&
        (newest == nullptr || newest->keys() != test.keys)) {
        throw std::invalid_argument(
            "the latest distribution needs the newest key of its key space");
    }
    return thread;
}

}  // namespace

key_chooser::key_chooser(const mix& test, std::uint32_t thread, std::uint32_t threads,
                         std::uint64_t seed, newest_key* newest)
    : random_(seed, checked_thread(test, thread, threads, newest)),
      distribution_(test.distribution),
      keys_(test.keys),
      size_min_(test.size_min),
      size_span_(test.size_max - test.size_min),
      zipfian_(uses_zipfian(test.distribution) ? test.keys : 1,
               uses_zipfian(test.distribution) ? test.zipf_exponent : 0),
      newest_(newest)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < operation_count; ++i) {
        sum += test.weights[i];
        weight_ends_[i] = sum;
    }
    // t * keys / threads without overflow: keys = q * threads + r.
    const std::uint64_t q = keys_ / threads, r = keys_ % threads;
    position_ = thread * q + thread * r / threads;
    if (distribution_ == key_distribution::hotspot) {
        const double hot = std::ceil(test.hot_keys * static_cast<double>(keys_));
        hot_count_ = hot >= static_cast<double>(keys_) ? keys_ : static_cast<std::uint64_t>(hot);
        hot_share_ = test.hot_share;
    }
}

operation key_chooser::next_operation() noexcept
{
    const std::uint64_t draw = random_.below(weight_ends_.back());
    std::size_t i = 0;
    while (draw >= weight_ends_[i]) ++i;  // an operation of weight 0 spans no draw
    return static_cast<operation>(i);
}

std::uint64_t key_chooser::next_key(operation op) noexcept
{
    switch (distribution_) {
    case key_distribution::uniform: return uniform_key();
    case key_distribution::zipfian: return scrambled_zipfian_key();
    case key_distribution::sequential: return sequential_key();
    case key_distribution::latest: return latest_key(op);
    case key_distribution::hotspot: return hotspot_key();
    }
    return uniform_key();
}

std::uint64_t key_chooser::next_size() noexcept
{
    // A span of every 64-bit length would wrap to 0; no store holds one.
    return size_min_ + (size_span_ == 0 ? 0 : random_.below(size_span_ + 1));
}

// As YCSB, the hash folded into the key space is not one-to-one: a few
// popular items may share a key and some keys are never drawn, which only
// matters in the tail, where each key's share is tiny anyway.
std::uint64_t key_chooser::scrambled_zipfian_key() noexcept
{
    return fnv64(zipfian_(random_)) % keys_;
}

std::uint64_t key_chooser::sequential_key() noexcept
{
    const std::uint64_t key = position_;
    position_ = position_ + 1 == keys_ ? 0 : position_ + 1;
    return key;
}

std::uint64_t key_chooser::latest_key(operation op) noexcept
{
    if (is_write(op)) return newest_->take_next();
    const std::uint64_t newest = newest_->newest();
    const std::uint64_t back = zipfian_(random_);
    return newest >= back ? newest - back : newest + (keys_ - back);
}

std::uint64_t key_chooser::hotspot_key() noexcept
{
    const bool hot = random_.unit() < hot_share_;
    if (hot ? hot_count_ == 0 : hot_count_ == keys_) {
        // The chosen group is empty: the other one is the whole key space.
        return random_.below(keys_);
    }
    return hot ? random_.below(hot_count_) : hot_count_ + random_.below(keys_ - hot_count_);
}

}  // namespace bench
