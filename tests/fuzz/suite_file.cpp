// The suite-file loader, on a file holding the input. It may refuse the
// input only with a std::exception (the driver reports those), and it reads
// the INFO format as the format's own reader does: the same tests from a
// suite it accepts, and a suite it refuses refused there too, its message
// beginning with that reader's. Inputs that could hold an INFO #include
// directive ("#", blanks, "include") are left out: it reads other files,
// which would take the fuzzer to the machine's own files and devices.

#include "targets.hpp"

#include "../support/suite_reference.hpp"

#include <bench/test_spec.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace kvfuzz {

namespace {

// One scratch file for the process, rewritten for every input and removed
// when the process ends (the path is never destroyed, so that it outlives the
// handler that removes the file).
const std::string& scratch_file() {
    static const std::string& path = *new std::string([] {
        std::string pattern = scratch_parent() + "/kvbench-fuzz-suite-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        require(fd >= 0, "cannot make the scratch suite file");
        ::close(fd);
        std::atexit([] { ::unlink(scratch_file().c_str()); });
        return pattern;
    }());
    return path;
}

}  // namespace

int suite_file(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find("include") != std::string_view::npos) return 0;
    const std::string& path = scratch_file();
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    require(fd >= 0, "cannot open the scratch suite file");
    require(::write(fd, data, size) == static_cast<ssize_t>(size), "cannot write the scratch suite file");
    ::close(fd);

    const kvtest::suite_reading read = kvtest::loader_reading(path);
    const kvtest::suite_reading expected = kvtest::reference_reading(path);
    require(read.error.empty() == expected.error.empty(),
            "the loader and the INFO reader disagree on whether the suite is good");
    require(read.error.compare(0, expected.error.size(), expected.error) == 0,
            "the loader's message does not begin with the INFO reader's");
    require(read.tests.size() == expected.tests.size(), "another number of tests");
    for (std::size_t i = 0; i < read.tests.size(); ++i) {
        const bench::test_spec& test = read.tests[i];
        const bench::test_spec& other = expected.tests[i];
        require(test.which() >= 0 &&
                    static_cast<std::size_t>(test.which()) < bench::kind_names.size(),
                "a test of no known kind");
        require(test.which() == other.which() && bench::kind_size(test) == bench::kind_size(other) &&
                    bench::kind_count(test) == bench::kind_count(other),
                "a test read otherwise");
    }
    return 0;
}

}  // namespace kvfuzz
