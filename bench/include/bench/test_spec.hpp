#ifndef BENCH_TEST_SPEC_HPP
#define BENCH_TEST_SPEC_HPP

#include <boost/variant.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The five test kinds; each carries the test's payload size in bytes and its
// iteration (or entry) count.
struct single_put_multiple_get { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_remain { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_get_delete { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_get_update_delete { std::uint64_t size = 0; std::uint64_t count = 0; };

// One test of a suite; which() is the kind's index, 0 to 4, in this order.
using test_spec = boost::variant<single_put_multiple_get, multiple_put, multiple_put_remain,
                                 multiple_put_get_delete, multiple_put_get_update_delete>;

// The kinds' names as written in a suite file, by index.
constexpr std::array<const char*, 5> kind_names = {
    "single_put_multiple_get", "multiple_put", "multiple_put_remain",
    "multiple_put_get_delete", "multiple_put_get_update_delete"};

inline std::uint64_t kind_size(const test_spec& test) {
    return boost::apply_visitor([](const auto& kind) { return kind.size; }, test);
}
inline std::uint64_t kind_count(const test_spec& test) {
    return boost::apply_visitor([](const auto& kind) { return kind.count; }, test);
}

// The test of kind index `kind` (as in kind_names; beyond the last, the last).
test_spec make_test_spec(std::size_t kind, std::uint64_t size, std::uint64_t count);

// Reads an INFO suite file; the tests in file order. Throws on any error.
std::vector<test_spec> load_test_suite(const std::string& path);

}  // namespace bench

#endif
