#include <bench/cluster/wire.hpp>

#include <bench/settings.hpp>

#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

namespace bench::wire {

namespace {

[[noreturn]] void malformed() { throw std::runtime_error("malformed message from another rank"); }

// Every field of a result is sent. These mirrors of the fields stop the build
// when one is added to result_record or result_figures, until put() and
// get_record() send it too.
struct record_fields {
    std::size_t test_index;
    std::uint32_t thread_number, rank;
    bool success;
    std::string description, failure;
    std::uint64_t bytes_processed;
    result_figures figures;
    double sum_ms;
    std::int64_t start_ns, end_ns;
    latency_histogram latency;
    std::int64_t last_start_ns;
    std::optional<open_loop_times> open_loop;
    operation_table operations;
    std::optional<redirection_counts> redirections;
    std::optional<interval_series> intervals;
};
static_assert(sizeof(record_fields) == sizeof(result_record),
              "a field of result_record is not sent between ranks");
struct figure_fields {
    std::uint64_t counts[2];
    double figures[9];
};
static_assert(sizeof(figure_fields) == sizeof(result_figures),
              "a field of result_figures is not sent between ranks");
struct open_loop_fields {
    double requested_rate;
    latency_histogram service;
    double service_min_ms, service_max_ms;
    std::int64_t total_lateness_ns;
    latency_histogram lateness;
    double lateness_min_ms, lateness_max_ms;
};
static_assert(sizeof(open_loop_fields) == sizeof(open_loop_times),
              "a field of open_loop_times is not sent between ranks");
struct interval_fields {
    std::uint64_t steps, bytes, failures;
    std::int64_t min_ns, max_ns;
    std::vector<std::uint64_t> buckets;
};
static_assert(sizeof(interval_fields) == sizeof(interval_figures),
              "a field of interval_figures is not sent between ranks");
struct operation_fields {
    std::uint64_t steps, hits, misses;
    latency_histogram latency;
    double min_ms, max_ms;
};
static_assert(sizeof(operation_fields) == sizeof(operation_figures),
              "a field of operation_figures is not sent between ranks");

// A time in nanoseconds from the run's start. No run lasts 2^62 ns (146
// years): refusing times beyond keeps the differences and the sums of two of
// them, which the reports take, within 64 bits.
std::int64_t get_time(reader& in) {
    constexpr std::int64_t limit = std::int64_t{1} << 62;
    const std::int64_t ns = in.i64();
    if (ns <= -limit || ns >= limit) malformed();
    return ns;
}

// A yes or no, sent as 1 or 0: any other byte would not be sent back the same.
bool get_flag(reader& in) {
    const std::uint8_t flag = in.u8();
    if (flag > 1) malformed();
    return flag == 1;
}

// The non-empty buckets as (index, count) pairs after their number.
void put_buckets(writer& out, const latency_histogram& histogram) {
    std::uint32_t buckets = 0;
    for (auto i = latency_histogram::first_index; i <= latency_histogram::last_index; ++i)
        if (histogram.count(i) != 0) ++buckets;
    out.u32(buckets);
    for (auto i = latency_histogram::first_index; i <= latency_histogram::last_index; ++i) {
        const std::uint64_t count = histogram.count(i);
        if (count == 0) continue;
        out.u32(static_cast<std::uint32_t>(i)).u64(count);
    }
}

constexpr std::size_t bucket_bytes = 12;  // index and count
constexpr std::size_t test_bytes = 17;    // kind, size and count

// Only what put_buckets() writes is taken: non-empty buckets in ascending
// order, each once, so that a histogram is sent back as it came.
void get_buckets(reader& in, latency_histogram& histogram) {
    auto after = latency_histogram::first_index - 1;  // the last bucket read
    const std::uint32_t buckets = in.u32();
    if (buckets > in.left() / bucket_bytes) malformed();
    for (std::uint32_t bucket = 0; bucket < buckets; ++bucket) {
        const auto index = static_cast<latency_histogram::index_type>(in.u32());
        const std::uint64_t count = in.u64();
        if (index <= after || index > latency_histogram::last_index || count == 0) malformed();
        histogram.set_count(index, count);
        after = index;
    }
}

// One bit per operation that the table holds (bit i for operation i), then
// the figures of each of them in operation order.
void put_operations(writer& out, const operation_table& operations) {
    std::uint8_t used = 0;
    for (std::size_t i = 0; i < operation_count; ++i)
        if (operations[i]) used = static_cast<std::uint8_t>(used | 1u << i);
    out.u8(used);
    for (const std::optional<operation_figures>& figures : operations) {
        if (!figures) continue;
        out.u64(figures->steps).u64(figures->hits).u64(figures->misses);
        out.f64(figures->min_ms).f64(figures->max_ms);
        put_buckets(out, figures->latency);
    }
}

void get_operations(reader& in, operation_table& operations) {
    const std::uint8_t used = in.u8();
    if (used >> operation_count != 0) malformed();
    for (std::size_t i = 0; i < operation_count; ++i) {
        if ((used >> i & 1u) == 0) continue;
        operation_figures& figures = operations[i].emplace();
        figures.steps = in.u64();
        figures.hits = in.u64();
        figures.misses = in.u64();
        figures.min_ms = in.f64();
        figures.max_ms = in.f64();
        get_buckets(in, figures.latency);
    }
}

// A record's intervals: their length, the first one's index and their
// number, then each one's figures and non-empty buckets as put_buckets()
// sends a histogram's.
void put_intervals(writer& out, const interval_series& series) {
    out.i64(series.length_ns).u64(series.first).u64(series.intervals.size());
    for (const interval_figures& figures : series.intervals) {
        out.u64(figures.steps).u64(figures.bytes).u64(figures.failures);
        out.i64(figures.min_ns).i64(figures.max_ns);
        out.u32(static_cast<std::uint32_t>(figures.buckets.size()));
        for (std::uint64_t bucket : figures.buckets)
            out.u32(static_cast<std::uint32_t>(interval_figures::index_of(bucket)))
                .u64(interval_figures::count_of(bucket));
    }
}

constexpr std::size_t interval_bytes = 44;  // figures and bucket count

void get_intervals(reader& in, interval_series& series) {
    // Intervals as --interval takes them, none of them beyond a time that
    // get_time() would take.
    series.length_ns = in.i64();
    if (series.length_ns < static_cast<std::int64_t>(min_interval * 1e9) ||
        series.length_ns > static_cast<std::int64_t>(max_interval * 1e9))
        malformed();
    series.first = in.u64();
    const std::uint64_t intervals = in.u64();
    const std::uint64_t reachable =
        (std::uint64_t{1} << 62) / static_cast<std::uint64_t>(series.length_ns);
    if (intervals > in.left() / interval_bytes || intervals > reachable ||
        series.first > reachable - intervals)
        malformed();
    series.intervals.resize(static_cast<std::size_t>(intervals));
    for (interval_figures& figures : series.intervals) {
        figures.steps = in.u64();
        figures.bytes = in.u64();
        figures.failures = in.u64();
        figures.min_ns = in.i64();
        figures.max_ns = in.i64();
        const std::uint32_t buckets = in.u32();
        if (buckets > in.left() / bucket_bytes) malformed();
        figures.buckets.reserve(buckets);
        auto after = latency_histogram::first_index - 1;
        for (std::uint32_t bucket = 0; bucket < buckets; ++bucket) {
            const auto index = static_cast<latency_histogram::index_type>(in.u32());
            const std::uint64_t count = in.u64();
            if (index <= after || index > latency_histogram::last_index || count == 0 ||
                count > interval_figures::count_mask)
                malformed();
            figures.buckets.push_back(interval_figures::pack(index, count));
            after = index;
        }
    }
}

}  // namespace

writer& writer::u8(std::uint8_t value) {
    bytes_.push_back(static_cast<char>(value));
    return *this;
}

writer& writer::u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) u8(static_cast<std::uint8_t>(value >> shift));
    return *this;
}

writer& writer::u64(std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) u8(static_cast<std::uint8_t>(value >> shift));
    return *this;
}

writer& writer::i64(std::int64_t value) { return u64(static_cast<std::uint64_t>(value)); }

writer& writer::f64(double value) {
    static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return u64(bits);
}

writer& writer::text(const std::string& value) {
    if (value.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("text too long for a message");
    u32(static_cast<std::uint32_t>(value.size()));
    bytes_ += value;
    return *this;
}

std::uint64_t reader::little_endian(std::size_t size) {
    if (left() < size) malformed();
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
    at_ += size;
    return value;
}

std::uint8_t reader::u8() { return static_cast<std::uint8_t>(little_endian(1)); }
std::uint32_t reader::u32() { return static_cast<std::uint32_t>(little_endian(4)); }
std::uint64_t reader::u64() { return little_endian(8); }
std::int64_t reader::i64() { return static_cast<std::int64_t>(u64()); }

double reader::f64() {
    const std::uint64_t bits = u64();
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string reader::text() {
    const std::uint32_t size = u32();
    if (left() < size) malformed();
    std::string value = bytes_.substr(at_, size);
    at_ += size;
    return value;
}

void reader::finish() const {
    if (at_ != bytes_.size()) malformed();
}

void put(writer& out, const result_record& record) {
    const result_figures& figures = record.figures;
    out.u64(record.test_index).u32(record.thread_number).u32(record.rank);
    out.u8(record.success ? 1 : 0).text(record.description).text(record.failure);
    out.u64(record.bytes_processed);
    out.u64(figures.iterations_count).u64(figures.iteration_size);
    for (double figure : {figures.mean_time, figures.error_of_mean_time, figures.median_time,
                          figures.max, figures.min, figures.variance, figures.standard_deviation,
                          figures.mean_bandwidth, figures.error_of_mean_bandwidth})
        out.f64(figure);
    out.f64(record.sum_ms).i64(record.start_ns).i64(record.end_ns);
    put_buckets(out, record.latency);
    out.i64(record.last_start_ns);
    put_operations(out, record.operations);
    out.u8(record.redirections ? 1 : 0);
    if (record.redirections) out.u64(record.redirections->moved).u64(record.redirections->ask);
    out.u8(record.open_loop ? 1 : 0);
    if (record.open_loop) {
        const open_loop_times& open_loop = *record.open_loop;
        out.f64(open_loop.requested_rate);
        put_buckets(out, open_loop.service);
        out.f64(open_loop.service_min_ms).f64(open_loop.service_max_ms);
        out.i64(open_loop.total_lateness_ns);
        put_buckets(out, open_loop.lateness);
        out.f64(open_loop.lateness_min_ms).f64(open_loop.lateness_max_ms);
    }
    out.u8(record.intervals ? 1 : 0);
    if (record.intervals) put_intervals(out, *record.intervals);
}

result_record get_record(reader& in) {
    result_record record;
    result_figures& figures = record.figures;
    record.test_index = static_cast<std::size_t>(in.u64());
    record.thread_number = in.u32();
    record.rank = in.u32();
    record.success = get_flag(in);
    record.description = in.text();
    record.failure = in.text();
    record.bytes_processed = in.u64();
    figures.iterations_count = in.u64();
    figures.iteration_size = in.u64();
    for (double* figure : {&figures.mean_time, &figures.error_of_mean_time, &figures.median_time,
                           &figures.max, &figures.min, &figures.variance,
                           &figures.standard_deviation, &figures.mean_bandwidth,
                           &figures.error_of_mean_bandwidth})
        *figure = in.f64();
    record.sum_ms = in.f64();
    record.start_ns = get_time(in);
    record.end_ns = get_time(in);
    get_buckets(in, record.latency);
    record.last_start_ns = get_time(in);
    get_operations(in, record.operations);
    if (get_flag(in)) {
        redirection_counts& counts = record.redirections.emplace();
        counts.moved = in.u64();
        counts.ask = in.u64();
    }
    if (get_flag(in)) {
        open_loop_times& open_loop = record.open_loop.emplace();
        open_loop.requested_rate = in.f64();
        get_buckets(in, open_loop.service);
        open_loop.service_min_ms = in.f64();
        open_loop.service_max_ms = in.f64();
        // Steps start late or on time, never early.
        open_loop.total_lateness_ns = get_time(in);
        if (open_loop.total_lateness_ns < 0) malformed();
        get_buckets(in, open_loop.lateness);
        open_loop.lateness_min_ms = in.f64();
        open_loop.lateness_max_ms = in.f64();
    }
    if (get_flag(in)) get_intervals(in, record.intervals.emplace());
    return record;
}

void put(writer& out, const run_plan& plan) {
    out.text(plan.error).u8(plan.lockstep ? 1 : 0).u64(plan.tests.size());
    for (const test_spec& test : plan.tests) {
        out.u8(static_cast<std::uint8_t>(test.which()));
        if (const mix* mix_test = boost::get<mix>(&test)) {
            put(out, *mix_test);
            continue;
        }
        out.u64(kind_size(test)).u64(kind_count(test));
    }
}

run_plan get_plan(reader& in) {
    run_plan plan;
    plan.error = in.text();
    plan.lockstep = get_flag(in);
    const std::uint64_t tests = in.u64();
    if (tests > in.left() / test_bytes) malformed();
    plan.tests.reserve(static_cast<std::size_t>(tests));
    for (std::uint64_t test = 0; test < tests; ++test) {
        const std::uint8_t kind = in.u8();
        if (kind >= kind_names.size()) malformed();
        if (kind == mix_kind_index) {
            plan.tests.push_back(get_mix(in));
            continue;
        }
        const std::uint64_t size = in.u64();
        plan.tests.push_back(make_test_spec(kind, size, in.u64()));
    }
    return plan;
}

void put(writer& out, const rank_facts& facts) {
    const host_facts& host = facts.host;
    out.u32(facts.rank).text(host.name).text(host.os).text(host.release).text(host.machine);
    out.u8(host.cpu_model ? 1 : 0).text(host.cpu_model.value_or(""));
    out.u32(host.logical_cpus).u32(static_cast<std::uint32_t>(facts.threads)).text(facts.daemon);
}

rank_facts get_rank_facts(reader& in) {
    rank_facts facts;
    host_facts& host = facts.host;
    facts.rank = in.u32();
    host.name = in.text();
    host.os = in.text();
    host.release = in.text();
    host.machine = in.text();
    const bool known_model = get_flag(in);
    std::string model = in.text();
    // An unknown model is sent as an empty text.
    if (!known_model && !model.empty()) malformed();
    if (known_model) host.cpu_model = std::move(model);
    host.logical_cpus = in.u32();
    facts.threads = static_cast<std::int32_t>(in.u32());
    facts.daemon = in.text();
    return facts;
}

}  // namespace bench::wire
