#include <bench/error_log.hpp>

#include <ostream>

namespace bench {

void error_log::record(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
    // One insertion, so that lines of several threads do not mix.
    err_ << ("Error in benchmark: " + message + "\n") << std::flush;
}

std::vector<std::string> error_log::messages_since(std::size_t first) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= messages_.size()) return {};
    return {messages_.begin() + static_cast<std::ptrdiff_t>(first), messages_.end()};
}

}  // namespace bench
