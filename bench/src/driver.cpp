// libc++ hides std::set_unexpected from C++17 on unless asked for it; this
// must come before the first standard header.
#ifndef _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#define _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#endif

#include <bench/driver.hpp>

#include <bench/interrupt.hpp>
#include <bench/report.hpp>
#include <bench/runner.hpp>
#include <bench/settings.hpp>
#include <bench/test_result.hpp>
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
#include <optional>
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
boost::lockfree::queue<test_result*, boost::lockfree::capacity<128>> result_queue;

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

// What the threads of one multi-thread pass share besides the queue.
struct pass_state {
    // Results that will never be pushed because their worker failed, was
    // never started or was stopped; the writer stops waiting for them.
    std::atomic<std::uint64_t> missing{0};
    std::atomic<bool> failed{false};
};

// How many results were reported, and how many of them failed.
struct result_tally {
    std::uint64_t results = 0;
    std::uint64_t failed = 0;
};

void report_error(const std::string& message) {
    // One insertion, so that lines of several threads do not mix.
    std::cerr << ("Error in benchmark: " + message + "\n") << std::flush;
}

// Closes the report; false (after saying why on std::cerr) when it did not
// reach its file.
bool finish_report(csv_report& report) {
    report.close();
    if (report.ok()) return true;
    std::cerr << ("cannot write report file " + report.path() + ": " + report.failure_reason() +
                  "\n")
              << std::flush;
    return false;
}

void show_result(const test_result& result, csv_report* report, result_tally& tally) {
    ++tally.results;
    if (!result.success) ++tally.failed;
    std::cout << result;
    std::cout.flush();
    if (report) report->write(result);
}

// The exit status of a run that got as far as its pass. An error comes
// first, then a stop by a signal (128 + its number, as a shell reports a
// process ended by it), then, with --strict, failed tests (3).
int exit_status(const run_settings& settings, bool error, const result_tally& tally) {
    if (settings.strict && tally.failed > 0) {
        std::cerr << (std::to_string(tally.failed) + " of " + std::to_string(tally.results) +
                      " results failed\n")
                  << std::flush;
    }
    if (error) return 1;
    if (const int signal = interrupt_signal()) return 128 + signal;
    if (settings.strict && tally.failed > 0) return 3;
    return 0;
}

int run_single_thread(const run_settings& settings, const std::vector<test_spec>& tests) {
    std::cout << "running " << tests.size() << " test(s) in a single thread..." << std::endl;
    csv_report report(settings.report_file);
    result_tally tally;
    {
        thread_context context(settings, 0);
        for (const test_spec& test : tests) {
            if (interrupt_requested()) break;
            const test_result result = run_test(context, test);
            show_result(result, &report, tally);
        }
    }
    const bool error = !finish_report(report);
    return exit_status(settings, error, tally);
}

void run_worker(const run_settings& settings, const std::vector<test_spec>& tests,
                std::uint32_t thread_number, pass_state& state) {
    std::uint64_t pushed = 0;
    try {
        thread_context context(settings, thread_number);
        for (const test_spec& test : tests) {
            if (interrupt_requested()) break;
            auto result = std::make_unique<test_result>(run_test(context, test));
            queue_wait wait;
            while (!result_queue.push(result.get())) wait();
            result.release();  // the writer owns it now
            ++pushed;
        }
    } catch (const std::exception& error) {
        state.failed = true;
        report_error(error.what());
    }
    state.missing += tests.size() - pushed;
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

void run_writer(const run_settings& settings, std::size_t test_count, pass_state& state,
                result_tally& tally) {
    std::optional<csv_report> report;
    try {
        report.emplace(settings.report_file);
    } catch (const std::exception& error) {
        state.failed = true;
        report_error(error.what());
    }

    // Everything that arrives is taken off the queue and freed, even when
    // reporting it fails, so that no worker is left waiting on a full queue.
    const std::uint64_t expected = static_cast<std::uint64_t>(settings.threads) * test_count;
    std::uint64_t handled = 0;
    queue_wait wait;
    while (handled + state.missing.load() < expected) {
        test_result* popped = nullptr;
        if (!result_queue.pop(popped)) {
            wait();
            continue;
        }
        wait.reset();
        const std::unique_ptr<test_result> result(popped);
        ++handled;
        try {
            show_result(*result, report ? &*report : nullptr, tally);
        } catch (const std::exception& error) {
            state.failed = true;
            report_error(error.what());
        }
    }
    if (report && !finish_report(*report)) state.failed = true;
#ifdef KVBENCH_REPORT_WRITER_CPU
    report_writer_cpu();
#endif
}

int run_multi_thread(const run_settings& settings, const std::vector<test_spec>& tests) {
    const auto thread_count = static_cast<std::uint32_t>(settings.threads);
    std::cout << "running " << tests.size() << " test(s) in " << thread_count << " thread..."
              << std::endl;

    pass_state state;
    result_tally tally;  // the writer's until it is joined
    std::thread writer(run_writer, std::cref(settings), tests.size(), std::ref(state),
                       std::ref(tally));

    const auto start = std::chrono::steady_clock::now();
    std::deque<std::thread> workers;
    std::optional<std::string> start_failure;
    try {
        for (std::uint32_t number = 0; number < thread_count; ++number) {
            workers.emplace_back(run_worker, std::cref(settings), std::cref(tests), number,
                                 std::ref(state));
        }
    } catch (const std::exception& error) {
        // The workers that did start run to their end; the writer must not
        // wait for the results of those that did not.
        start_failure = error.what();
        state.missing += static_cast<std::uint64_t>(thread_count - workers.size()) * tests.size();
    }
    for (std::thread& worker : workers) worker.join();
    const auto end = std::chrono::steady_clock::now();
    writer.join();

    if (start_failure) {
        report_error(*start_failure);
        return exit_status(settings, true, tally);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    std::cout << std::endl;
    const double milliseconds = static_cast<double>(elapsed.count()) / 1000000.0;
    // A stopped run did not do everything: its closing line says so, with
    // the time it ran.
    std::cout << (interrupt_requested() ? "Interrupted! Total elapsed time: "
                                        : "All done! Total elapsed time: ")
              << milliseconds << " ms" << std::endl;
    return exit_status(settings, state.failed, tally);
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

    try {
        const run_settings settings = parse_command_line(argc, argv);

        std::cout << "loading test file: " << settings.test_file << "..." << std::endl;
        const std::vector<test_spec> tests = load_test_suite(settings.test_file);

        std::cout << "connecting to " << endpoint_text(settings.daemon) << std::endl;

        install_interrupt_handlers();
        if (settings.threads == 1) return run_single_thread(settings, tests);
        return run_multi_thread(settings, tests);
    } catch (const std::exception& error) {
        report_error(error.what());
        return 1;
    }
}

}  // namespace bench
