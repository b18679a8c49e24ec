#include <bench/interrupt.hpp>

#include <csignal>
#include <cstring>

#include <signal.h>

namespace bench {

namespace detail {
std::atomic<int> interrupt_signal{0};
std::atomic<int> signals_received{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch a lock-free atomic");
}  // namespace detail

namespace {

// Async-signal-safe only: atomic operations, and on a second signal the
// default action restored and the signal raised again. The signal is blocked
// while the handler runs, so it takes effect (ending the process) as soon as
// the handler returns.
extern "C" void on_stop_signal(int signal) {
    if (detail::signals_received.fetch_add(1) != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    int none = 0;
    detail::interrupt_signal.compare_exchange_strong(none, signal);
}

}  // namespace

void install_interrupt_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
}

void request_interrupt(int signal) noexcept {
    int none = 0;
    detail::interrupt_signal.compare_exchange_strong(none, signal);
}

const char* signal_name(int signal) noexcept {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "signal";
    }
}

}  // namespace bench
