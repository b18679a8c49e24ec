#include <bench/workload/mix_suite.hpp>

#include <bench/format.hpp>
#include <bench/workload/mix_key.hpp>
#include <bench/workload/random.hpp>

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <locale>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <unistd.h>

namespace bench {

namespace {

namespace pt = boost::property_tree;

// Every field a mix test has.
constexpr std::array<std::string_view, 19> field_names = {
    "keys",     "size",         "size_min", "size_max",  "get",
    "put",      "update",       "remove",   "read_modify_write",
    "distribution", "zipf_exponent", "hot_keys", "hot_share",
    "count",    "duration",     "warmup",   "load",      "seed", "key_prefix"};

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The fields of one mix test's node, looked up by name, with errors that say
// where the test is.
class field_reader {
public:
    field_reader(const pt::ptree& node, std::size_t position, const std::string& file)
        : node_(node), where_(" (test " + std::to_string(position) + " in " + file + ")")
    {
        for (const auto& [name, child] : node) {
            if (std::find(field_names.begin(), field_names.end(), name) == field_names.end()) {
                fail(name, "no such field");
            }
            if (node.count(name) > 1) fail(name, "given more than once");
        }
    }

    [[noreturn]] void fail(const std::string& field, const std::string& problem) const
    {
        fail_fields("mix field \"" + field + "\"", problem);
    }
    [[noreturn]] void fail_fields(const std::string& fields, const std::string& problem) const
    {
        throw std::runtime_error(fields + ": " + problem + where_);
    }

    // The field's text as the file gives it; none when absent.
    std::optional<std::string> text(const char* field) const
    {
        const auto found = node_.find(field);
        if (found == node_.not_found()) return std::nullopt;
        if (!found->second.empty()) fail(field, "must be a value, not a block");
        return found->second.data();
    }

    std::optional<std::uint64_t> whole(const char* field) const
    {
        const std::optional<std::string> given = text(field);
        if (!given) return std::nullopt;
        const std::string_view digits = trimmed(*given);
        std::uint64_t value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        // from_chars takes no sign, so "-1" is refused too.
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            fail(field, quoted(*given) + " is not an unsigned 64-bit integer");
        }
        return value;
    }

    // A finite decimal number in the classic locale ("2.5", "1e-3").
    std::optional<double> decimal(const char* field) const
    {
        const std::optional<std::string> given = text(field);
        if (!given) return std::nullopt;
        std::istringstream in{std::string(trimmed(*given))};
        in.imbue(std::locale::classic());
        double value = 0;
        in >> value;
        if (in.fail() || !in.eof() || !std::isfinite(value)) {
            fail(field, quoted(*given) + " is not a decimal number");
        }
        return value;
    }

    static std::string quoted(const std::string& text) { return "\"" + text + "\""; }

private:
    const pt::ptree& node_;
    std::string where_;
};

// A seed for a test that names none: from the system's random source where
// there is one, else from the time and the process.
std::uint64_t drawn_seed()
{
    try {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (const std::exception&) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return mix64(static_cast<std::uint64_t>(now) ^
                     (static_cast<std::uint64_t>(::getpid()) << 40));
    }
}

void read_sizes(const field_reader& fields, mix& test)
{
    const auto size = fields.whole("size");
    auto size_min = fields.whole("size_min");
    auto size_max = fields.whole("size_max");
    if (size && (size_min || size_max)) {
        fields.fail("size", "give size, or size_min and size_max, not both");
    }
    if (size) {
        size_min = size_max = size;
    } else if (!size_min && !size_max) {
        fields.fail("size", "missing (or size_min and size_max)");
    } else if (!size_min) {
        fields.fail("size_min", "missing (size_max is given)");
    } else if (!size_max) {
        fields.fail("size_max", "missing (size_min is given)");
    }
    if (*size_min < mix_value_min_size) {
        fields.fail(size ? "size" : "size_min",
                    std::to_string(*size_min) + " is below " +
                        std::to_string(mix_value_min_size) +
                        ", the smallest value a mix writes");
    }
    if (*size_min > *size_max) {
        fields.fail("size_min", std::to_string(*size_min) + " is above size_max, " +
                                    std::to_string(*size_max));
    }
    test.size_min = *size_min;
    test.size_max = *size_max;
}

void read_weights(const field_reader& fields, mix& test)
{
    bool any = false;
    for (std::size_t i = 0; i < operation_count; ++i) {
        const std::uint64_t weight = fields.whole(operation_names[i]).value_or(0);
        if (weight > std::numeric_limits<std::uint32_t>::max()) {
            fields.fail(operation_names[i], std::to_string(weight) + " is above 4294967295");
        }
        test.weights[i] = static_cast<std::uint32_t>(weight);
        any = any || weight > 0;
    }
    if (!any) {
        fields.fail_fields("mix fields get, put, update, remove and read_modify_write",
                           "at least one weight must be above 0");
    }
}

void read_distribution(const field_reader& fields, mix& test)
{
    if (const auto name = fields.text("distribution")) {
        const std::string_view given = trimmed(*name);
        const auto found = std::find(distribution_names.begin(), distribution_names.end(), given);
        if (found == distribution_names.end()) {
            fields.fail("distribution",
                        field_reader::quoted(*name) +
                            " is none of uniform, zipfian, sequential, latest, hotspot");
        }
        test.distribution =
            static_cast<key_distribution>(found - distribution_names.begin());
    }
    if (const auto exponent = fields.decimal("zipf_exponent")) {
        if (!(*exponent >= 0 && *exponent < 1)) {
            fields.fail("zipf_exponent",
                        number_text(*exponent) + " is not at least 0 and below 1");
        }
        test.zipf_exponent = *exponent;
    }
    for (const auto& [name, value] : {std::pair{"hot_keys", &test.hot_keys},
                                      std::pair{"hot_share", &test.hot_share}}) {
        if (const auto fraction = fields.decimal(name)) {
            if (!(*fraction >= 0 && *fraction <= 1)) {
                fields.fail(name, number_text(*fraction) + " is not from 0 to 1");
            }
            *value = *fraction;
        }
    }
}

void read_length(const field_reader& fields, mix& test)
{
    const auto count = fields.whole("count");
    const auto duration = fields.decimal("duration");
    if (count && duration) fields.fail_fields("mix fields \"count\" and \"duration\"",
                                              "give one of them, not both");
    if (!count && !duration) fields.fail("count", "missing (or duration)");
    const std::string most = std::to_string(static_cast<std::uint64_t>(mix_max_seconds));
    if (duration) {
        if (!(*duration > 0 && *duration <= mix_max_seconds)) {
            fields.fail("duration", number_text(*duration) + " is not above 0 and at most " +
                                        most + " seconds");
        }
        test.duration = *duration;
    } else {
        test.count = *count;
    }
    if (const auto warmup = fields.decimal("warmup")) {
        if (!(*warmup >= 0 && *warmup <= mix_max_seconds)) {
            fields.fail("warmup",
                        number_text(*warmup) + " is not from 0 to " + most + " seconds");
        }
        test.warmup = *warmup;
    }
}

}  // namespace

mix read_mix_test(const pt::ptree& node, std::size_t position, const std::string& file)
{
    const field_reader fields(node, position, file);
    mix test;
    const auto keys = fields.whole("keys");
    if (!keys) fields.fail("keys", "missing");
    if (*keys == 0) fields.fail("keys", "must be above 0");
    test.keys = *keys;
    read_sizes(fields, test);
    read_weights(fields, test);
    read_distribution(fields, test);
    read_length(fields, test);
    if (const auto load = fields.text("load")) {
        const std::string_view given = trimmed(*load);
        if (given != "0" && given != "1") {
            fields.fail("load", field_reader::quoted(*load) + " is neither 0 nor 1");
        }
        test.load = given == "1";
    }
    test.seed = fields.whole("seed");
    if (!test.seed) test.seed = drawn_seed();
    const auto prefix = fields.text("key_prefix");
    test.key_prefix = prefix ? *prefix : default_key_prefix();
    return test;
}

}  // namespace bench
