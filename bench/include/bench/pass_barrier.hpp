#ifndef BENCH_PASS_BARRIER_HPP
#define BENCH_PASS_BARRIER_HPP

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace bench {

// Where the threads of a pass meet before each test, so that they start it
// together. It knows how many threads are still in the pass: a thread that
// leaves (its client could not be built, it was stopped, or it ran its last
// test) is no longer waited for, and if the others are already waiting they
// go on. So no thread is ever left waiting for one that will not come.
//
// A gated barrier spans more than this process: a round in which every
// remaining thread has arrived waits until the thread that speaks for the
// process to the others sees it complete and opens it.
class pass_barrier {
public:
    explicit pass_barrier(std::size_t threads, bool gated = false)
        : remaining_(threads), gated_(gated) {}

    pass_barrier(const pass_barrier&) = delete;
    pass_barrier& operator=(const pass_barrier&) = delete;

    // Waits until every thread still in the pass has arrived.
    void arrive_and_wait();
    // Takes the calling thread out of the pass; it must not arrive again.
    void leave();

    // Gated only: whether every thread still in the pass has arrived in the
    // current round (also true once none is left), and letting that round go.
    bool round_complete();
    void open();

private:
    // Lets the waiting threads go once every remaining thread has arrived.
    void release_if_complete();
    // Lets the waiting threads go and starts the next round.
    void let_go();

    std::mutex mutex_;
    std::condition_variable all_arrived_;
    std::size_t remaining_;        // threads still in the pass
    const bool gated_;
    std::size_t arrived_ = 0;      // threads waiting in the current round
    std::uint64_t round_ = 0;      // counts the rounds let go
};

}  // namespace bench

#endif
