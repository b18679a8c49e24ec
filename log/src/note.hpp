#ifndef NOX_LOG_SRC_NOTE_HPP
#define NOX_LOG_SRC_NOTE_HPP

#include <nox/log/logger.hpp>

namespace nox::log::detail {

// Logs a message built from a format string and its arguments; building it
// can fail only for lack of memory, and then the message is dropped.
template <typename... Args>
void note(log_level level, const char* text, const Args&... args) noexcept {
    try {
        boost::format message(text);
        static_cast<void>((message % ... % args));
        log_message(level, message);
    } catch (...) {
    }
}

}  // namespace nox::log::detail

#endif
