#include "mix_thread.hpp"

#include <bench/interrupt.hpp>
#include <bench/workload/mix_key.hpp>
#include <bench/workload/mix_value.hpp>
#include <bench/workload/random.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace bench::detail {

clock::duration seconds(double count)
{
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(count));
}

namespace {

std::size_t index_of(operation op) { return static_cast<std::size_t>(op); }

}  // namespace

bool writes(operation op)
{
    return op == operation::put || op == operation::update ||
           op == operation::read_modify_write;
}

bool reads(operation op) { return op == operation::get || op == operation::read_modify_write; }

std::size_t to_size(std::uint64_t n)
{
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (n > static_cast<std::uint64_t>(SIZE_MAX)) {
            throw std::length_error("size too large for this system");
        }
    }
    return static_cast<std::size_t>(n);
}

std::uint64_t share_start(std::uint64_t keys, std::uint32_t t, std::uint32_t threads)
{
    const std::uint64_t q = keys / threads, r = keys % threads;
    return t * q + t * r / threads;
}

bool due_before(step_schedule* schedule, clock::time_point until)
{
    return schedule == nullptr || schedule->next_due() < until;
}

void record(operation op, bool hit, std::uint64_t bytes, const step_times& times,
            test_result& result, step_schedule* schedule)
{
    record_timed_step(result, schedule, bytes, times);
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

mix_thread::mix_thread(const mix& test, const mix_place& place)
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

void mix_thread::load(client& store)
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

void mix_thread::run(client& store, boost::timer::progress_display* progress,
                     test_result& result, step_schedule* schedule)
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

std::uint64_t mix_thread::next_version() { return write_version(place_.thread, writes_++); }

// One operation as one timed step, recorded when it counts, its read
// checked after.
step_times mix_thread::step(client& store, test_result& result, step_schedule* schedule,
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
    const step_times times = time_step(result, schedule, [&] {
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

}  // namespace bench::detail
