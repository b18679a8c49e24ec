#ifndef BENCH_DETAIL_WAIT_HPP
#define BENCH_DETAIL_WAIT_HPP

#include <algorithm>
#include <chrono>
#include <thread>

#include <sched.h>

// The two ways kvbench waits for something that is not its own to do.
namespace bench::detail {

// A wait for another thread or process, one call at a time between looks at
// what is awaited: first `yields` yields of the processor, so that what is
// about to come is taken at once, then sleeps that double from 16 us up to
// about a millisecond, so that a long wait takes no processor time from the
// threads whose steps are being timed. It never spins. reset() after
// progress starts again with the yields.
class backoff {
public:
    explicit backoff(unsigned yields = 16) noexcept : max_yields_(yields) {}

    void operator()() {
        if (yields_ < max_yields_) {
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
    static constexpr std::chrono::microseconds first_sleep{16};
    static constexpr std::chrono::microseconds max_sleep{1024};

    const unsigned max_yields_;
    unsigned yields_ = 0;
    std::chrono::microseconds sleep_ = first_sleep;
};

// The next wait of a loop that polls until a deadline of the steady clock:
// what is left of the time, in whole milliseconds rounded up (as poll() and
// the store libraries take it), at most `most`; 0 once the deadline has
// passed.
inline std::chrono::milliseconds milliseconds_left(std::chrono::steady_clock::time_point deadline,
                                                   std::chrono::milliseconds most) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return std::chrono::milliseconds::zero();
    return std::min(left, most);
}

}  // namespace bench::detail

#endif
