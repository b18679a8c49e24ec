#include <bench/intervals.hpp>

#include <cmath>

namespace bench {

void interval_figures::merge(const interval_figures& other)
{
    steps += other.steps;
    bytes += other.bytes;
    failures += other.failures;
    min_ns = std::min(min_ns, other.min_ns);
    max_ns = std::max(max_ns, other.max_ns);
    if (other.buckets.empty()) return;
    if (buckets.empty()) {
        buckets = other.buckets;
        return;
    }
    // Both lists ascend by index: merged in one pass.
    std::vector<std::uint64_t> merged;
    merged.reserve(buckets.size() + other.buckets.size());
    auto a = buckets.begin();
    auto b = other.buckets.begin();
    while (a != buckets.end() || b != other.buckets.end()) {
        if (b == other.buckets.end() || (a != buckets.end() && index_of(*a) < index_of(*b))) {
            merged.push_back(*a++);
        } else if (a == buckets.end() || index_of(*b) < index_of(*a)) {
            merged.push_back(*b++);
        } else {
            merged.push_back(pack(index_of(*a), count_of(*a) + count_of(*b)));
            ++a;
            ++b;
        }
    }
    buckets = std::move(merged);
}

percentile_values interval_figures::percentiles_ms() const
{
    percentile_values values{};
    if (steps == 0) {
        values.fill(std::numeric_limits<double>::quiet_NaN());
        return values;
    }
    const double min_ms = static_cast<double>(min_ns) / 1000000.0;
    const double max_ms = static_cast<double>(max_ns) / 1000000.0;
    std::uint64_t n = 0;
    for (std::uint64_t bucket : buckets) n += count_of(bucket);
    // Nearest rank, as latency_histogram::percentile_ms takes it.
    constexpr std::uint64_t million = 1000000;
    for (std::size_t i = 0; i < reported_percentiles.size(); ++i) {
        const std::uint64_t ppm = reported_percentiles[i].parts_per_million;
        const std::uint64_t rank = std::max<std::uint64_t>(
            n / million * ppm + ((n % million) * ppm + million - 1) / million, 1);
        std::uint64_t seen = 0;
        auto index = latency_histogram::last_index;
        for (std::uint64_t bucket : buckets) {
            seen += count_of(bucket);
            if (seen >= rank) {
                index = index_of(bucket);
                break;
            }
        }
        const auto upper = latency_histogram::upper_ns(index);
        const double value_ms = upper ? static_cast<double>(*upper) / 1000000.0 : max_ms;
        values[i] = std::min(std::max(value_ms, min_ms), max_ms);
    }
    return values;
}

interval_figures& interval_series::at(std::uint64_t index)
{
    if (intervals.empty()) {
        first = index;
    } else if (index < first) {
        intervals.insert(intervals.begin(), static_cast<std::size_t>(first - index), {});
        first = index;
    }
    const auto place = static_cast<std::size_t>(index - first);
    if (place >= intervals.size()) intervals.resize(place + 1);
    return intervals[place];
}

void interval_series::merge(const interval_series& other, bool failures_only)
{
    if (length_ns == 0) length_ns = other.length_ns;
    for (std::size_t i = 0; i < other.intervals.size(); ++i) {
        const interval_figures& from = other.intervals[i];
        if (failures_only) {
            if (from.failures != 0) at(other.first + i).failures += from.failures;
        } else if (!from.empty()) {
            at(other.first + i).merge(from);
        }
    }
}

std::uint64_t interval_series::steps() const
{
    std::uint64_t sum = 0;
    for (const interval_figures& each : intervals) sum += each.steps;
    return sum;
}

std::uint64_t interval_series::bytes() const
{
    std::uint64_t sum = 0;
    for (const interval_figures& each : intervals) sum += each.bytes;
    return sum;
}

std::vector<std::int64_t> covered_ns(const interval_series& series, std::vector<time_span> spans)
{
    std::vector<std::int64_t> covered(series.intervals.size(), 0);
    if (series.length_ns <= 0) return covered;
    // The spans' union as disjoint spans in order.
    std::sort(spans.begin(), spans.end(),
              [](const time_span& a, const time_span& b) { return a.from_ns < b.from_ns; });
    std::vector<time_span> joined;
    for (const time_span& span : spans) {
        if (span.to_ns < span.from_ns) continue;
        if (!joined.empty() && span.from_ns <= joined.back().to_ns) {
            joined.back().to_ns = std::max(joined.back().to_ns, span.to_ns);
        } else {
            joined.push_back(span);
        }
    }
    for (std::size_t i = 0; i < covered.size(); ++i) {
        const std::int64_t start =
            static_cast<std::int64_t>(series.first + i) * series.length_ns;
        const std::int64_t end = start + series.length_ns;
        for (const time_span& span : joined) {
            const std::int64_t from = std::max(start, span.from_ns);
            const std::int64_t to = std::min(end, span.to_ns);
            if (to > from) covered[i] += to - from;
        }
    }
    return covered;
}

interval_recorder::interval_recorder(time_point origin, std::int64_t length_ns)
    : origin_(origin),
      length_(length_ns),
      counts_(static_cast<std::size_t>(latency_histogram::last_index -
                                       latency_histogram::first_index + 1),
              0)
{
    series_.length_ns = length_ns;
}

void interval_recorder::close_current()
{
    if (!started_ || current_.empty()) return;
    std::size_t used = 0;
    for (std::uint64_t count : counts_)
        if (count != 0) ++used;
    current_.buckets.reserve(used);
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        if (counts_[i] == 0) continue;
        current_.buckets.push_back(interval_figures::pack(
            static_cast<latency_histogram::index_type>(i) + latency_histogram::first_index,
            counts_[i]));
        counts_[i] = 0;
    }
    series_.at(current_index_) = std::move(current_);
    current_ = interval_figures{};
}

void interval_recorder::move_to(time_point at)
{
    close_current();
    const std::int64_t since = std::chrono::duration_cast<std::chrono::nanoseconds>(at - origin_)
                                   .count();
    current_index_ = since <= 0 ? 0 : static_cast<std::uint64_t>(since / length_.count());
    started_ = true;
    interval_end_ = origin_ + length_ * static_cast<std::int64_t>(current_index_ + 1);
}

void interval_recorder::record_failure(time_point at)
{
    if (at >= interval_end_) move_to(at);
    ++current_.failures;
}

interval_series interval_recorder::finish()
{
    close_current();
    started_ = false;
    interval_end_ = time_point::min();
    return std::move(series_);
}

}  // namespace bench
