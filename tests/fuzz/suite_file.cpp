// The suite-file loader, on a file holding the input. It may refuse the
// input only with a std::exception (the driver reports those), and a suite
// it accepts has a size and a count for each of its tests. Inputs with an
// INFO #include directive are left out: it reads other files, which would
// take the fuzzer to the machine's own files and devices.

#include "targets.hpp"

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
    if (text.find("#include") != std::string_view::npos) return 0;
    const std::string& path = scratch_file();
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    require(fd >= 0, "cannot open the scratch suite file");
    require(::write(fd, data, size) == static_cast<ssize_t>(size), "cannot write the scratch suite file");
    ::close(fd);

    try {
        for (const bench::test_spec& test : bench::load_test_suite(path)) {
            require(test.which() >= 0 &&
                        static_cast<std::size_t>(test.which()) < bench::kind_names.size(),
                    "a test of no known kind");
            static_cast<void>(bench::kind_size(test) + bench::kind_count(test));
        }
    } catch (const std::exception&) {
        // A refused suite file.
    }
    return 0;
}

}  // namespace kvfuzz
