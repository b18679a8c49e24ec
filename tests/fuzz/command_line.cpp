// The command-line parser on an argument vector made of the input's
// NUL-separated pieces. Whatever the arguments, it ends: with the settings of
// a run (1 to 100 threads, a rate above 0 and at most 10,000,000 steps per
// second when there is one), after the help or the version (status 0, nothing
// on the error stream), or after an error (status 1, "Error: " and the help).
// The report-path check writes probe files, so the parser runs in a scratch
// directory, and inputs with a '/' (any path outside it) are left out.

#include "targets.hpp"

#include <bench/command_line.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kvfuzz {

namespace {

// A fresh scratch directory holding a suite file named suite.cfg, made on
// first use and removed when the process ends (the path is never destroyed,
// so that it outlives the handler that removes the directory).
const std::string& scratch_directory() {
    static const std::string& path = *new std::string([] {
        std::string pattern = scratch_parent() + "/kvbench-fuzz-command-line-XXXXXX";
        require(::mkdtemp(pattern.data()) != nullptr, "cannot make the scratch directory");
        std::ofstream(pattern + "/suite.cfg") << "tests\n{\n}\n";
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_directory(), ignored);
        });
        return pattern;
    }());
    return path;
}

// Works in the scratch directory while it lives; the fuzzer's own paths
// (its corpus folders) stay relative to the directory it was started in.
class in_scratch_directory {
public:
    in_scratch_directory() : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        require(previous_ >= 0 && ::chdir(scratch_directory().c_str()) == 0,
                "cannot enter the scratch directory");
    }
    ~in_scratch_directory() {
        require(::fchdir(previous_) == 0, "cannot leave the scratch directory");
        ::close(previous_);
    }
    in_scratch_directory(const in_scratch_directory&) = delete;
    in_scratch_directory& operator=(const in_scratch_directory&) = delete;

private:
    int previous_;
};

}  // namespace

int command_line(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.find('/') != std::string_view::npos) return 0;

    std::vector<std::string> arguments{"kvbench"};
    for (std::size_t at = 0; !input.empty() && at <= input.size() && arguments.size() < 64;) {
        const std::size_t end = std::min(input.find('\0', at), input.size());
        arguments.emplace_back(input.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());

    std::ostringstream out;
    std::ostringstream err;
    const bench::command_line_outcome outcome = [&] {
        const in_scratch_directory scratch;
        return bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
    }();
    if (outcome.settings) {
        require(outcome.settings->threads >= 1 && outcome.settings->threads <= 100,
                "a run with a thread count outside 1 to 100");
        const auto& rate = outcome.settings->rate;
        require(!rate || (*rate > 0 && *rate <= bench::max_rate),
                "a run with a rate outside (0, 10000000]");
    } else if (outcome.exit_status == 0) {
        require(err.str().empty(), "the help or the version with an error");
    } else {
        require(outcome.exit_status == 1, "an exit status other than 0 and 1");
        require(err.str().find("Error: ") != std::string::npos, "an exit with status 1 without an error");
        require(out.str().rfind("Allowed options:", 0) == 0, "an error without the help");
    }
    return 0;
}

}  // namespace kvfuzz
