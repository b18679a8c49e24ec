// libc++ hides std::set_unexpected from C++17 on unless asked for it; this
// must come before the first standard header.
#ifndef _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#define _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#endif

#include <bench/driver.hpp>

#include <bench/interrupt.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/report/result_writer.hpp>
#include <bench/result_record.hpp>
#include <bench/runner.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>

#include <nox/log/logger.hpp>

#include <boost/format.hpp>
#include <boost/lockfree/queue.hpp>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#ifdef KVBENCH_REPORT_WRITER_CPU
#include <sys/resource.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define BENCH_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BENCH_THREAD_SANITIZER 1
#endif
#endif

#ifdef BENCH_THREAD_SANITIZER
// Boost.Lockfree's fixed-size free list reads the link of a node that another
// thread may be reusing at that moment; the tagged compare-and-swap that
// follows rejects such a read, so the race is part of the algorithm
// (boostorg/lockfree issue 78). ThreadSanitizer is told to accept it there
// and nowhere else.
extern "C" const char* __tsan_default_suppressions() {
    return "race:boost::lockfree::detail::fixed_size_freelist\n";
}
#endif

namespace bench {

namespace {

// Finished results on their way from the workers to the writer. Fixed
// capacity: a push never allocates and fails while the queue is full.
boost::lockfree::queue<result_record*, boost::lockfree::capacity<128>> result_queue;

// How a thread waits on the queue: first a few yields, so that a result (or,
// for a worker, room in a full queue) that is about to come is taken at
// once; then sleeps that double from
// 16 us up to about a millisecond, so that a long wait takes no processor
// time from the workers whose steps are being timed.
class queue_wait {
public:
    void operator()() {
        if (yields_ < max_yields) {
            ++yields_;
            sched_yield();
            return;
        }
        std::this_thread::sleep_for(sleep_);
        if (sleep_ < max_sleep) sleep_ *= 2;
    }
    void reset() noexcept {
        yields_ = 0;
        sleep_ = first_sleep;
    }

private:
    static constexpr unsigned max_yields = 16;
    static constexpr std::chrono::microseconds first_sleep{16};
    static constexpr std::chrono::microseconds max_sleep{1024};

    unsigned yields_ = 0;
    std::chrono::microseconds sleep_ = first_sleep;
};

// The errors of a run, from any of its threads: each is printed at once as
// "Error in benchmark: " and its message, and kept for the JSON report.
class error_log {
public:
    explicit error_log(std::ostream& err) : err_(err) {}

    void report(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(message);
        // One insertion, so that lines of several threads do not mix.
        err_ << ("Error in benchmark: " + message + "\n") << std::flush;
    }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    std::ostream& err_;
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

// What every pass works with. The settings and the tests are the main
// thread's, lent read-only to every thread.
struct run_context {
    const run_settings& settings;
    const std::vector<test_spec>& tests;
    std::ostream& out;
    std::ostream& err;
    run_facts facts;
};

// What the threads of one multi-thread pass share besides the queue.
struct pass_state {
    // Results that will never be pushed because their worker failed, was
    // never started or was stopped; the writer stops waiting for them.
    std::atomic<std::uint64_t> missing{0};
    std::atomic<bool> report_failed{false};
};

// Ends a run that got as far as its pass: the aggregates and the JSON report,
// then the exit status. An error comes first (1), then a stop by a signal
// (128 + its number, as a shell reports a process ended by it), then, with
// --strict, failed tests (3, after a line that counts them).
int finish_run(const run_context& run, result_writer& writer, const error_log& errors,
               bool failed) {
    std::vector<std::string> messages = errors.messages();
    const int signal = interrupt_signal();
    if (!writer.finish(run_ending{signal, messages})) failed = true;
    const bool strict_failure = run.settings.strict && writer.failed() > 0;
    if (strict_failure) {
        run.err << (std::to_string(writer.failed()) + " of " + std::to_string(writer.results()) +
                    " results failed\n")
                << std::flush;
    }
    if (failed || !messages.empty()) return 1;
    if (signal != 0) return 128 + signal;
    if (strict_failure) return 3;
    return 0;
}

int run_single_thread(const run_context& run) {
    run.out << "running " << run.tests.size() << " test(s) in a single thread..." << std::endl;
    result_writer writer(run.settings, run.tests, run.facts, run.out, run.err);
    error_log errors(run.err);
    const auto run_start = std::chrono::steady_clock::now();
    try {
        thread_context context(run.settings, 0);
        for (std::size_t i = 0; i < run.tests.size(); ++i) {
            if (interrupt_requested()) break;
            writer.take(make_record(run_test(context, run.tests[i], run.out, run.err), i,
                                    run_start));
        }
    } catch (const std::exception& error) {
        errors.report(error.what());
    }
    const bool failed = !writer.close_report();
    return finish_run(run, writer, errors, failed);
}

void run_worker(const run_context& run, std::uint32_t thread_number,
                std::chrono::steady_clock::time_point run_start, pass_state& state,
                error_log& errors, pass_barrier* lockstep) {
    std::uint64_t pushed = 0;
    try {
        thread_context context(run.settings, thread_number);
        for (std::size_t i = 0; i < run.tests.size(); ++i) {
            if (lockstep) lockstep->arrive_and_wait();
            if (interrupt_requested()) break;
            auto record = std::make_unique<result_record>(
                make_record(run_test(context, run.tests[i], run.out, run.err), i, run_start));
            queue_wait wait;
            while (!result_queue.push(record.get())) wait();
            record.release();  // the writer owns it now
            ++pushed;
        }
    } catch (const std::exception& error) {
        errors.report(error.what());
    }
    // Whatever ended this thread's pass, the others no longer wait for it.
    if (lockstep) lockstep->leave();
    state.missing += run.tests.size() - pushed;
}

#ifdef KVBENCH_REPORT_WRITER_CPU
// Overhead measurements only: how much processor time the writer's waiting
// took from the workers, printed when the writer ends.
void report_writer_cpu() {
#ifdef RUSAGE_THREAD
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) != 0) return;
    const double milliseconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    std::cerr << ("writer cpu time: " + std::to_string(milliseconds) + " ms\n") << std::flush;
#endif
}
#endif

void run_writer(result_writer& writer, std::uint64_t expected, pass_state& state,
                error_log& errors) {
    // Everything that arrives is taken off the queue and freed, even when
    // reporting it fails, so that no worker is left waiting on a full queue.
    std::uint64_t handled = 0;
    queue_wait wait;
    while (handled + state.missing.load() < expected) {
        result_record* popped = nullptr;
        if (!result_queue.pop(popped)) {
            wait();
            continue;
        }
        wait.reset();
        const std::unique_ptr<result_record> record(popped);
        ++handled;
        try {
            writer.take(*record);
        } catch (const std::exception& error) {
            errors.report(error.what());
        }
    }
    if (!writer.close_report()) state.report_failed = true;
#ifdef KVBENCH_REPORT_WRITER_CPU
    report_writer_cpu();
#endif
}

int run_multi_thread(const run_context& run) {
    const auto thread_count = static_cast<std::uint32_t>(run.settings.threads);
    run.out << "running " << run.tests.size() << " test(s) in " << thread_count << " thread..."
            << std::endl;

    // The writer thread uses the result writer until it is joined.
    result_writer writer(run.settings, run.tests, run.facts, run.out, run.err);
    error_log errors(run.err);
    pass_state state;
    pass_barrier barrier(thread_count);
    pass_barrier* const lockstep = run.settings.lockstep ? &barrier : nullptr;
    const std::uint64_t expected = static_cast<std::uint64_t>(thread_count) * run.tests.size();
    std::thread writer_thread(run_writer, std::ref(writer), expected, std::ref(state),
                              std::ref(errors));

    const auto start = std::chrono::steady_clock::now();
    std::deque<std::thread> workers;
    std::optional<std::string> start_failure;
    try {
        for (std::uint32_t number = 0; number < thread_count; ++number) {
            workers.emplace_back(run_worker, std::cref(run), number, start, std::ref(state),
                                 std::ref(errors), lockstep);
        }
    } catch (const std::exception& error) {
        // The workers that did start run to their end; neither they nor the
        // writer must wait for those that did not.
        start_failure = error.what();
        const auto not_started = thread_count - static_cast<std::uint32_t>(workers.size());
        for (std::uint32_t i = 0; i < not_started; ++i) barrier.leave();
        state.missing += static_cast<std::uint64_t>(not_started) * run.tests.size();
    }
    for (std::thread& worker : workers) worker.join();
    const auto end = std::chrono::steady_clock::now();
    writer_thread.join();

    if (start_failure) {
        errors.report(*start_failure);
        return finish_run(run, writer, errors, state.report_failed);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    run.out << std::endl;
    const double milliseconds = static_cast<double>(elapsed.count()) / 1000000.0;
    // A stopped run did not do everything: its closing line says so, with
    // the time it ran.
    run.out << (interrupt_requested() ? "Interrupted! Total elapsed time: "
                                      : "All done! Total elapsed time: ")
            << milliseconds << " ms" << std::endl;
    return finish_run(run, writer, errors, state.report_failed);
}

void terminate_handler() {
    try {
        nox::log::log_message(nox::log::panic, boost::format("terminate handler called"));
    } catch (...) {
        // Nothing may leave a terminate handler; abort regardless.
    }
    nox::log::flush_logger();
    std::abort();
}

void unexpected_handler() {
    nox::log::log_message(nox::log::panic, boost::format("unexpected exception thrown"));
    nox::log::flush_logger();
    throw std::bad_exception();
}

void install_handlers() {
    std::set_terminate(terminate_handler);
    // Dynamic exception specifications are gone since C++17, so this handler
    // is never called; it is still installed for completeness.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::set_unexpected(unexpected_handler);
#pragma GCC diagnostic pop
}

}  // namespace

int run_benchmark(int argc, char* argv[]) {
    install_handlers();
    std::setlocale(LC_ALL, "en_US.UTF-8");

    // The standard streams are named here only; everything below writes to
    // the streams it is given.
    std::ostream& out = std::cout;
    std::ostream& err = std::cerr;
    try {
        const command_line_outcome command_line = parse_arguments(argc, argv, out, err);
        if (!command_line.settings) return command_line.exit_status;
        const run_settings& settings = *command_line.settings;

        out << "loading test file: " << settings.test_file << "..." << std::endl;
        const std::vector<test_spec> tests = load_test_suite(settings.test_file);

        out << "connecting to " << endpoint_text(settings.daemon) << std::endl;

        install_interrupt_handlers();
        const run_context run{settings, tests, out, err,
                              run_facts{std::vector<std::string>(argv, argv + argc),
                                        std::chrono::system_clock::now()}};
        if (settings.threads == 1) return run_single_thread(run);
        return run_multi_thread(run);
    } catch (const std::exception& error) {
        err << ("Error in benchmark: " + std::string(error.what()) + "\n") << std::flush;
        return 1;
    }
}

}  // namespace bench
