#ifndef KVTEST_SUITE_REFERENCE_HPP
#define KVTEST_SUITE_REFERENCE_HPP

// A suite file as the INFO format's own reader takes it: the whole tree built
// by Boost.PropertyTree, then the tests looked up in it. The suite loader
// reads the format with its own loop; this is what it must agree with.

#include <bench/test_spec.hpp>
#include <bench/workload/mix_suite.hpp>

#include <boost/optional.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/stream_translator.hpp>

#include <cstdint>
#include <exception>
#include <fstream>
#include <locale>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {

// The tests of a suite file, or the message of the error it is refused with.
struct suite_reading {
    std::vector<bench::test_spec> tests;
    std::string error;  // empty when the suite was read
};

namespace detail {

// Unsigned numbers without a minus sign, as the loader takes them.
struct unsigned_translator {
    using internal_type = std::string;
    using external_type = std::uint64_t;
    boost::optional<external_type> get_value(const internal_type& text) const {
        if (text.find('-') != std::string::npos) return boost::none;
        return boost::property_tree::stream_translator<char, std::char_traits<char>,
                                                       std::allocator<char>, external_type>(
                   std::locale::classic())
            .get_value(text);
    }
};

}  // namespace detail

// The reading of the property tree: the INFO reader's tree, the first "tests"
// node, each child's kind by its name, its first "size" and "count".
inline suite_reading reference_reading(const std::string& path) {
    namespace pt = boost::property_tree;
    suite_reading reading;
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) throw pt::info_parser_error("cannot open file for reading", path, 0);
        file.imbue(std::locale::classic());
        pt::ptree root;
        pt::info_parser::read_info_internal(file, root, path, 0);
        for (const auto& [name, test] : root.get_child("tests")) {
            std::size_t kind = 0;
            while (kind < bench::kind_names.size() && name != bench::kind_names[kind]) ++kind;
            if (kind == bench::kind_names.size()) throw std::runtime_error("unknown test type");
            if (kind == bench::mix_kind_index) {
                reading.tests.push_back(bench::read_mix_test(test, reading.tests.size() + 1, path));
                continue;
            }
            const auto size = test.get_child("size").get_value<std::uint64_t>(
                detail::unsigned_translator{});
            const auto count = test.get_child("count").get_value<std::uint64_t>(
                detail::unsigned_translator{});
            reading.tests.push_back(bench::make_test_spec(kind, size, count));
        }
    } catch (const std::exception& error) {
        reading.tests.clear();
        reading.error = error.what();
    }
    return reading;
}

// The same reading by the suite loader.
inline suite_reading loader_reading(const std::string& path) {
    suite_reading reading;
    try {
        reading.tests = bench::load_test_suite(path);
    } catch (const std::exception& error) {
        reading.error = error.what();
    }
    return reading;
}

}  // namespace kvtest

#endif
