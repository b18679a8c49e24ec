#ifndef BENCH_TEST_SPEC_HPP
#define BENCH_TEST_SPEC_HPP

#include <bench/workload/mix.hpp>

#include <boost/variant.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace bench {

// The five test kinds; each carries the test's payload size in bytes and its
// iteration (or entry) count.
struct single_put_multiple_get { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_remain { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_get_delete { std::uint64_t size = 0; std::uint64_t count = 0; };
struct multiple_put_get_update_delete { std::uint64_t size = 0; std::uint64_t count = 0; };

// One test of a suite; which() is the kind's index, 0 to 5, in this order.
// The sixth, mix (bench/workload/mix.hpp), has fields of its own.
using test_spec = boost::variant<single_put_multiple_get, multiple_put, multiple_put_remain,
                                 multiple_put_get_delete, multiple_put_get_update_delete, mix>;

// The kinds' names as written in a suite file, by index.
constexpr std::array<const char*, 6> kind_names = {
    "single_put_multiple_get", "multiple_put", "multiple_put_remain",
    "multiple_put_get_delete", "multiple_put_get_update_delete", "mix"};
constexpr std::size_t mix_kind_index = 5;

// The payload size: for a mix, its largest value.
inline std::uint64_t kind_size(const test_spec& test) {
    return boost::apply_visitor(
        [](const auto& kind) -> std::uint64_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(kind)>, mix>) {
                return kind.size();
            } else {
                return kind.size;
            }
        },
        test);
}
// The iteration count: for a mix, its steps per thread, 0 when it runs for
// a duration.
inline std::uint64_t kind_count(const test_spec& test) {
    return boost::apply_visitor([](const auto& kind) -> std::uint64_t { return kind.count; },
                                test);
}

// The test of kind index `kind` with a size and a count, for the five kinds
// that are made of these two (beyond index 4, index 4). A mix has more
// fields and is built field by field.
test_spec make_test_spec(std::size_t kind, std::uint64_t size, std::uint64_t count);

// Reads an INFO suite file; the tests in file order. Throws on any error.
std::vector<test_spec> load_test_suite(const std::string& path);

}  // namespace bench

#endif
