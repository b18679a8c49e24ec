#include "info_reader.hpp"

#include <boost/property_tree/info_parser.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench::detail {

namespace {

namespace info = boost::property_tree::info_parser;

// The files read are suites, a few lines per test; a suite longer than this,
// its includes counted in, is not one, and reading it could take all the
// memory.
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

// The open braces of one file, innermost last, on top of the node the file
// was included into. Below a node that is forgotten every node is, so those
// are only counted.
class nesting {
public:
    explicit nesting(info_node bottom) : named_{bottom} {}

    info_node top() const { return others_ > 0 ? info_node{} : named_.back(); }
    void push(info_node opened) {
        if (others_ > 0 || opened.tag == info_node::forgotten)
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
    std::vector<info_node> named_;
    std::uint64_t others_ = 0;
};

// A data value that goes on over further lines ("text" \), kept until it is
// whole.
struct pending_value {
    std::optional<info_node> of;
    std::string text;
};

// Hands a whole value to the handler, once, unless its node is forgotten.
void hand_on(pending_value& value, info_handler& handler) {
    if (!value.of) return;
    const info_node of = *value.of;
    value.of.reset();
    if (of.tag != info_node::forgotten) handler.set_value(of, value.text);
}

}  // namespace

void info_reader::read(const std::string& path, info_node root) {
    read_file(path, root, 0, nullptr, 0);
}

// The whole text of a file, which must be a regular file: a pipe, a device or
// a directory is refused before it is read, without waiting for a writer.
std::string info_reader::read_text(const std::string& path, const std::string* including,
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

std::uint32_t info_reader::file_index(const std::string& path) {
    const auto [at, added] =
        file_indexes_.emplace(path, static_cast<std::uint32_t>(file_names_.size()));
    if (added) file_names_.push_back(path);
    return at->second;
}

void info_reader::read_file(const std::string& path, info_node parent, int depth,
                            const std::string* including, unsigned long including_line) {
    const std::string text = read_text(path, including, including_line);
    read_lines(text, path, file_index(path), parent, depth);
    reading_.pop_back();
}

// The INFO reader's loop: line by line, a directive or keys, values and
// braces, with the same states, the same checks in the same order, and the
// same line numbers in its errors.
void info_reader::read_lines(const std::string& text, const std::string& path,
                             std::uint32_t file, info_node parent, int depth) {
    enum state_t { s_key, s_data, s_data_cont };
    state_t state = s_key;
    std::optional<info_node> last;  // the node made last, as long as a brace may open it
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

            // A '}' ends the open block, after a key or after a value alike.
            const auto close_block = [&] {
                if (stack.at_bottom()) throw info::info_parser_error("unmatched }", "", 0);
                stack.pop();
                last.reset();
                ++at;
            };
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
                        close_block();
                    } else {
                        const std::string key = info::read_key(at);
                        last = handler_.add_child(stack.top(), key, file, line_no);
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
                        close_block();
                        state = s_key;
                    } else {
                        bool need_more_lines = false;
                        std::string data = info::read_data(at, &need_more_lines);
                        value.of = last;
                        value.text = std::move(data);
                        if (need_more_lines)
                            state = s_data_cont;
                        else {
                            hand_on(value, handler_);
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
                            hand_on(value, handler_);
                            state = s_key;
                        }
                    }
                    break;
                }
            }
        }
        // A value still waiting for its next line at the end is what it is.
        hand_on(value, handler_);
        if (!stack.at_bottom()) throw info::info_parser_error("unmatched {", "", 0);
    } catch (const info::info_parser_error& error) {
        if (error.line() == 0) throw info::info_parser_error(error.message(), path, line_no);
        throw;
    }
}

}  // namespace bench::detail
