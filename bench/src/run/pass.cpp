#include <bench/run/pass.hpp>

#include <bench/cluster/relay.hpp>
#include <bench/interrupt.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/result_record.hpp>
#include <bench/run/result_queue.hpp>
#include <bench/run/silent_stream.hpp>
#include <bench/run/writer_thread.hpp>
#include <bench/runner.hpp>
#include <bench/status/status_line.hpp>
#include <bench/thread_context.hpp>
#include <bench/workload/mix_kind.hpp>

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

namespace {

// When the threads of a pass meet, so that they start a test together: with
// --lockstep before every test; in a run over several ranks before the first
// one too (the start of the pass, once every thread has its client), the
// barrier then spanning every rank. Besides, they meet after the load of
// each mix test that loads (the runner holds those meetings). A thread that
// runs the pass alone meets no other.
struct meeting_plan {
    pass_barrier* barrier = nullptr;  // null when the threads never meet
    bool before_first = false;
    bool before_others = false;
    std::size_t after_loads = 0;

    bool before(std::size_t test) const {
        return barrier != nullptr && (test == 0 ? before_first : before_others);
    }
    // How many times the threads meet in a pass of `tests` tests.
    std::size_t count(std::size_t tests) const {
        if (barrier == nullptr || tests == 0) return 0;
        return (before_first ? 1 : 0) + (before_others ? tests - 1 : 0) + after_loads;
    }
};

// What the threads of a pass share. The settings and the tests are the main
// thread's, lent read-only to every thread.
struct crew {
    const run_setup& setup;
    std::ostream* runner_out;  // where the runners write; nowhere when null
    std::ostream* runner_err;
    const meeting_plan& meetings;
    const mix_pass* mixes;     // null for a thread that runs the pass alone
    // Where the times of the results count from: the start of the pass, or
    // in a run over several ranks the moment this rank's threads left their
    // first meeting (set before they leave it).
    const std::chrono::steady_clock::time_point& origin;
    error_log& errors;
    // Where each result goes: the writer thread's queue, or, when there is
    // no writer thread, the relay at once.
    result_queue* queue;
    rank_relay& relay;
    expected_results& expected;
    status_board* status;      // the workers' slots of the status line; null without one
};

// One thread's part of the pass: its context (and so its client), then every
// test in suite order.
void run_thread(const crew& pass, std::uint32_t thread_number) {
    silent_stream silent_out, silent_err;
    std::ostream& out = pass.runner_out ? *pass.runner_out : silent_out;
    std::ostream& err = pass.runner_err ? *pass.runner_err : silent_err;
    const std::vector<test_spec>& tests = pass.setup.tests;
    std::uint64_t delivered = 0;
    live_slot* const live =
        pass.status ? &pass.status->slot(thread_number - pass.setup.first_thread) : nullptr;
    try {
        thread_context context(pass.setup.settings, thread_number);
        context.all_threads = pass.setup.all_threads;
        context.mixes = pass.mixes;
        context.live = live;
        context.origin = &pass.origin;
        for (std::size_t i = 0; i < tests.size(); ++i) {
            if (pass.meetings.before(i)) pass.meetings.barrier->arrive_and_wait();
            if (interrupt_requested()) break;
            if (live) live->test.store(static_cast<std::uint32_t>(i + 1));
            test_result result = run_test(context, tests[i], out, err);
            if (live) pass.status->finished(*live, result.success);
            if (pass.queue) {
                pass.queue->push(std::make_unique<result_record>(
                    make_record(std::move(result), i, pass.origin)));
            } else {
                result_record record = make_record(std::move(result), i, pass.origin);
                pass.relay.take(record);
            }
            ++delivered;
        }
    } catch (const interrupted_error&) {
        // Stopped while its client connected: a stop like any other.
    } catch (const std::exception& error) {
        pass.errors.report(error.what());
    }
    if (live) live->test.store(0);
    // Whatever ended this thread's part, the others no longer wait for it.
    if (pass.meetings.barrier) pass.meetings.barrier->leave();
    pass.expected.missing += tests.size() - delivered;
}

// Whether a mix test of the suite runs for a time.
bool has_timed_mix(const std::vector<test_spec>& tests) {
    for (const test_spec& test : tests) {
        const mix* timed = boost::get<mix>(&test);
        if (timed != nullptr && timed->duration > 0) return true;
    }
    return false;
}

}  // namespace

bool runs_in_calling_thread(const run_settings& settings, const cluster& ranks) noexcept {
    return settings.threads == 1 && !ranks.launched();
}

pass_end run_pass(const run_setup& setup, cluster& ranks, const pass_output& output) {
    const std::vector<test_spec>& tests = setup.tests;
    const bool alone = runs_in_calling_thread(setup.settings, ranks);
    // Over the ranks of a launch, the threads of every rank meet together.
    const bool spanning = ranks.launched();
    const auto thread_count = static_cast<std::uint32_t>(setup.settings.threads);

    pass_barrier barrier(thread_count, spanning);
    const bool lockstep = setup.settings.lockstep;
    const bool meet_before = lockstep || spanning;
    const std::size_t loads = mix_loads(tests);
    const meeting_plan meetings{!alone && (meet_before || loads > 0) ? &barrier : nullptr,
                                meet_before, lockstep, loads};
    std::optional<mix_pass> mixes;
    if (!alone) mixes.emplace(tests, loads > 0 ? &barrier : nullptr, &output.out);
    std::chrono::steady_clock::time_point origin;
    rank_relay relay(ranks, output.results, output.errors, barrier,
                     spanning ? meetings.count(tests.size()) : 0, origin, output.err);
    expected_results expected;
    expected.expected = static_cast<std::uint64_t>(thread_count) * tests.size();
    std::optional<result_queue> queue;
    if (!alone) queue.emplace();
    // The status line, on a terminal only, in a pass of this process alone:
    // over several threads, or over one with a mix test that runs for a
    // time while the console is not on a terminal (a thread that runs the
    // pass alone draws its progress display there, which the line would
    // cut into).
    std::optional<status_board> status;
    if (!spanning && ::isatty(STDERR_FILENO) == 1 &&
        (!alone || (has_timed_mix(tests) && ::isatty(STDOUT_FILENO) != 1)))
        status.emplace(thread_count);
    // The runners of several ranks draw no progress display: results of
    // other ranks come in meanwhile. Rank 0's print their failures as in any
    // run.
    const crew pass{setup,
                    spanning ? nullptr : &output.out,
                    ranks.rank() == 0 ? &output.err : nullptr,
                    meetings,
                    mixes ? &*mixes : nullptr,
                    origin,
                    output.errors,
                    queue ? &*queue : nullptr,
                    relay,
                    expected,
                    status ? &*status : nullptr};

    std::optional<std::thread> writer;
    if (!alone)
        writer.emplace(run_writer, std::ref(*queue), std::ref(relay), std::ref(expected),
                       std::ref(output.errors));
    const auto start = std::chrono::steady_clock::now();
    origin = start;
    std::optional<std::string> start_failure;
    std::optional<status_line> live_line;
    if (status) {
        std::vector<std::string> kinds;
        for (const test_spec& test : tests)
            kinds.emplace_back(kind_names[static_cast<std::size_t>(test.which())]);
        try {
            live_line.emplace(*status, std::move(kinds), start);
        } catch (const std::exception&) {
            // No thread for it: the pass runs without its status line.
        }
    }
    if (alone) {
        run_thread(pass, setup.first_thread);
    } else {
        std::deque<std::thread> workers;
        try {
            for (std::uint32_t number = 0; number < thread_count; ++number)
                workers.emplace_back(run_thread, std::cref(pass), setup.first_thread + number);
        } catch (const std::exception& error) {
            // The workers that did start run to their end; neither they nor
            // the writer must wait for those that did not. Another rank's
            // error must reach rank 0 before the rank says it is done.
            start_failure = error.what();
            if (spanning) output.errors.report(*start_failure);
            const auto not_started = thread_count - static_cast<std::uint32_t>(workers.size());
            for (std::uint32_t i = 0; i < not_started; ++i) barrier.leave();
            expected.missing += static_cast<std::uint64_t>(not_started) * tests.size();
        }
        for (std::thread& worker : workers) worker.join();
    }
    auto end = std::chrono::steady_clock::now();
    live_line.reset();
    if (writer) writer->join();
    // Over several ranks the pass ends when every rank's results are in.
    if (spanning) end = std::chrono::steady_clock::now();

    pass_end ending;
    ending.remote_signal = relay.remote_signal();
    if (output.results) ending.reports_closed = output.results->close();
    if (start_failure) {
        if (!spanning) output.errors.report(*start_failure);
    } else if (!alone) {
        ending.elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    }
    return ending;
}

}  // namespace bench
