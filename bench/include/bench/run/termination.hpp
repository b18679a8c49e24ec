#ifndef BENCH_RUN_TERMINATION_HPP
#define BENCH_RUN_TERMINATION_HPP

namespace bench {

// Installs the process-wide handlers of std::terminate ("terminate handler
// called" to the logger at level panic, then abort) and of an unexpected
// exception ("unexpected exception thrown", then std::bad_exception). The
// logger is never started, so their messages are dropped.
void install_termination_handlers();

}  // namespace bench

#endif
