// libc++ hides std::set_unexpected from C++17 on unless asked for it; this
// must come before the first standard header.
#ifndef _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#define _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#endif

#include <bench/run/termination.hpp>

#include <nox/log/logger.hpp>

#include <boost/format.hpp>

#include <cstdlib>
#include <exception>

namespace bench {

namespace {

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

}  // namespace

void install_termination_handlers() {
    std::set_terminate(terminate_handler);
    // Dynamic exception specifications are gone since C++17, so this handler
    // is never called; it is still installed for completeness.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::set_unexpected(unexpected_handler);
#pragma GCC diagnostic pop
}

}  // namespace bench
