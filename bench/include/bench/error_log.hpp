#ifndef BENCH_ERROR_LOG_HPP
#define BENCH_ERROR_LOG_HPP

#include <cstddef>
#include <iosfwd>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The errors of a run, from any of its threads: each is printed at once as
// "Error in benchmark: " and its message, and kept for the JSON report. In a
// run over several ranks every message names its rank ("rank 2: ...").
class error_log {
public:
    // `source` goes before every message that report() is given.
    explicit error_log(std::ostream& err, std::string source = {})
        : err_(err), source_(std::move(source)) {}

    void report(const std::string& message) { record(source_ + message); }
    // A message that already names where it comes from.
    void record(const std::string& message);

    std::vector<std::string> messages() const { return messages_since(0); }
    // The messages from the first-th on, in the order they were recorded.
    std::vector<std::string> messages_since(std::size_t first) const;

private:
    std::ostream& err_;
    const std::string source_;
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace bench

#endif
