#include <bench/workload/mix_kind.hpp>

#include "mix_thread.hpp"

#include <bench/format.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/pipeline/connection_set.hpp>
#include <bench/status/status_line.hpp>
#include <bench/thread_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <locale>
#include <ostream>
#include <sstream>

namespace bench {

namespace {

using clock = std::chrono::steady_clock;

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
    return test.duration > 0 ? detail::mix_time_ticks : test.count;
}

void execute(const mix& test, client& store, boost::timer::progress_display* progress,
             test_result& result, step_schedule* schedule, const mix_place& place)
{
    start_figures(test, result);
    detail::mix_thread thread(test, place);
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
    detail::mix_thread thread(test, place);
    connection_set* const connections = context.connections.get();
    if (test.load) {
        const clock::time_point start = clock::now();
        if (connections != nullptr) {
            thread.load(*connections);
        } else {
            thread.load(*context.client);
        }
        meeting.arrive();
        std::ostream* const notes = shared != nullptr ? shared->notes() : &out;
        if (place.thread == 0 && notes != nullptr) {
            const double took = std::chrono::duration<double>(clock::now() - start).count();
            const console_turn turn;
            *notes << ("loaded " + std::to_string(test.keys) + " keys of " + sizes_text(test) +
                       " in " + fixed_text(took, 2) + " s\n")
                   << std::flush;
        }
    }
    const auto steps = [&](boost::timer::progress_display* progress) {
        if (connections != nullptr) {
            thread.run(*connections, progress, result, schedule);
        } else {
            thread.run(*context.client, progress, result, schedule);
        }
    };
    if (context.settings.threads != 1) {
        steps(nullptr);
        return;
    }
    out.flush();
    // The library's usual look, as for every kind.
    boost::timer::progress_display progress(static_cast<unsigned long>(progress_ticks(test)), out,
                                            "\n", "", "");
    steps(&progress);
}

}  // namespace bench
