#include <bench/test_spec.hpp>

#include <boost/optional.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/stream_translator.hpp>

#include <cstddef>
#include <locale>
#include <stdexcept>

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

test_spec make_spec(std::size_t kind, std::uint64_t size, std::uint64_t count) {
    switch (kind) {
    case 0: return single_put_multiple_get{size, count};
    case 1: return multiple_put{size, count};
    case 2: return multiple_put_remain{size, count};
    case 3: return multiple_put_get_delete{size, count};
    default: return multiple_put_get_update_delete{size, count};
    }
}

std::size_t kind_index(const std::string& name) {
    for (std::size_t index = 0; index < kind_names.size(); ++index) {
        if (name == kind_names[index]) return index;
    }
    throw std::runtime_error("unknown test type");
}

}  // namespace

std::vector<test_spec> load_test_suite(const std::string& path) {
    pt::ptree root;
    pt::read_info(path, root, std::locale::classic());

    const pt::ptree& tests = root.get_child("tests");
    std::vector<test_spec> suite;
    suite.reserve(tests.size());
    for (const auto& [name, test] : tests) {
        const std::size_t kind = kind_index(name);
        // "size" is looked up first, so a test missing both names "size".
        const std::uint64_t size = test.get_child("size").get_value<std::uint64_t>(
            unsigned_translator{});
        const std::uint64_t count = test.get_child("count").get_value<std::uint64_t>(
            unsigned_translator{});
        suite.push_back(make_spec(kind, size, count));
    }
    return suite;
}

}  // namespace bench
