#include <bench/workload/mix_kind.hpp>

#include <bench/detail/timed_step.hpp>
#include <bench/format.hpp>
#include <bench/interrupt.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/thread_context.hpp>
#include <bench/workload/mix_key.hpp>
#include <bench/workload/mix_value.hpp>
#include <bench/workload/random.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <locale>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

using clock = std::chrono::steady_clock;

clock::duration seconds(double count)
{
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(count));
}

std::size_t index_of(operation op) { return static_cast<std::size_t>(op); }

bool writes(operation op)
{
    return op == operation::put || op == operation::update ||
           op == operation::read_modify_write;
}

bool reads(operation op) { return op == operation::get || op == operation::read_modify_write; }

// Sizes come from the suite file as 64-bit numbers; where they size a buffer
// they must fit std::size_t without being cut.
std::size_t to_size(std::uint64_t n)
{
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (n > static_cast<std::uint64_t>(SIZE_MAX)) {
            throw std::length_error("size too large for this system");
        }
    }
    return static_cast<std::size_t>(n);
}

std::string fixed_text(double value, int decimals)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

// A share in percent to one decimal, without a fraction when it is whole:
// "50 %", "33.3 %".
std::string percent_text(double fraction)
{
    std::string text = fixed_text(fraction * 100, 1);
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
    return text + " %";
}

// "1.0 KiB", or "64.0 B to 1.0 KiB" when the sizes vary.
std::string sizes_text(const mix& test)
{
    const std::string largest = format_scaled(test.size_max, "B", 1024.0);
    if (test.size_min == test.size_max) return largest;
    return format_scaled(test.size_min, "B", 1024.0) + " to " + largest;
}

std::string distribution_text(const mix& test)
{
    const std::string name = distribution_names[static_cast<std::size_t>(test.distribution)];
    switch (test.distribution) {
    case key_distribution::zipfian: return name + " " + number_text(test.zipf_exponent);
    case key_distribution::latest:
        return name + " with zipfian " + number_text(test.zipf_exponent);
    case key_distribution::hotspot:
        return name + " of " + percent_text(test.hot_share) + " on " +
               percent_text(test.hot_keys) + " of the keys";
    default: return name;
    }
}

// The first key of thread t's share of the load: t * keys / threads,
// without overflow.
std::uint64_t share_start(std::uint64_t keys, std::uint32_t t, std::uint32_t threads)
{
    const std::uint64_t q = keys / threads, r = keys % threads;
    return t * q + t * r / threads;
}

// The progress display of a test that runs for a time: its ticks follow the
// clock over the warm-up and the duration, and all are shown at the end.
class time_ticks {
public:
    time_ticks(boost::timer::progress_display* progress, const mix& test, clock::time_point start)
        : progress_(test.duration > 0 ? progress : nullptr),
          start_(start),
          total_ns_(std::chrono::duration<double, std::nano>(seconds(test.warmup + test.duration))
                        .count())
    {
    }

    void advance(clock::time_point now)
    {
        if (progress_ == nullptr) return;
        const double elapsed_ns = std::chrono::duration<double, std::nano>(now - start_).count();
        const double share = total_ns_ > 0 ? elapsed_ns / total_ns_ : 1;
        show(static_cast<std::uint64_t>(std::min(share, 1.0) * ticks));
    }
    void finish() { show(ticks); }

    static constexpr std::uint64_t ticks = 100;

private:
    void show(std::uint64_t target)
    {
        if (progress_ == nullptr) return;
        for (; shown_ < target; ++shown_) ++*progress_;
    }

    boost::timer::progress_display* progress_;
    clock::time_point start_;
    double total_ns_;
    std::uint64_t shown_ = 0;
};

// One thread's part of a mix test. Its buffers are made once, at their
// largest, so that a step allocates nothing of ours: the key is formatted
// and the value made into them before the step, and the reads land in a
// buffer that keeps its capacity.
class mix_thread {
public:
    mix_thread(const mix& test, const mix_place& place)
        : test_(test),
          place_(place),
          own_newest_(test.distribution == key_distribution::latest && place.newest == nullptr
                          ? std::make_unique<newest_key>(test.keys)
                          : nullptr),
          chooser_(test, place.thread, place.threads, test.seed.value_or(0),
                   place.newest != nullptr ? place.newest : own_newest_.get())
    {
        key_.reserve(test.key_prefix.size() + std::numeric_limits<std::uint64_t>::digits10 + 1);
        value_.reserve(to_size(test.size_max));
        read_.reserve(to_size(test.size_max));
    }

    // Writes this thread's share of the key space, each key once.
    void load(client& store)
    {
        const std::uint64_t first = share_start(test_.keys, place_.thread, place_.threads);
        const std::uint64_t end = share_start(test_.keys, place_.thread + 1, place_.threads);
        // The sizes come from a stream of their own, so that the steps'
        // choices are the same with a load and without.
        random_engine sizes(test_.seed.value_or(0), (std::uint64_t{1} << 32) + place_.thread);
        const std::uint64_t span = test_.size_max - test_.size_min;
        for (std::uint64_t key = first; key < end; ++key) {
            if (interrupt_requested()) throw interrupted_error();
            const std::uint64_t length = test_.size_min + (span == 0 ? 0 : sizes.below(span + 1));
            format_key(test_.key_prefix, key, key_);
            make_value(key, next_version(), to_size(length), value_);
            store.set(key_, value_);
        }
    }

    // The warm-up, then the counted steps.
    void run(client& store, boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule)
    {
        clock::time_point now = clock::now();
        time_ticks ticks(progress, test_, now);
        if (test_.warmup > 0) {
            const clock::time_point until = now + seconds(test_.warmup);
            while (now < until && due_before(schedule, until)) {
                now = step(store, result, schedule, false).end;
                ticks.advance(now);
            }
        }
        if (test_.duration > 0) {
            const clock::time_point until = now + seconds(test_.duration);
            while (now < until && due_before(schedule, until)) {
                now = step(store, result, schedule, true).end;
                ticks.advance(now);
            }
            ticks.finish();
            return;
        }
        for (std::uint64_t i = 0; i < test_.count; ++i) {
            step(store, result, schedule, true);
            if (progress != nullptr) ++*progress;
        }
    }

private:
    // Whether the next step would be due before `until` (always in closed
    // loop): a schedule's step due later would end the test late.
    static bool due_before(step_schedule* schedule, clock::time_point until)
    {
        return schedule == nullptr || schedule->next_due() < until;
    }

    std::uint64_t next_version() { return write_version(place_.thread, writes_++); }

    // One operation as one timed step, recorded when it counts, its read
    // checked after.
    detail::step_times step(client& store, test_result& result, step_schedule* schedule,
                            bool counted)
    {
        const operation op = chooser_.next_operation();
        const std::uint64_t number = chooser_.next_key(op);
        format_key(test_.key_prefix, number, key_);
        std::uint64_t written = 0;
        if (writes(op)) {
            written = chooser_.next_size();
            make_value(number, next_version(), to_size(written), value_);
        }
        bool hit = true;
        const detail::step_times times = detail::time_step(result, schedule, [&] {
            switch (op) {
            case operation::get: hit = store.try_get(key_, read_); break;
            case operation::put: store.set(key_, value_); break;
            case operation::update: hit = store.try_update(key_, value_); break;
            case operation::remove: hit = store.try_remove(key_); break;
            case operation::read_modify_write:
                hit = store.try_get(key_, read_);
                store.set(key_, value_);
                break;
            }
        });
        const bool read = hit && reads(op);
        if (counted) {
            const std::uint64_t bytes =
                (read ? read_.size() : 0) + (op == operation::update && !hit ? 0 : written);
            record(op, hit, bytes, times, result, schedule);
        }
        if (read && !value_matches(number, read_, test_.size_min, test_.size_max)) {
            throw std::runtime_error("content does not match");
        }
        // A read that writes nothing must not pass on this one's content.
        read_.clear();
        return times;
    }

    static void record(operation op, bool hit, std::uint64_t bytes,
                       const detail::step_times& times, test_result& result,
                       step_schedule* schedule)
    {
        detail::record_timed_step(result, schedule, bytes, times);
        // The step's duration as the result took it: in open loop from its
        // due time.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(times.end - times.start)
                      .count();
        if (schedule != nullptr) {
            ns += std::max<std::int64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(times.start - times.due)
                    .count(),
                0);
        }
        operation_figures& figures = *result.operations[index_of(op)];
        ++figures.steps;
        if (op != operation::put) ++(hit ? figures.hits : figures.misses);
        figures.latency.record(ns);
        const double ms = static_cast<double>(ns) / 1000000.0;
        figures.min_ms = std::min(figures.min_ms, ms);
        figures.max_ms = std::max(figures.max_ms, ms);
    }

    const mix& test_;
    mix_place place_;
    std::unique_ptr<newest_key> own_newest_;  // latest, when the place brings none
    key_chooser chooser_;
    std::uint64_t writes_ = 0;                // this thread's writes in this test
    std::string key_;
    std::string value_;
    std::string read_;
};

// The figures of every operation the test uses, empty.
void start_figures(const mix& test, test_result& result)
{
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (test.uses(static_cast<operation>(i))) result.operations[i].emplace();
    }
}

}  // namespace

std::string describe(const mix& test)
{
    std::uint64_t total = 0;
    for (const std::uint32_t weight : test.weights) total += weight;
    std::string shares;
    for (std::size_t i = 0; i < operation_count; ++i) {
        if (test.weights[i] == 0) continue;
        if (!shares.empty()) shares += ", ";
        shares += percent_text(static_cast<double>(test.weights[i]) / static_cast<double>(total)) +
                  " " + operation_names[i];
    }
    std::string text = "mix of " + shares + " over " + std::to_string(test.keys) + " keys of " +
                       sizes_text(test) + ", " + distribution_text(test) + ", ";
    text += test.duration > 0 ? "for " + number_text(test.duration) + " s"
                              : std::to_string(test.count) + " steps per thread";
    if (test.warmup > 0) text += " after " + number_text(test.warmup) + " s of warm-up";
    return text;
}

std::uint64_t progress_ticks(const mix& test)
{
    return test.duration > 0 ? time_ticks::ticks : test.count;
}

void execute(const mix& test, client& store, boost::timer::progress_display* progress,
             test_result& result, step_schedule* schedule, const mix_place& place)
{
    start_figures(test, result);
    mix_thread thread(test, place);
    if (test.load) thread.load(store);
    thread.run(store, progress, result, schedule);
}

mix_pass::mix_pass(const std::vector<test_spec>& suite, pass_barrier* barrier,
                   std::ostream* notes)
    : barrier_(barrier), notes_(notes)
{
    for (const test_spec& test : suite) {
        const mix* found = boost::get<mix>(&test);
        if (found != nullptr && found->distribution == key_distribution::latest) {
            newest_.emplace_back(found, std::make_unique<newest_key>(found->keys));
        }
    }
}

newest_key* mix_pass::newest(const mix& test) const noexcept
{
    for (const auto& [of, newest] : newest_) {
        if (of == &test) return newest.get();
    }
    return nullptr;
}

std::size_t mix_loads(const std::vector<test_spec>& suite)
{
    return static_cast<std::size_t>(std::count_if(suite.begin(), suite.end(), [](const auto& test) {
        const mix* found = boost::get<mix>(&test);
        return found != nullptr && found->load;
    }));
}

load_meeting::~load_meeting()
{
    try {
        arrive();
    } catch (...) {
        // A barrier's mutex that cannot be locked: nothing is left to do.
    }
}

void load_meeting::arrive()
{
    if (barrier_ == nullptr) return;
    pass_barrier* const barrier = barrier_;
    barrier_ = nullptr;
    barrier->arrive_and_wait();
}

pass_barrier* load_barrier(const thread_context& context, const test_spec& test) noexcept
{
    const mix* found = boost::get<mix>(&test);
    if (found == nullptr || !found->load || context.mixes == nullptr) return nullptr;
    return context.mixes->barrier();
}

void run_mix(thread_context& context, const mix& test, std::ostream& out, test_result& result,
             step_schedule* schedule, load_meeting& meeting)
{
    const mix_pass* const shared = context.mixes;
    const mix_place place{context.thread_number, context.all_threads,
                          shared != nullptr ? shared->newest(test) : nullptr};
    start_figures(test, result);
    mix_thread thread(test, place);
    if (test.load) {
        const clock::time_point start = clock::now();
        thread.load(*context.client);
        meeting.arrive();
        std::ostream* const notes = shared != nullptr ? shared->notes() : &out;
        if (place.thread == 0 && notes != nullptr) {
            const double took = std::chrono::duration<double>(clock::now() - start).count();
            *notes << ("loaded " + std::to_string(test.keys) + " keys of " + sizes_text(test) +
                       " in " + fixed_text(took, 2) + " s\n")
                   << std::flush;
        }
    }
    if (context.settings.threads != 1) {
        thread.run(*context.client, nullptr, result, schedule);
        return;
    }
    out.flush();
    // The library's usual look, as for every kind.
    boost::timer::progress_display progress(static_cast<unsigned long>(progress_ticks(test)), out,
                                            "\n", "", "");
    thread.run(*context.client, &progress, result, schedule);
}

}  // namespace bench
