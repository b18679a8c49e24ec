#include <memcache/detail/reply.hpp>

#include <boost/regex.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace memcache {
namespace detail {

namespace {

// Read size while nothing is known about the rest of a reply, and the most a
// single read asks for when a long data block is due.
constexpr std::size_t default_read_size = 4096;
// Read size while waiting for a terminator: the replies that end with one are
// single short lines ("STORED", "DELETED", an error line), and the reply
// buffer is made, and zero-filled, to the size asked for in every exchange.
// A longer reply simply takes more reads.
constexpr std::size_t line_read_size = 512;
constexpr std::size_t largest_read_size = std::size_t(1) << 20;

bool starts_with(const char* data, std::size_t size, const char* word, std::size_t length) {
    return size >= length && std::memcmp(data, word, length) == 0;
}

// data[0, size) is shorter than `word` and agrees with its start.
bool is_proper_prefix(const char* data, std::size_t size, const char* word, std::size_t length) {
    return size < length && std::memcmp(data, word, size) == 0;
}

// Offset of the first CR LF in data[from, size), or size when there is none.
std::size_t find_crlf(const char* data, std::size_t size, std::size_t from) {
    while (from < size) {
        const void* cr = std::memchr(data + from, '\r', size - from);
        if (cr == nullptr) return size;
        const std::size_t at = static_cast<const char*>(cr) - data;
        if (at + 1 < size && data[at + 1] == '\n') return at;
        if (at + 1 == size) return size;
        from = at + 1;
    }
    return size;
}

// Reads a run of decimal digits starting at line[at] that fits 32 bits;
// leaves `at` after it. False when there is no digit or it does not fit.
bool read_number(const char* line, std::size_t size, std::size_t& at, std::uint64_t& value) {
    const std::size_t first = at;
    value = 0;
    for (; at < size && line[at] >= '0' && line[at] <= '9'; ++at) {
        value = value * 10 + static_cast<std::uint64_t>(line[at] - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) return false;
    }
    return at != first;
}

// The declared length of a VALUE line "key flags bytes[ cas]" (without the
// leading "VALUE " and the CR LF). False when the line has no such field.
bool declared_length(const char* line, std::size_t size, std::uint64_t& bytes) {
    const void* space = std::memchr(line, ' ', size);
    if (space == nullptr || space == line) return false;
    std::size_t at = static_cast<const char*>(space) - line + 1;
    std::uint64_t flags = 0;
    if (!read_number(line, size, at, flags) || at == size || line[at] != ' ') return false;
    ++at;
    if (!read_number(line, size, at, bytes)) return false;
    return at == size || line[at] == ' ';
}

constexpr char value_word[] = "VALUE ";
constexpr char end_line[] = "END\r\n";
constexpr std::size_t value_word_length = sizeof(value_word) - 1;
constexpr std::size_t end_line_length = sizeof(end_line) - 1;

// An error line starting at data[0, size): ERROR, CLIENT_ERROR or SERVER_ERROR
// followed by CR LF, or by a space, a message and CR LF.
bool scan_error_line(const char* data, std::size_t size, reply_scan& scan) {
    static const char* const words[] = {"ERROR", "CLIENT_ERROR", "SERVER_ERROR"};
    for (const char* word : words) {
        const std::size_t length = std::strlen(word);
        if (is_proper_prefix(data, size, word, length)) {
            scan.shape = reply_shape::incomplete;
            return true;
        }
        if (!starts_with(data, size, word, length)) continue;
        if (size == length || (size == length + 1 && data[length] == '\r')) {
            scan.shape = reply_shape::incomplete;
            return true;
        }
        if (data[length] != ' ' && !(data[length] == '\r' && data[length + 1] == '\n')) return false;
        const std::size_t line_end = find_crlf(data, size, length);
        if (line_end == size) {
            scan.shape = reply_shape::incomplete;
        } else {
            scan.shape = reply_shape::complete;
            scan.length = line_end + 2;
        }
        return true;
    }
    return false;
}

}  // namespace

const boost::regex& get_terminator() {
    static const boost::regex terminator("(END\r\n)|(SERVER_ERROR\\S)|(CLIENT_ERROR\\S)|(ERROR\r\n)",
                                         boost::regex::perl);
    return terminator;
}

const boost::regex& storage_terminator() {
    static const boost::regex terminator("\r\n", boost::regex::perl);
    return terminator;
}

const boost::regex& delete_terminator() {
    static const boost::regex terminator("\r\n", boost::regex::perl);
    return terminator;
}

std::size_t terminator_condition::more_wanted(const char* data, std::size_t size) const {
    if (boost::regex_search(data, data + size, terminator_)) return 0;
    return line_read_size;
}

std::size_t get_reply_condition::more_wanted(const char* data, std::size_t size) const {
    const reply_scan scan = scan_get_reply(data, size);
    if (scan.shape == reply_shape::complete) return 0;
    if (scan.shape == reply_shape::broken) {
        if (boost::regex_search(data, data + size, get_terminator())) return 0;
        return default_read_size;
    }
    return std::min(std::max(scan.missing, default_read_size), largest_read_size);
}

reply_scan scan_get_reply(const char* data, std::size_t size) {
    reply_scan scan;
    std::size_t at = 0;
    for (;;) {
        const char* rest = data + at;
        const std::size_t left = size - at;
        if (starts_with(rest, left, value_word, value_word_length)) {
            const std::size_t line_end = find_crlf(data, size, at + value_word_length);
            if (line_end == size) {
                scan.shape = reply_shape::incomplete;
                return scan;
            }
            std::uint64_t bytes = 0;
            const std::size_t fields = at + value_word_length;
            if (!declared_length(data + fields, line_end - fields, bytes)) {
                scan.shape = reply_shape::broken;
                return scan;
            }
            const std::uint64_t data_start = line_end + 2;
            const std::uint64_t block_end = data_start + bytes + 2;  // data and its CR LF
            if (block_end > size) {
                scan.shape = reply_shape::incomplete;
                scan.missing = static_cast<std::size_t>(block_end - size) + end_line_length;
                return scan;
            }
            if (data[block_end - 2] != '\r' || data[block_end - 1] != '\n') {
                scan.shape = reply_shape::broken;
                return scan;
            }
            at = static_cast<std::size_t>(block_end);
            continue;
        }
        if (left == 0 || is_proper_prefix(rest, left, value_word, value_word_length) ||
            is_proper_prefix(rest, left, end_line, end_line_length)) {
            scan.shape = reply_shape::incomplete;
            return scan;
        }
        if (starts_with(rest, left, end_line, end_line_length)) {
            scan.shape = reply_shape::complete;
            scan.length = at + end_line_length;
            return scan;
        }
        if (scan_error_line(rest, left, scan)) {
            if (scan.shape == reply_shape::complete) scan.length += at;
            return scan;
        }
        scan.shape = reply_shape::broken;
        return scan;
    }
}

std::size_t find_get_reply_end(const char* data, std::size_t size) {
    const reply_scan scan = scan_get_reply(data, size);
    switch (scan.shape) {
    case reply_shape::complete: return scan.length;
    case reply_shape::incomplete: return 0;
    case reply_shape::broken: break;
    }
    boost::cmatch match;
    if (!boost::regex_search(data, data + size, match, get_terminator())) return 0;
    return static_cast<std::size_t>(match[0].second - data);
}

std::string collect_reply(const char* data, std::size_t size) {
    // The same text as appending each line that ends with a line feed: one
    // copy of everything up to the last line feed.
    const char* end = data + size;
    while (end != data && end[-1] != '\n') --end;
    return std::string(data, end);
}

std::string collect_reply(const boost::asio::streambuf& reply) {
    const auto bytes = reply.data();
    return collect_reply(static_cast<const char*>(bytes.data()), bytes.size());
}

bool parse_get_reply(const std::string& text, value_handlers& handlers, std::uint64_t* cas) {
    std::list<value_block> blocks;
    if (!parse_get_response(text, blocks) || blocks.empty()) return false;
    for (const value_block& block : blocks) {
        handlers[block.key](block.data);  // an absent key gets an empty handler, which throws
        *cas = block.cas;
    }
    return true;
}

reply_class classify_get_reply(const std::string& text) {
    // The first word as stream extraction reads it: skip blanks, stop at the next.
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const std::string word(first, std::find_if(first, text.end(), blank));
    if (word == "END") return reply_class::miss;
    if (word == "ERROR" || word == "CLIENT_ERROR" || word == "SERVER_ERROR")
        return reply_class::error_reply;
    return reply_class::other;
}

}  // namespace detail
}  // namespace memcache
