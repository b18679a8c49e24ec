#include <bench/test_spec.hpp>

#include <bench/workload/mix_suite.hpp>

#include <boost/optional.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/stream_translator.hpp>

#include <cstddef>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>

namespace bench {

namespace {

namespace pt = boost::property_tree;

// The stream conversion to an unsigned type accepts "-1" and wraps it around
// to the largest value; a count or size written with a minus sign is an error
// like any other text that is not an unsigned number.
struct unsigned_translator {
    using internal_type = std::string;
    using external_type = std::uint64_t;

    boost::optional<external_type> get_value(const internal_type& text) const {
        if (text.find('-') != std::string::npos) return boost::none;
        return pt::stream_translator<char, std::char_traits<char>, std::allocator<char>,
                                     external_type>(std::locale::classic())
            .get_value(text);
    }
};

std::size_t kind_index(const std::string& name) {
    for (std::size_t index = 0; index < kind_names.size(); ++index) {
        if (name == kind_names[index]) return index;
    }
    throw std::runtime_error("unknown test type");
}

// A suite file is a few lines per test; anything longer than this is not
// one, and reading it whole could take all the memory (/dev/zero, say).
constexpr std::streamsize max_suite_bytes = 16 << 20;

// The whole text of a suite file, or of a file it includes. Throws the INFO
// reader's own error when it cannot be opened, and one naming the limit when
// it is longer than a suite file can be.
std::string read_suite_text(const std::string& path, const std::string& failure) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw pt::info_parser_error(failure, path, 0);
    std::string text;
    char piece[65536];
    while (file.read(piece, sizeof piece) || file.gcount() > 0) {
        text.append(piece, static_cast<std::size_t>(file.gcount()));
        if (static_cast<std::streamsize>(text.size()) > max_suite_bytes)
            throw pt::info_parser_error("larger than a suite file can be (16 MiB)", path, 0);
    }
    if (file.bad()) throw pt::info_parser_error("read error", path, 0);
    return text;
}

// The INFO reader opens the files that a suite includes by itself, and reads
// each whole: an include of a device or a pipe would never end. So every
// include is looked at first, the same way the reader finds it: it must be a
// regular file of a suite file's size, and so must be the files it includes.
// Lines the reader would refuse are left for it to report.
void check_includes(const std::string& text, const std::string& path, int depth) {
    namespace info = pt::info_parser;
    constexpr int max_depth = 100;  // the reader's own limit
    if (depth > max_depth) return;
    std::istringstream lines(text);
    unsigned long line_number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++line_number;
        const char* at = line.c_str();
        info::skip_whitespace(at);
        if (*at != '#') continue;
        ++at;
        if (info::read_word(at) != "include") continue;
        std::string name;
        try {
            name = info::read_string(at, nullptr);
        } catch (const pt::info_parser_error&) {
            continue;
        }
        struct stat status {};
        if (::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            throw pt::info_parser_error("cannot open include file " + name, path, line_number);
        check_includes(read_suite_text(name, "cannot open include file " + name), name,
                       depth + 1);
    }
}

}  // namespace

test_spec make_test_spec(std::size_t kind, std::uint64_t size, std::uint64_t count) {
    switch (kind) {
    case 0: return single_put_multiple_get{size, count};
    case 1: return multiple_put{size, count};
    case 2: return multiple_put_remain{size, count};
    case 3: return multiple_put_get_delete{size, count};
    default: return multiple_put_get_update_delete{size, count};
    }
}

std::vector<test_spec> load_test_suite(const std::string& path) {
    const std::string text = read_suite_text(path, "cannot open file for reading");
    check_includes(text, path, 1);
    pt::ptree root;
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    pt::info_parser::read_info_internal(stream, root, path, 0);

    const pt::ptree& tests = root.get_child("tests");
    std::vector<test_spec> suite;
    suite.reserve(tests.size());
    for (const auto& [name, test] : tests) {
        const std::size_t kind = kind_index(name);
        if (kind == mix_kind_index) {
            suite.push_back(read_mix_test(test, suite.size() + 1, path));
            continue;
        }
        // "size" is looked up first, so a test missing both names "size".
        const std::uint64_t size = test.get_child("size").get_value<std::uint64_t>(
            unsigned_translator{});
        const std::uint64_t count = test.get_child("count").get_value<std::uint64_t>(
            unsigned_translator{});
        suite.push_back(make_test_spec(kind, size, count));
    }
    return suite;
}

}  // namespace bench
