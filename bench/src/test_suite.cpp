#include <bench/test_spec.hpp>

#include "info_reader.hpp"

#include <bench/workload/mix_suite.hpp>

#include <boost/optional.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/stream_translator.hpp>

#include <cstddef>
#include <cstdint>
#include <locale>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bench {

namespace {

namespace pt = boost::property_tree;

// The stream conversion to an unsigned type accepts "-1" and wraps it around
// to the largest value; a count or size written with a minus sign is an error
// like any other text that is not an unsigned number.
std::optional<std::uint64_t> unsigned_value(const std::string& text) {
    if (text.find('-') != std::string::npos) return std::nullopt;
    const boost::optional<std::uint64_t> value =
        pt::stream_translator<char, std::char_traits<char>, std::allocator<char>, std::uint64_t>(
            std::locale::classic())
            .get_value(text);
    if (!value) return std::nullopt;
    return *value;
}

constexpr int unknown_kind = -1;

int kind_index(const std::string& name) {
    for (std::size_t index = 0; index < kind_names.size(); ++index) {
        if (name == kind_names[index]) return static_cast<int>(index);
    }
    return unknown_kind;
}

// Where a node of the tree sits, as far as a suite is concerned: the root,
// the first "tests" node under it, a test, the first "size" or "count" of a
// test, a field of a mix test, or anywhere else (read for its syntax, then
// forgotten). The index of a test and of its size, count and fields is the
// test's place.
enum class role : std::uint8_t {
    other = detail::info_node::forgotten,
    root,
    tests,
    test,
    size,
    count,
    mix_field,
};

detail::info_node node(role as, std::size_t test) {
    return {static_cast<std::uint8_t>(as), test};
}

role role_of(detail::info_node at) { return static_cast<role>(at.tag); }

// What a test of the suite holds until the whole suite has been read: a test
// node may get its size and count after later tests were made (an include
// between a test's name and its brace), and an error in the syntax anywhere
// comes before any error of a test, as it did when the reader built a tree.
struct test_entry {
    enum class value : std::uint8_t { missing, bad, good };

    std::uint32_t file = 0;      // index into the names of the files read
    unsigned long line = 0;      // where the test's name stands
    int kind = unknown_kind;
    value size_state = value::missing;
    value count_state = value::missing;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
};

// Keeps what a suite needs of the INFO tree, a few dozen bytes a test, and
// makes the suite of it once the whole file has been read.
class suite_reader final : public detail::info_handler {
public:
    explicit suite_reader(std::string path) : top_path_(std::move(path)) {}

    std::vector<test_spec> read() {
        detail::info_reader reader(*this);
        reader.read(top_path_, node(role::root, 0));
        return make_suite(reader.file_names());
    }

private:
    detail::info_node add_child(detail::info_node parent, const std::string& key,
                                std::uint32_t file, unsigned long line) override;
    void set_value(detail::info_node of, const std::string& text) override;
    std::vector<test_spec> make_suite(const std::vector<std::string>& file_names) const;
    std::string place(std::size_t test, const std::vector<std::string>& file_names) const;

    std::string top_path_;
    bool found_tests_ = false;
    std::vector<test_entry> tests_;
    std::string first_unknown_name_;  // the name of the first test of no known kind
    // The fields of each mix test, by its place: a mix has many, read by
    // read_mix_test once the suite is whole.
    std::unordered_map<std::size_t, pt::ptree> mix_fields_;
};

detail::info_node suite_reader::add_child(detail::info_node parent, const std::string& key,
                                          std::uint32_t file, unsigned long line) {
    switch (role_of(parent)) {
    case role::root:
        if (!found_tests_ && key == "tests") {
            found_tests_ = true;
            return node(role::tests, 0);
        }
        break;
    case role::tests: {
        // A test of no known kind fails the suite, and no test after it can
        // be the one named: those are read for their syntax only.
        if (!first_unknown_name_.empty()) break;
        test_entry entry;
        entry.file = file;
        entry.line = line;
        entry.kind = kind_index(key);
        if (entry.kind == unknown_kind && first_unknown_name_.empty()) {
            // Enough of the name to know it by.
            constexpr std::size_t shown = 64;
            first_unknown_name_ = key.size() > shown ? key.substr(0, shown) + "..." : key;
            if (first_unknown_name_.empty()) first_unknown_name_ = "\"\"";
        }
        tests_.push_back(entry);
        return node(role::test, tests_.size() - 1);
    }
    case role::test: {
        test_entry& entry = tests_[parent.index];
        if (entry.kind == static_cast<int>(mix_kind_index)) {
            mix_fields_[parent.index].push_back({key, pt::ptree()});
            return node(role::mix_field, parent.index);
        }
        // Only the first "size" and the first "count" of a test count.
        if (key == "size" && entry.size_state == test_entry::value::missing) {
            entry.size_state = test_entry::value::bad;  // no value yet
            return node(role::size, parent.index);
        }
        if (key == "count" && entry.count_state == test_entry::value::missing) {
            entry.count_state = test_entry::value::bad;
            return node(role::count, parent.index);
        }
        break;
    }
    case role::mix_field:
        // Only that the field holds a block matters to the mix reader, which
        // refuses it.
        mix_fields_[parent.index].back().second.push_back({key, pt::ptree()});
        break;
    default: break;
    }
    return node(role::other, 0);
}

void suite_reader::set_value(detail::info_node of, const std::string& text) {
    if (role_of(of) == role::mix_field) {
        // A field's value comes right after its name, before any other field.
        mix_fields_[of.index].back().second.data() = text;
        return;
    }
    if (role_of(of) != role::size && role_of(of) != role::count) return;
    test_entry& entry = tests_[of.index];
    const std::optional<std::uint64_t> number = unsigned_value(text);
    const test_entry::value state = number ? test_entry::value::good : test_entry::value::bad;
    if (role_of(of) == role::size) {
        entry.size_state = state;
        entry.size = number.value_or(0);
    } else {
        entry.count_state = state;
        entry.count = number.value_or(0);
    }
}

// " (test 3 in suite.cfg, line 12)": the test's place in the suite, the
// file that holds it and the line of its name.
std::string suite_reader::place(std::size_t test,
                                const std::vector<std::string>& file_names) const {
    const test_entry& entry = tests_[test];
    return " (test " + std::to_string(test + 1) + " in " + file_names[entry.file] + ", line " +
           std::to_string(entry.line) + ")";
}

// The tests in file order, or the error of the first test that is wrong:
// its kind, then its size, then its count.
std::vector<test_spec> suite_reader::make_suite(
    const std::vector<std::string>& file_names) const {
    if (!found_tests_) throw std::runtime_error("No such node (tests) in " + top_path_);
    std::vector<test_spec> suite;
    suite.reserve(tests_.size());
    for (std::size_t i = 0; i < tests_.size(); ++i) {
        const test_entry& entry = tests_[i];
        if (entry.kind == unknown_kind)
            throw std::runtime_error("unknown test type: " + first_unknown_name_ + place(i, file_names));
        if (entry.kind == static_cast<int>(mix_kind_index)) {
            const auto fields = mix_fields_.find(i);
            suite.push_back(read_mix_test(fields == mix_fields_.end() ? pt::ptree() : fields->second,
                                          i + 1, file_names[entry.file]));
            continue;
        }
        const std::string kind = kind_names[static_cast<std::size_t>(entry.kind)];
        const std::pair<const char*, test_entry::value> values[] = {{"size", entry.size_state},
                                                                    {"count", entry.count_state}};
        for (const auto& [name, state] : values) {
            if (state == test_entry::value::missing)
                throw std::runtime_error(std::string("No such node (") + name + ") in " + kind +
                                         place(i, file_names));
            // The property tree's own words for a value of the wrong form.
            if (state == test_entry::value::bad)
                throw pt::ptree_bad_data(std::string("conversion of data to type \"") +
                                             typeid(std::uint64_t).name() + "\" failed for the " +
                                             name + " of " + kind + place(i, file_names),
                                         std::string(name));
        }
        suite.push_back(make_test_spec(static_cast<std::size_t>(entry.kind), entry.size,
                                       entry.count));
    }
    return suite;
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
    return suite_reader(path).read();
}

}  // namespace bench
