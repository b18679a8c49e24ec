#ifndef BENCH_WORKLOAD_MIX_KIND_HPP
#define BENCH_WORKLOAD_MIX_KIND_HPP

#include <bench/client.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>
#include <bench/test_spec.hpp>
#include <bench/workload/key_chooser.hpp>
#include <bench/workload/mix.hpp>

#include <boost/timer/progress_display.hpp>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bench {

class pass_barrier;
struct thread_context;

// "mix of 90 % get, 10 % update over 100000 keys of 1.0 KiB, zipfian 0.99,
// for 30 s": the weights as shares, the key space, the value sizes ("64.0 B
// to 1.0 KiB" when they vary), the distribution, then "N steps per thread"
// or "for S s", and " after S s of warm-up" when there is one.
std::string describe(const mix& test);

// The ticks of a mix test's progress display: one per counted step, or 100
// over the warm-up and the duration of a test that runs for a time.
std::uint64_t progress_ticks(const mix& test);

// Where one thread stands in a mix test: its place among every thread of the
// run (over all ranks), and the newest key that the threads of its process
// share under the latest distribution (null: one of the test's own).
struct mix_place {
    std::uint32_t thread = 0;
    std::uint32_t threads = 1;
    newest_key* newest = nullptr;
};

// Runs the mix test on this thread: its share of the load when the test
// asks for one (untimed), then the warm-up (not recorded), then the counted
// steps, each one operation timed as one step and recorded into result and
// into result.operations. The display, when not null, has progress_ticks()
// ticks. Throws on the first failure: a client call that throws (its step is
// not recorded), or a value read that is not one a mix wrote for its key,
// "content does not match" (after its step was recorded). A missing key is
// counted as a miss, not a failure.
void execute(const mix& test, client& store, boost::timer::progress_display* progress,
             test_result& result, step_schedule* schedule = nullptr, const mix_place& place = {});

// What the threads of one process share for the mix tests of a multi-thread
// pass: the newest key of each latest test, the barrier where they meet after
// a load, and where thread 0 says how long a load took.
class mix_pass {
public:
    // For the tests of `suite`, which must outlive this. `barrier` is null
    // when the threads never meet (no test loads), `notes` where the load
    // lines go (null: nowhere).
    mix_pass(const std::vector<test_spec>& suite, pass_barrier* barrier, std::ostream* notes);

    // The shared newest key of `test`, the mix held by an element of the
    // suite; null for a test of another distribution or of another suite.
    newest_key* newest(const mix& test) const noexcept;
    pass_barrier* barrier() const noexcept { return barrier_; }
    std::ostream* notes() const noexcept { return notes_; }

private:
    std::vector<std::pair<const mix*, std::unique_ptr<newest_key>>> newest_;
    pass_barrier* barrier_;
    std::ostream* notes_;
};

// How many tests of the suite are mixes that load: the meetings after a load
// that each thread of a multi-thread pass arrives at.
std::size_t mix_loads(const std::vector<test_spec>& suite);

// The meeting of the threads of a pass after a mix test's load. Each thread
// arrives exactly once per such test: when its load is done, when its load
// failed, and, at the latest, when this goes out of scope (its test failed
// before the load ended), so that no thread waits for one that will not
// come. Without a barrier, arriving does nothing.
class load_meeting {
public:
    explicit load_meeting(pass_barrier* barrier) noexcept : barrier_(barrier) {}
    ~load_meeting();
    load_meeting(const load_meeting&) = delete;
    load_meeting& operator=(const load_meeting&) = delete;

    // Waits for the other threads the first time; later calls do nothing.
    void arrive();

private:
    pass_barrier* barrier_;
};

// The barrier where the context's threads meet after the test's load; null
// when the test is no mix that loads or the thread meets no other.
pass_barrier* load_barrier(const thread_context& context, const test_spec& test) noexcept;

// Runs a mix test on the context's thread, as run_test does for every kind:
// the load, the meeting, and thread 0's line on the load ("loaded 100000
// keys of 1.0 KiB in 2.31 s"), then, in a single-thread run, the progress
// display on out, then the steps (execute above).
void run_mix(thread_context& context, const mix& test, std::ostream& out, test_result& result,
             step_schedule* schedule, load_meeting& meeting);

}  // namespace bench

#endif
