// libc++ hides std::set_unexpected from C++17 on unless asked for it; this
// must come before the first standard header.
#ifndef _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#define _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#endif

#include <bench/driver.hpp>

#include <bench/cluster/cluster.hpp>
#include <bench/cluster/relay.hpp>
#include <bench/cluster/wire.hpp>
#include <bench/command_line.hpp>
#include <bench/error_log.hpp>
#include <bench/host_info.hpp>
#include <bench/interrupt.hpp>
#include <bench/pass_barrier.hpp>
#include <bench/report/result_writer.hpp>
#include <bench/result_record.hpp>
#include <bench/runner.hpp>
#include <bench/settings.hpp>
#include <bench/test_spec.hpp>
#include <bench/thread_context.hpp>
#include <bench/workload/mix_kind.hpp>

#include <nox/log/logger.hpp>

#include <boost/format.hpp>
#include <boost/lockfree/queue.hpp>

#include <algorithm>
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
#include <sstream>
#include <streambuf>
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

// Drops whatever is written to it. It holds no state, so one serves every
// thread; each thread that writes to it makes a stream of its own over it
// (a stream's formatting state is not safe to share).
class discard_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};
discard_buffer discarded;

// What every pass works with. The settings and the tests are the main
// thread's, lent read-only to every thread.
struct run_context {
    const run_settings& settings;
    const std::vector<test_spec>& tests;
    std::ostream& out;
    std::ostream& err;
    run_facts facts;
    // Where the workers' runners write; nothing when null.
    std::ostream* worker_out = &out;
    std::ostream* worker_err = &err;
    // The ranks of a run that an MPI launcher started; null in a run of
    // this process alone.
    cluster* ranks = nullptr;
    std::uint32_t first_thread = 0;  // this rank's first thread number
    std::uint32_t all_threads = 0;   // threads of every rank
};

// What the threads of one multi-thread pass share besides the queue.
struct pass_state {
    // Results that will never be pushed because their worker failed, was
    // never started or was stopped; the writer stops waiting for them.
    std::atomic<std::uint64_t> missing{0};
    std::atomic<bool> report_failed{false};
    // Where the times of the results count from: the start of the pass, or
    // in a run over several ranks the moment this rank's threads left their
    // first meeting (set before they leave it).
    std::chrono::steady_clock::time_point origin;
    // What the threads share in mix tests.
    const mix_pass* mixes = nullptr;
};

// Ends a run that got as far as its pass: the aggregates and the JSON report,
// then the exit status. An error comes first (1), then a stop by a signal
// (128 + its number, as a shell reports a process ended by it; this rank's
// first, then another rank's), then, with --strict, failed tests (3, after a
// line that counts them).
int finish_run(const run_context& run, result_writer& writer, const error_log& errors,
               bool failed, int remote_signal = 0) {
    std::vector<std::string> messages = errors.messages();
    const int signal = interrupt_signal() != 0 ? interrupt_signal() : remote_signal;
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
    } catch (const interrupted_error&) {
        // Stopped while its client connected: a stop like any other.
    } catch (const std::exception& error) {
        errors.report(error.what());
    }
    const bool failed = !writer.close_report();
    return finish_run(run, writer, errors, failed);
}

// When the threads of a pass meet, so that they start a test together: with
// --lockstep before every test; in a run over several ranks before the first
// one too (the start of the pass, once every thread has its client), the
// barrier then spanning every rank. Besides, they meet after the load of
// each mix test that loads (the runner holds those meetings).
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

void run_worker(const run_context& run, std::uint32_t thread_number, pass_state& state,
                error_log& errors, const meeting_plan& meetings) {
    std::ostream silent(&discarded);
    std::ostream& out = run.worker_out ? *run.worker_out : silent;
    std::ostream& err = run.worker_err ? *run.worker_err : silent;
    std::uint64_t pushed = 0;
    try {
        thread_context context(run.settings, thread_number);
        if (run.ranks) context.all_threads = run.all_threads;
        context.mixes = state.mixes;
        for (std::size_t i = 0; i < run.tests.size(); ++i) {
            if (meetings.before(i)) meetings.barrier->arrive_and_wait();
            if (interrupt_requested()) break;
            auto record = std::make_unique<result_record>(
                make_record(run_test(context, run.tests[i], out, err), i, state.origin));
            queue_wait wait;
            while (!result_queue.push(record.get())) wait();
            record.release();  // the writer owns it now
            ++pushed;
        }
    } catch (const interrupted_error&) {
        // Stopped while its client connected: a stop like any other.
    } catch (const std::exception& error) {
        errors.report(error.what());
    }
    // Whatever ended this thread's pass, the others no longer wait for it.
    if (meetings.barrier) meetings.barrier->leave();
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

// The writer thread: reports the results of this process's workers. In a
// run over several ranks the relay takes them instead (rank 0 reports them,
// the others send them on) and the thread goes on until the relay is done
// with every rank. `writer` is null on a rank that does not report.
void run_writer(result_writer* writer, std::uint64_t expected, pass_state& state,
                error_log& errors, rank_relay* relay) {
    // Everything that arrives is taken off the queue and freed, even when
    // reporting it fails, so that no worker is left waiting on a full queue.
    std::uint64_t handled = 0;
    queue_wait wait;
    for (;;) {
        const bool rank_done = handled + state.missing.load() >= expected;
        if (rank_done && (relay == nullptr || relay->finished())) break;
        bool busy = false;
        result_record* popped = nullptr;
        if (!rank_done && result_queue.pop(popped)) {
            const std::unique_ptr<result_record> record(popped);
            ++handled;
            busy = true;
            try {
                if (relay != nullptr) {
                    relay->take(std::move(*record));
                } else {
                    writer->take(*record);
                }
            } catch (const std::exception& error) {
                errors.report(error.what());
            }
        }
        if (relay != nullptr) {
            try {
                if (relay->turn(rank_done)) busy = true;
            } catch (const std::exception& error) {
                errors.report(error.what());
            }
        }
        if (busy) {
            wait.reset();
        } else {
            wait();
        }
    }
    if (writer != nullptr && !writer->close_report()) state.report_failed = true;
#ifdef KVBENCH_REPORT_WRITER_CPU
    report_writer_cpu();
#endif
}

int run_multi_thread(const run_context& run) {
    const auto thread_count = static_cast<std::uint32_t>(run.settings.threads);
    cluster* const ranks = run.ranks;
    if (ranks == nullptr) {
        run.out << "running " << run.tests.size() << " test(s) in " << thread_count
                << " thread..." << std::endl;
    } else {
        run.out << "running " << run.tests.size() << " test(s) in " << run.all_threads
                << " threads on " << ranks->size()
                << (ranks->size() == 1 ? " rank..." : " ranks...") << std::endl;
    }

    // The writer thread uses the result writer until it is joined. Of the
    // ranks of a run, rank 0 alone reports.
    std::optional<result_writer> writer;
    if (ranks == nullptr || ranks->rank() == 0)
        writer.emplace(run.settings, run.tests, run.facts, run.out, run.err);
    error_log errors(run.err, ranks ? "rank " + std::to_string(ranks->rank()) + ": " : "");
    pass_state state;
    pass_barrier barrier(thread_count, ranks != nullptr);
    const bool lockstep = run.settings.lockstep;
    const bool meet_before = lockstep || ranks != nullptr;
    const std::size_t loads = mix_loads(run.tests);
    const meeting_plan meetings{meet_before || loads > 0 ? &barrier : nullptr, meet_before,
                                lockstep, loads};
    const mix_pass mixes(run.tests, loads > 0 ? &barrier : nullptr, &run.out);
    state.mixes = &mixes;
    std::optional<rank_relay> relay;
    if (ranks != nullptr) {
        relay.emplace(*ranks, writer ? &*writer : nullptr, errors, barrier,
                      meetings.count(run.tests.size()), state.origin, run.err);
    }
    const std::uint64_t expected = static_cast<std::uint64_t>(thread_count) * run.tests.size();
    std::thread writer_thread(run_writer, writer ? &*writer : nullptr, expected, std::ref(state),
                              std::ref(errors), relay ? &*relay : nullptr);

    const auto start = std::chrono::steady_clock::now();
    state.origin = start;
    std::deque<std::thread> workers;
    std::optional<std::string> start_failure;
    try {
        for (std::uint32_t number = 0; number < thread_count; ++number) {
            workers.emplace_back(run_worker, std::cref(run), run.first_thread + number,
                                 std::ref(state), std::ref(errors), std::cref(meetings));
        }
    } catch (const std::exception& error) {
        // The workers that did start run to their end; neither they nor the
        // writer must wait for those that did not. Another rank's error must
        // reach rank 0 before the rank says it is done.
        start_failure = error.what();
        if (ranks) errors.report(*start_failure);
        const auto not_started = thread_count - static_cast<std::uint32_t>(workers.size());
        for (std::uint32_t i = 0; i < not_started; ++i) barrier.leave();
        state.missing += static_cast<std::uint64_t>(not_started) * run.tests.size();
    }
    for (std::thread& worker : workers) worker.join();
    auto end = std::chrono::steady_clock::now();
    writer_thread.join();
    // Over several ranks the pass ends when every rank's results are in.
    if (ranks) end = std::chrono::steady_clock::now();
    // Rank 0 decides the exit status of every rank.
    if (!writer) return 0;
    const int remote_signal = relay ? relay->remote_signal() : 0;

    if (start_failure) {
        if (!ranks) errors.report(*start_failure);
        return finish_run(run, *writer, errors, state.report_failed, remote_signal);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    run.out << std::endl;
    const double milliseconds = static_cast<double>(elapsed.count()) / 1000000.0;
    // A stopped run did not do everything: its closing line says so, with
    // the time it ran.
    run.out << (interrupt_requested() || remote_signal != 0 ? "Interrupted! Total elapsed time: "
                                                            : "All done! Total elapsed time: ")
            << milliseconds << " ms" << std::endl;
    return finish_run(run, *writer, errors, state.report_failed, remote_signal);
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

// One rank of a run that an MPI launcher started. Every rank parses its own
// command line (so that ranks of an MPMD launch can reach different stores)
// and runs its pass on its own threads; rank 0 alone reads the suite, prints
// and writes the reports, and every rank ends with rank 0's exit status. The
// other ranks print nothing but their own command-line errors, help and
// version.
int run_as_rank(cluster& ranks, int argc, char* argv[], std::ostream& out, std::ostream& err) {
    const bool root = ranks.rank() == 0;
    std::ostream silent(&discarded);
    std::ostream& rank_out = root ? out : silent;
    std::ostream& rank_err = root ? err : silent;

    std::ostringstream own_output, own_errors;
    const command_line_outcome command_line =
        parse_arguments(argc, argv, root ? out : own_output, root ? err : own_errors,
                        root ? file_checks::all : file_checks::none);
    if (!root) {
        // The help or the version this rank was asked for: without it, a
        // launch that ends because of it would end with no word. The help
        // that follows a command-line error is left out, as rank 0's says
        // the same.
        if (!command_line.settings && command_line.exit_status == 0)
            out << own_output.str() << std::flush;
        std::istringstream lines(own_errors.str());
        for (std::string line; std::getline(lines, line);)
            err << ("rank " + std::to_string(ranks.rank()) + ": " + line + "\n");
        err.flush();
    }
    // A command line that ends the run on any rank ends it on all of them:
    // with status 1 when any was wrong, else 0 (the help).
    const int outcome = ranks.agree(command_line.settings ? -1 : command_line.exit_status);
    if (outcome >= 0) return ranks.end(outcome);
    run_settings settings = *command_line.settings;

    wire::run_plan plan;
    if (root) {
        out << "loading test file: " << settings.test_file << "..." << std::endl;
        try {
            plan.tests = load_test_suite(settings.test_file);
        } catch (const std::exception& error) {
            plan.error = error.what();
            if (plan.error.empty()) plan.error = "cannot load the test file";
        }
        plan.lockstep = settings.lockstep;
    }
    {
        wire::writer message;
        wire::put(message, plan);
        const std::string shared = ranks.broadcast(message.take());
        wire::reader in(shared);
        plan = wire::get_plan(in);
        in.finish();
    }
    if (!plan.error.empty()) {
        rank_err << ("Error in benchmark: " + plan.error + "\n") << std::flush;
        return ranks.end(1);
    }
    // Whether threads meet before every test is the run's choice, so rank 0's.
    settings.lockstep = plan.lockstep;

    // Every rank's machine, threads and store, for rank 0's console and
    // JSON report. Thread numbers go on from those of the ranks before.
    run_facts facts{std::vector<std::string>(argv, argv + argc), std::chrono::system_clock::now(),
                    {}};
    {
        wire::writer message;
        wire::put(message, rank_facts{ranks.rank(), read_host_facts(), settings.threads,
                                      endpoint_text(settings.daemon)});
        for (const std::string& bytes : ranks.gather(message.take())) {
            wire::reader in(bytes);
            facts.ranks.push_back(wire::get_rank_facts(in));
            in.finish();
        }
    }
    const auto first_thread =
        static_cast<std::uint32_t>(ranks.sum_before(static_cast<std::uint64_t>(settings.threads)));
    std::uint32_t all_threads = 0;
    std::vector<std::string> daemons;
    for (const rank_facts& rank : facts.ranks) {
        all_threads += static_cast<std::uint32_t>(rank.threads);
        if (std::find(daemons.begin(), daemons.end(), rank.daemon) == daemons.end()) {
            daemons.push_back(rank.daemon);
            rank_out << "connecting to " << rank.daemon << std::endl;
        }
    }
    // The facts reach rank 0 alone; the other ranks learn the run's thread
    // count from it (a mix test's load and key choice are split by it).
    {
        wire::writer message;
        message.u32(all_threads);
        const std::string shared = ranks.broadcast(message.take());
        wire::reader in(shared);
        all_threads = in.u32();
        in.finish();
    }

    install_interrupt_handlers();
    run_context run{settings, plan.tests, rank_out, rank_err, std::move(facts)};
    // The runners draw no progress display: results of other ranks come in
    // meanwhile. Rank 0's threads print their failures as in any run.
    run.worker_out = nullptr;
    run.worker_err = root ? &err : nullptr;
    run.ranks = &ranks;
    run.first_thread = first_thread;
    run.all_threads = all_threads;
    return ranks.end(run_multi_thread(run));
}

}  // namespace

int run_benchmark(int argc, char* argv[]) {
    install_handlers();
    std::setlocale(LC_ALL, "en_US.UTF-8");

    // The standard streams are named here only; everything below writes to
    // the streams it is given.
    std::ostream& out = std::cout;
    std::ostream& err = std::cerr;
    // Before any thread starts: the MPI library, when an MPI launcher started
    // this process. A rank that leaves with an error below, without the
    // ranks' last step, ends every rank of the run.
    std::unique_ptr<cluster> ranks;
    std::string source;
    try {
        ranks = join_cluster();
        if (ranks->launched()) {
            source = "rank " + std::to_string(ranks->rank()) + ": ";
            return run_as_rank(*ranks, argc, argv, out, err);
        }

        const command_line_outcome command_line = parse_arguments(argc, argv, out, err);
        if (!command_line.settings) return command_line.exit_status;
        const run_settings& settings = *command_line.settings;

        out << "loading test file: " << settings.test_file << "..." << std::endl;
        const std::vector<test_spec> tests = load_test_suite(settings.test_file);

        out << "connecting to " << endpoint_text(settings.daemon) << std::endl;

        install_interrupt_handlers();
        const run_context run{settings, tests, out, err,
                              run_facts{std::vector<std::string>(argv, argv + argc),
                                        std::chrono::system_clock::now(), {}}};
        if (settings.threads == 1) return run_single_thread(run);
        return run_multi_thread(run);
    } catch (const std::exception& error) {
        err << ("Error in benchmark: " + source + error.what() + "\n") << std::flush;
        return 1;
    }
}

}  // namespace bench
