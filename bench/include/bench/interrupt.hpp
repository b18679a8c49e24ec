#ifndef BENCH_INTERRUPT_HPP
#define BENCH_INTERRUPT_HPP

#include <atomic>
#include <stdexcept>

namespace bench {

// A run stops cleanly on SIGINT or SIGTERM: the handler only records the
// signal, and the threads look at it between steps and before each test.
// A second signal ends the process at once.

namespace detail {
// The signal that stopped the run, 0 until then. Lock-free, so that the
// handler may set it.
extern std::atomic<int> interrupt_signal;
// How many stop signals this process received itself.
extern std::atomic<int> signals_received;
}  // namespace detail

// Installs the handlers for SIGINT and SIGTERM. Interrupted system calls are
// restarted, so a store call in progress finishes (or reaches its client's
// time limit) before the thread sees the request.
void install_interrupt_handlers();

// Records a stop request as the handler does (the first one is kept), for a
// stop that another process of the run received: it does not count as a
// signal received here, so a signal that follows is still the first.
void request_interrupt(int signal) noexcept;

// The signal that asked the run to stop, 0 when none did.
inline int interrupt_signal() noexcept {
    return detail::interrupt_signal.load(std::memory_order_relaxed);
}

// True once a stop was requested. Costs one relaxed load: the test kinds
// ask it before every timed step.
inline bool interrupt_requested() noexcept { return interrupt_signal() != 0; }

// "SIGINT" or "SIGTERM"; "signal" for any other number.
const char* signal_name(int signal) noexcept;

// What a test in progress ends with when the run is stopped.
class interrupted_error : public std::runtime_error {
public:
    interrupted_error() : std::runtime_error("interrupted") {}
};

}  // namespace bench

#endif
