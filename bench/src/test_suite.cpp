#include <bench/test_spec.hpp>

#include <bench/workload/mix_suite.hpp>

#include <boost/optional.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/stream_translator.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <locale>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

namespace pt = boost::property_tree;
namespace info = pt::info_parser;

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

// A suite file is a few lines per test; a suite longer than this, its
// includes counted in, is not one, and reading it could take all the memory.
constexpr std::size_t max_suite_bytes = 16 << 20;
// Past this depth the INFO format's own reader gives up, and so does this one.
constexpr int max_include_depth = 100;

// What a kind of file is called in a message.
const char* file_type_name(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    ~file_descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Which file a path names, so that a file that includes itself is known.
struct file_identity {
    dev_t device;
    ino_t inode;
    bool operator==(const file_identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

// Where a node of the tree sits, as far as a suite is concerned: the root,
// the first "tests" node under it, a test, the first "size" or "count" of a
// test, a field of a mix test, or anywhere else (read for its syntax, then
// forgotten).
enum class role : std::uint8_t { root, tests, test, size, count, mix_field, other };

struct node {
    enum role role;
    std::size_t test;  // for a test and its size and count: the test's place
};

// The open braces of one file, innermost last, on top of the node the file
// was included into. Below a node that is forgotten every node is, so those
// are only counted.
class nesting {
public:
    explicit nesting(node bottom) : named_{bottom} {}

    node top() const { return others_ > 0 ? node{role::other, 0} : named_.back(); }
    void push(node opened) {
        if (others_ > 0 || opened.role == role::other)
            ++others_;
        else
            named_.push_back(opened);
    }
    void pop() {
        if (others_ > 0)
            --others_;
        else
            named_.pop_back();
    }
    // The node the file was included into is the only one left.
    bool at_bottom() const { return others_ == 0 && named_.size() == 1; }

private:
    std::vector<node> named_;
    std::uint64_t others_ = 0;
};

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

// Reads a suite in the INFO format, files it includes and all, with the INFO
// reader's own grammar (its functions read the keys, values and strings of a
// line) and its messages, line numbers included. Where the library's reader
// builds the whole tree, this one keeps only what a suite needs, a few dozen
// bytes a test, and it opens each include itself: only regular files, and a
// file that is already being read is refused where it is included again.
class suite_reader {
public:
    explicit suite_reader(std::string path) : top_path_(std::move(path)) {}

    std::vector<test_spec> read() {
        read_file(top_path_, node{role::root, 0}, 0, nullptr, 0);
        return make_suite();
    }

private:
    // A data value that goes on over further lines ("text" \), kept until it
    // is whole.
    struct pending_value {
        std::optional<node> of;
        std::string text;
    };

    std::string read_text(const std::string& path, const std::string* including,
                          unsigned long line);
    void read_file(const std::string& path, node parent, int depth, const std::string* including,
                   unsigned long including_line);
    void read_lines(const std::string& text, const std::string& path, std::uint32_t file,
                    node parent, int depth);
    node add_child(node parent, const std::string& key, std::uint32_t file, unsigned long line);
    void set_value(pending_value& value);
    std::uint32_t file_index(const std::string& path);
    std::vector<test_spec> make_suite() const;
    std::string place(std::size_t test) const;

    std::string top_path_;
    std::size_t bytes_read_ = 0;
    std::vector<file_identity> reading_;  // the file being read and those that include it
    std::vector<std::string> file_names_;
    std::unordered_map<std::string, std::uint32_t> file_indexes_;
    bool found_tests_ = false;
    std::vector<test_entry> tests_;
    std::string first_unknown_name_;  // the name of the first test of no known kind
    // The fields of each mix test, by its place: a mix has many, read by
    // read_mix_test once the suite is whole.
    std::unordered_map<std::size_t, pt::ptree> mix_fields_;
};

// The whole text of a file, which must be a regular file: a pipe, a device or
// a directory is refused before it is read, without waiting for a writer.
std::string suite_reader::read_text(const std::string& path, const std::string* including,
                                    unsigned long line) {
    const auto refuse = [&](const std::string& cause) {
        if (including == nullptr)
            return info::info_parser_error("cannot open file for reading" + cause, path, 0);
        return info::info_parser_error("cannot open include file " + path + cause, *including,
                                       line);
    };
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw refuse(std::string(": ") + file_type_name(status.st_mode));
    // Not blocking in open: the path may have become a pipe since.
    const file_descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) throw refuse("");
    if (::fstat(file.get(), &status) != 0) throw refuse("");
    if (!S_ISREG(status.st_mode)) throw refuse(std::string(": ") + file_type_name(status.st_mode));

    const file_identity identity{status.st_dev, status.st_ino};
    for (const file_identity& open : reading_) {
        if (open == identity)
            throw info::info_parser_error(
                "include depth too large, probably recursive include: " + path +
                    " is already being read",
                *including, line);
    }

    // An include that takes the suite past the limit is named where it stands.
    const auto too_long = [&] {
        if (including == nullptr)
            return info::info_parser_error("larger than a suite file can be (16 MiB)", path, 0);
        return info::info_parser_error(
            "larger than a suite file can be (16 MiB) with the files it includes", *including,
            line);
    };
    const std::size_t room = max_suite_bytes - bytes_read_;
    if (static_cast<std::uintmax_t>(status.st_size) > room) throw too_long();
    // A byte more than the file holds: its end is then seen without growing
    // the text, which would copy it.
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t have = 0;
    for (;;) {
        // A file that grew since fstat is read on to its end, within the room.
        if (have == text.size()) {
            if (text.size() > room) throw too_long();
            text.resize(text.size() + 65536);
        }
        const ssize_t got = ::read(file.get(), &text[have], text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw info::info_parser_error("read error", path, 0);
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    text.resize(have);
    if (have > room) throw too_long();
    bytes_read_ += have;
    reading_.push_back(identity);
    return text;
}

std::uint32_t suite_reader::file_index(const std::string& path) {
    const auto [at, added] =
        file_indexes_.emplace(path, static_cast<std::uint32_t>(file_names_.size()));
    if (added) file_names_.push_back(path);
    return at->second;
}

void suite_reader::read_file(const std::string& path, node parent, int depth,
                             const std::string* including, unsigned long including_line) {
    const std::string text = read_text(path, including, including_line);
    read_lines(text, path, file_index(path), parent, depth);
    reading_.pop_back();
}

// The INFO reader's loop: line by line, a directive or keys, values and
// braces, with the same states, the same checks in the same order, and the
// same line numbers in its errors.
void suite_reader::read_lines(const std::string& text, const std::string& path,
                              std::uint32_t file, node parent, int depth) {
    enum state_t { s_key, s_data, s_data_cont };
    state_t state = s_key;
    std::optional<node> last;  // the node made last, as long as a brace may open it
    pending_value value;
    nesting stack(parent);
    unsigned long line_no = 0;
    std::string line;
    std::size_t next = 0;
    bool more = true;
    try {
        while (more) {
            ++line_no;
            const std::size_t end = text.find('\n', next);
            if (end == std::string::npos) {
                line.assign(text, next, std::string::npos);
                more = false;
            } else {
                line.assign(text, next, end - next);
                next = end + 1;
            }
            const char* at = line.c_str();

            info::skip_whitespace(at);
            if (*at == '#') {
                ++at;
                if (info::read_word(at) != "include")
                    throw info::info_parser_error("unknown directive", path, line_no);
                if (depth > max_include_depth)
                    throw info::info_parser_error(
                        "include depth too large, probably recursive include", path, line_no);
                const std::string name = info::read_string(at, nullptr);
                read_file(name, stack.top(), depth + 1, &path, line_no);
                info::skip_whitespace(at);
                if (*at != '\0')
                    throw info::info_parser_error("expected end of line", path, line_no);
                continue;
            }

            for (;;) {
                info::skip_whitespace(at);
                if (*at == '\0' || *at == ';') {
                    if (state == s_data) state = s_key;
                    break;
                }
                switch (state) {
                case s_key:
                    if (*at == '{') {
                        if (!last) throw info::info_parser_error("unexpected {", "", 0);
                        stack.push(*last);
                        last.reset();
                        ++at;
                    } else if (*at == '}') {
                        if (stack.at_bottom())
                            throw info::info_parser_error("unmatched }", "", 0);
                        stack.pop();
                        last.reset();
                        ++at;
                    } else {
                        const std::string key = info::read_key(at);
                        last = add_child(stack.top(), key, file, line_no);
                        state = s_data;
                    }
                    break;
                case s_data:
                    if (*at == '{') {
                        stack.push(*last);
                        last.reset();
                        ++at;
                        state = s_key;
                    } else if (*at == '}') {
                        if (stack.at_bottom())
                            throw info::info_parser_error("unmatched }", "", 0);
                        stack.pop();
                        last.reset();
                        ++at;
                        state = s_key;
                    } else {
                        bool need_more_lines = false;
                        std::string data = info::read_data(at, &need_more_lines);
                        value.of = last;
                        value.text = std::move(data);
                        if (need_more_lines)
                            state = s_data_cont;
                        else {
                            set_value(value);
                            state = s_key;
                        }
                    }
                    break;
                case s_data_cont:
                    if (*at != '"')
                        throw info::info_parser_error("expected \" after \\ in previous line", "",
                                                      0);
                    {
                        bool need_more_lines = false;
                        value.text += info::read_string(at, &need_more_lines);
                        if (!need_more_lines) {
                            set_value(value);
                            state = s_key;
                        }
                    }
                    break;
                }
            }
        }
        // A value still waiting for its next line at the end is what it is.
        set_value(value);
        if (!stack.at_bottom()) throw info::info_parser_error("unmatched {", "", 0);
    } catch (const info::info_parser_error& error) {
        if (error.line() == 0) throw info::info_parser_error(error.message(), path, line_no);
        throw;
    }
}

node suite_reader::add_child(node parent, const std::string& key, std::uint32_t file,
                             unsigned long line) {
    switch (parent.role) {
    case role::root:
        if (!found_tests_ && key == "tests") {
            found_tests_ = true;
            return {role::tests, 0};
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
        return {role::test, tests_.size() - 1};
    }
    case role::test: {
        test_entry& entry = tests_[parent.test];
        if (entry.kind == static_cast<int>(mix_kind_index)) {
            mix_fields_[parent.test].push_back({key, pt::ptree()});
            return {role::mix_field, parent.test};
        }
        // Only the first "size" and the first "count" of a test count.
        if (key == "size" && entry.size_state == test_entry::value::missing) {
            entry.size_state = test_entry::value::bad;  // no value yet
            return {role::size, parent.test};
        }
        if (key == "count" && entry.count_state == test_entry::value::missing) {
            entry.count_state = test_entry::value::bad;
            return {role::count, parent.test};
        }
        break;
    }
    case role::mix_field:
        // Only that the field holds a block matters to the mix reader, which
        // refuses it.
        mix_fields_[parent.test].back().second.push_back({key, pt::ptree()});
        break;
    default: break;
    }
    return {role::other, 0};
}

void suite_reader::set_value(pending_value& value) {
    if (!value.of) return;
    const node of = *value.of;
    value.of.reset();
    if (of.role == role::mix_field) {
        // A field's value comes right after its name, before any other field.
        mix_fields_[of.test].back().second.data() = value.text;
        return;
    }
    if (of.role != role::size && of.role != role::count) return;
    test_entry& entry = tests_[of.test];
    const std::optional<std::uint64_t> number = unsigned_value(value.text);
    const test_entry::value state = number ? test_entry::value::good : test_entry::value::bad;
    if (of.role == role::size) {
        entry.size_state = state;
        entry.size = number.value_or(0);
    } else {
        entry.count_state = state;
        entry.count = number.value_or(0);
    }
}

// " (test 3 in suite.cfg, line 12)": the test's place in the suite, the
// file that holds it and the line of its name.
std::string suite_reader::place(std::size_t test) const {
    const test_entry& entry = tests_[test];
    return " (test " + std::to_string(test + 1) + " in " + file_names_[entry.file] + ", line " +
           std::to_string(entry.line) + ")";
}

// The tests in file order, or the error of the first test that is wrong:
// its kind, then its size, then its count.
std::vector<test_spec> suite_reader::make_suite() const {
    if (!found_tests_) throw std::runtime_error("No such node (tests) in " + top_path_);
    std::vector<test_spec> suite;
    suite.reserve(tests_.size());
    for (std::size_t i = 0; i < tests_.size(); ++i) {
        const test_entry& entry = tests_[i];
        if (entry.kind == unknown_kind)
            throw std::runtime_error("unknown test type: " + first_unknown_name_ + place(i));
        if (entry.kind == static_cast<int>(mix_kind_index)) {
            const auto fields = mix_fields_.find(i);
            suite.push_back(read_mix_test(fields == mix_fields_.end() ? pt::ptree() : fields->second,
                                          i + 1, file_names_[entry.file]));
            continue;
        }
        const std::string kind = kind_names[static_cast<std::size_t>(entry.kind)];
        const std::pair<const char*, test_entry::value> values[] = {{"size", entry.size_state},
                                                                    {"count", entry.count_state}};
        for (const auto& [name, state] : values) {
            if (state == test_entry::value::missing)
                throw std::runtime_error(std::string("No such node (") + name + ") in " + kind +
                                         place(i));
            // The property tree's own words for a value of the wrong form.
            if (state == test_entry::value::bad)
                throw pt::ptree_bad_data(std::string("conversion of data to type \"") +
                                             typeid(std::uint64_t).name() + "\" failed for the " +
                                             name + " of " + kind + place(i),
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
