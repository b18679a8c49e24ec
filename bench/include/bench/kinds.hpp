#ifndef BENCH_KINDS_HPP
#define BENCH_KINDS_HPP

#include <bench/client.hpp>
#include <bench/step_schedule.hpp>
#include <bench/test_result.hpp>
#include <bench/test_spec.hpp>
#include <bench/workload/mix_kind.hpp>

#include <boost/timer/progress_display.hpp>

#include <atomic>
#include <cstdint>
#include <string>

namespace bench {

// Memory for the values of the tests running in this process. A test takes
// its share, the values and read buffers it is about to make, before it makes
// them, and gives it back when it ends. A share that does not fit beside
// those of the tests running now (on other threads) is refused at once: the
// test fails with a message that says so, where making its values would grow
// the process until the system ends it.
class value_memory {
public:
    explicit value_memory(std::uint64_t total) : total_(total) {}
    value_memory(const value_memory&) = delete;
    value_memory& operator=(const value_memory&) = delete;

    // The process's own: as much as the machine's physical memory.
    static value_memory& machine();

    class share {
    public:
        share(value_memory& owner, std::uint64_t bytes) : owner_(&owner), bytes_(bytes) {}
        share(share&& other) noexcept : owner_(other.owner_), bytes_(other.bytes_) {
            other.bytes_ = 0;
        }
        share& operator=(share&&) = delete;
        ~share() { owner_->taken_.fetch_sub(bytes_, std::memory_order_relaxed); }

    private:
        value_memory* owner_;
        std::uint64_t bytes_;
    };

    // Throws std::runtime_error, "not enough memory for the test's values: "
    // and the figures, when bytes do not fit.
    share take(std::uint64_t bytes);

    std::uint64_t total() const noexcept { return total_; }

private:
    std::uint64_t total_;
    std::atomic<std::uint64_t> taken_{0};
};

// Each test kind has a description and a loop. execute() runs the loop on
// store, records one sample per timed step into result, advances progress
// (when not null) once per iteration, and throws on the first failure,
// leaving in result what the steps before it recorded. With a schedule (open
// loop) each timed step first waits for its due time and is recorded from
// it; result.open_loop must then be set. Before it makes its values each
// takes their memory from value_memory::machine(), and fails at once when
// they cannot fit.

// One entry written once and read count times.
std::string describe(const single_put_multiple_get& kind);
void execute(const single_put_multiple_get& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count entries written (in the sorted order of their keys), then removed.
std::string describe(const multiple_put& kind);
void execute(const multiple_put& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count entries written and left in the store.
std::string describe(const multiple_put_remain& kind);
void execute(const multiple_put_remain& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count times: put, get and remove of a new entry as one step.
std::string describe(const multiple_put_get_delete& kind);
void execute(const multiple_put_get_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// count times: put, get, update, get and remove of a new entry as one step.
std::string describe(const multiple_put_get_update_delete& kind);
void execute(const multiple_put_get_update_delete& kind, client& store,
             boost::timer::progress_display* progress, test_result& result,
             step_schedule* schedule = nullptr);

// The mix kind's describe() and execute() are in bench/workload/mix_kind.hpp.

// The description of whichever kind the test holds.
std::string describe(const test_spec& test);

}  // namespace bench

#endif
