#ifndef KVTEST_PROCESS_HPP
#define KVTEST_PROCESS_HPP

// Runs a program to its end and collects what it printed.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kvtest {

struct process_result {
    int exit_status = -1;  // the exit status, or 128 + signal when killed by one
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
    bool timed_out = false;  // killed because it ran past the limit
    int signal = 0;          // the signal that ended it, 0 when it exited
};

// A signal to send to the process once `when` holds for what it has printed
// so far (checked whenever output arrives and at least every 100 ms).
struct signal_on {
    int signal;
    std::function<bool(const process_result& so_far)> when;
};

// Runs `program` with `args` in directory `cwd` (the current one when empty),
// standard input closed, and waits at most `limit`.
process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd = {},
                           std::chrono::milliseconds limit = std::chrono::milliseconds(120000));

// The same, sending each signal in turn when its condition first holds.
process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, std::chrono::milliseconds limit,
                           std::vector<signal_on> signals);

// How many times `what` occurs in `text` (overlapping occurrences count).
std::size_t count_of(const std::string& text, const std::string& what);

// Path of the kvbench executable under test.
std::string kvbench_path();

// A fresh empty directory under the system's temporary directory, removed
// with its content when the object goes away.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const noexcept { return path_; }
    // Writes a file under the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace kvtest

#endif
