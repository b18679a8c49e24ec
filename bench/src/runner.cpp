#include <bench/runner.hpp>

#include <bench/kinds.hpp>
#include <bench/pipeline/connection_set.hpp>
#include <bench/status/status_line.hpp>

#include <boost/timer/progress_display.hpp>

#include <chrono>
#include <cmath>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <ostream>
#include <string>

namespace bench {

namespace {

// Runs the loop of whichever kind the test holds.
class kind_executor : public boost::static_visitor<void> {
public:
    kind_executor(client& store, boost::timer::progress_display* progress, test_result& result,
                  step_schedule* schedule)
        : store_(store), progress_(progress), result_(result), schedule_(schedule)
    {
    }

    template <typename Kind>
    void operator()(const Kind& kind) const
    {
        execute(kind, store_, progress_, result_, schedule_);
    }

private:
    client& store_;
    boost::timer::progress_display* progress_;
    test_result& result_;
    step_schedule* schedule_;
};

}  // namespace

test_result run_test(thread_context& context, const test_spec& test, std::ostream& out,
                     std::ostream& err)
{
    test_result result;
    result.thread_number = context.thread_number;
    result.live = context.live;
    // A mix that loads: the threads meet after the load, this one too when
    // its test fails before.
    load_meeting meeting(load_barrier(context, test));
    // A client that follows redirections counts them from its making on:
    // the test's are the difference.
    const auto redirected = [&context]() -> std::optional<redirection_counts> {
        if (context.client) return context.client->redirections();
        if (context.connections) return context.connections->redirections();
        return std::nullopt;
    };
    const std::optional<redirection_counts> redirected_before = redirected();
    try {
        result.description = describe(test);
        result.iteration_start = std::chrono::steady_clock::now();
        if (context.settings.interval) {
            result.intervals.emplace(context.origin ? *context.origin : result.iteration_start,
                                     static_cast<std::int64_t>(
                                         std::llround(*context.settings.interval * 1e9)));
        }
        // Open loop: the test's own timetable, which starts with its first step.
        std::optional<step_schedule> schedule;
        if (context.settings.rate) {
            result.open_loop.emplace().requested_rate = *context.settings.rate;
            schedule.emplace(*context.settings.rate);
        }
        step_schedule* const pace = schedule ? &*schedule : nullptr;
        if (const mix* mix_test = boost::get<mix>(&test)) {
            run_mix(context, *mix_test, out, result, pace, meeting);
        } else if (!context.client) {
            // A pipelined run's suite holds mix tests only: its start-up says so.
            const std::string kind = kind_names[static_cast<std::size_t>(test.which())];
            throw std::logic_error("a " + kind + " test needs a client, and a pipelined thread "
                                   "has none");
        } else if (context.settings.threads != 1) {
            // Several threads share the console: no progress display.
            boost::apply_visitor(kind_executor(*context.client, nullptr, result, pace), test);
        } else {
            out.flush();
            // The library's usual look: a line end before the scale, nothing else.
            boost::timer::progress_display progress(
                static_cast<unsigned long>(kind_count(test)), out, "\n", "", "");
            boost::apply_visitor(kind_executor(*context.client, &progress, result, pace), test);
        }
        result.success = true;
    } catch (const std::exception& error) {
        if (result.intervals) result.intervals->record_failure(std::chrono::steady_clock::now());
        // The error gets a line of its own even after an unfinished progress row.
        out.flush();
        // One insertion, so that the lines of several threads do not mix;
        // piece by piece when even that line cannot be allocated.
        try {
            const console_turn turn;
            result.failure = error.what();
            err << ("\ntest failed: " + result.failure + "\n") << std::flush;
        } catch (const std::bad_alloc&) {
            err << std::endl << "test failed: " << error.what() << std::endl;
        }
    }
    if (redirected_before) result.redirections = *redirected() - *redirected_before;
    return result;
}

}  // namespace bench
