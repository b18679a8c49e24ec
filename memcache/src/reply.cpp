#include <memcache/detail/reply.hpp>

#include <boost/function/function_base.hpp>
#include <boost/regex.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace memcache {
namespace detail {

namespace {

// Bytes asked for while nothing is known about the rest of a reply.
constexpr std::size_t default_read_size = 4096;

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

// A run of decimal digits at text[at] whose value is at most `largest`;
// leaves `at` after it. False when there is no digit or the value is larger.
bool parse_number(std::string_view text, std::size_t& at, std::uint64_t largest,
                  std::uint64_t& value) {
    const std::size_t first = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        if (value > (largest - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return at != first;
}

// The declared length of a VALUE line "key flags bytes[ cas]" (without the
// leading "VALUE " and the CR LF). False when the line has no such field.
bool declared_length(const char* line, std::size_t size, std::uint64_t& bytes) {
    constexpr std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
    const std::string_view text(line, size);
    const void* space = std::memchr(line, ' ', size);
    if (space == nullptr || space == line) return false;
    std::size_t at = static_cast<const char*>(space) - line + 1;
    std::uint64_t flags = 0;
    if (!parse_number(text, at, largest, flags) || at == size || line[at] != ' ') return false;
    ++at;
    if (!parse_number(text, at, largest, bytes)) return false;
    return at == size || line[at] == ' ';
}

// Whether the line starting at data[start], whose CR LF is at line_end
// (size when it has not come yet), is longer than `limit` bytes. Without its
// CR LF, a trailing CR may still be the start of one.
bool line_too_long(const char* data, std::size_t size, std::size_t start, std::size_t line_end,
                   std::size_t limit) {
    if (line_end != size) return line_end - start > limit;
    const std::size_t known = size - start - (size > start && data[size - 1] == '\r' ? 1 : 0);
    return known > limit;
}

// How far the bytes received for a get go towards a whole reply.
enum class reply_shape {
    incomplete,  // a prefix of a well-formed reply: more bytes are due
    complete,    // VALUE blocks with all their data, then END; or an error line
    broken,      // cannot be the start of a well-formed reply
    refused,     // past a limit
};

struct reply_scan {
    reply_shape shape = reply_shape::incomplete;
    std::size_t length = 0;   // complete: bytes up to the end of the reply
    std::size_t missing = 0;  // incomplete inside a data block: bytes still due for it
    std::size_t at = 0;       // broken: where the well-formed part ends
    reply_refusal refused = reply_refusal::none;  // refused: why
};

constexpr char value_word[] = "VALUE ";
constexpr char end_line[] = "END\r\n";
constexpr std::size_t value_word_length = sizeof(value_word) - 1;
constexpr std::size_t end_line_length = sizeof(end_line) - 1;

// An error line starting at data[0, size): ERROR, CLIENT_ERROR or SERVER_ERROR
// followed by CR LF, or by a space, a message and CR LF.
bool scan_error_line(const char* data, std::size_t size, std::size_t line_limit,
                     reply_scan& scan) {
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
        if (line_too_long(data, size, 0, line_end, line_limit)) {
            scan.shape = reply_shape::refused;
            scan.refused = reply_refusal::long_line;
        } else if (line_end == size) {
            scan.shape = reply_shape::incomplete;
        } else {
            scan.shape = reply_shape::complete;
            scan.length = line_end + 2;
        }
        return true;
    }
    return false;
}

// Walks the VALUE blocks by their declared lengths, so data holding "END\r\n"
// or CR LF is never taken for the end of the reply. Each step looks only at
// the bytes up to the point it decides on, so a longer input reaches the
// same decision.
reply_scan scan_get_reply(const char* data, std::size_t size, const reply_limits& limits) {
    reply_scan scan;
    std::size_t at = 0;
    for (;;) {
        const char* rest = data + at;
        const std::size_t left = size - at;
        if (starts_with(rest, left, value_word, value_word_length)) {
            const std::size_t line_end = find_crlf(data, size, at + value_word_length);
            if (line_too_long(data, size, at, line_end, limits.line_bytes)) {
                scan.shape = reply_shape::refused;
                scan.refused = reply_refusal::long_line;
                return scan;
            }
            if (line_end == size) {
                scan.shape = reply_shape::incomplete;
                return scan;
            }
            std::uint64_t bytes = 0;
            const std::size_t fields = at + value_word_length;
            if (!declared_length(data + fields, line_end - fields, bytes)) {
                scan.shape = reply_shape::broken;
                scan.at = at;
                return scan;
            }
            if (bytes > limits.value_bytes) {
                scan.shape = reply_shape::refused;
                scan.refused = reply_refusal::large_value;
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
                scan.at = at;
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
        if (scan_error_line(rest, left, limits.line_bytes, scan)) {
            if (scan.shape == reply_shape::complete) scan.length += at;
            return scan;
        }
        scan.shape = reply_shape::broken;
        scan.at = at;
        return scan;
    }
}

// What an incomplete get reply asks to read next: the bytes still due for a
// data block, at least a default read.
std::uint32_t read_hint(std::size_t missing) {
    constexpr std::size_t most = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(std::min(std::max(missing, default_read_size), most));
}

bool is_key_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x21 && byte <= 0x7e) || byte >= 0x80;
}

bool has_at(std::string_view text, std::size_t at, std::string_view word) {
    return text.size() >= at && text.substr(at, word.size()) == word;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

const boost::regex& get_terminator() {
    static const boost::regex terminator("(END\r\n)|(SERVER_ERROR\\S)|(CLIENT_ERROR\\S)|(ERROR\r\n)",
                                         boost::regex::perl);
    return terminator;
}

reply_end get_reply_end(const char* data, std::size_t size, const reply_limits& limits) {
    // Only the first reply_bytes() decide: what they do not make a whole
    // reply of is refused, whatever follows.
    const std::size_t longest = limits.reply_bytes();
    const std::size_t seen = std::min(size, longest);
    const reply_scan scan = scan_get_reply(data, seen, limits);
    const reply_end too_long{0, 0, reply_refusal::long_reply};
    switch (scan.shape) {
    case reply_shape::complete: return {scan.length, 0};
    case reply_shape::refused: return {0, 0, scan.refused};
    case reply_shape::incomplete:
        if (size > longest) return too_long;
        return {0, read_hint(scan.missing)};
    case reply_shape::broken: break;
    }
    // Bytes that cannot become a well-formed reply end at the first match of
    // the terminator, which has to come within a line's length of where the
    // well-formed part ends.
    const std::size_t searched = std::min(seen, scan.at + limits.line_bytes + 2);
    boost::cmatch match;
    if (boost::regex_search(data, data + searched, match, get_terminator()))
        return {static_cast<std::size_t>(match[0].second - data), 0};
    if (size > searched) {
        return searched == longest ? too_long : reply_end{0, 0, reply_refusal::unrecognised};
    }
    return {0, read_hint(0)};
}

reply_end get_reply_end(const char* data, std::size_t size) {
    return get_reply_end(data, size, default_limits);
}

reply_end line_reply_end(const char* data, std::size_t size, const reply_limits& limits) {
    const std::size_t at = find_crlf(data, size, 0);
    if (line_too_long(data, size, 0, at, limits.line_bytes))
        return {0, 0, reply_refusal::long_line};
    if (at == size) return {0, 0};
    return {at + 2, 0};
}

reply_end line_reply_end(const char* data, std::size_t size) {
    return line_reply_end(data, size, default_limits);
}

std::string_view collect_reply(const char* data, std::size_t size) {
    // The same text as appending each line that ends with a line feed.
    const char* end = data + size;
    while (end != data && end[-1] != '\n') --end;
    return std::string_view(data, static_cast<std::size_t>(end - data));
}

std::size_t parse_value_block(std::string_view text, std::size_t at, value_block& block) {
    if (!has_at(text, at, value_word)) return 0;
    at += value_word_length;
    const std::size_t key_start = at;
    while (at < text.size() && is_key_byte(text[at])) ++at;
    if (at == key_start || !has_at(text, at, " ")) return 0;
    block.key = text.substr(key_start, at - key_start);
    ++at;
    std::uint64_t flags = 0;
    if (!parse_number(text, at, std::numeric_limits<std::uint32_t>::max(), flags) ||
        !has_at(text, at, " "))
        return 0;
    block.flags = static_cast<std::uint32_t>(flags);
    ++at;
    if (!parse_number(text, at, std::numeric_limits<std::uint32_t>::max(), block.bytes)) return 0;
    block.cas = 0;
    if (has_at(text, at, " ")) {
        ++at;
        if (!parse_number(text, at, std::numeric_limits<std::uint64_t>::max(), block.cas)) return 0;
    }
    if (!has_at(text, at, "\r\n")) return 0;
    at += 2;
    if (text.size() - at < block.bytes) return 0;
    block.data = text.substr(at, static_cast<std::size_t>(block.bytes));
    at += static_cast<std::size_t>(block.bytes);
    if (!has_at(text, at, "\r\n")) return 0;
    return at + 2;
}

bool is_get_response(std::string_view text) {
    value_block block;
    std::size_t at = 0;
    while (const std::size_t next = parse_value_block(text, at, block)) at = next;
    return has_at(text, at, end_line);
}

bool parse_get_reply(std::string_view text, std::string_view key,
                     const string_deserializer& deliver, std::uint64_t* cas) {
    if (!is_get_response(text)) return false;
    value_block block;
    std::size_t at = parse_value_block(text, 0, block);
    if (at == 0) return false;  // END alone: a miss
    // The whole reply is well formed: deliver its blocks in order.
    do {
        if (block.key != key) throw boost::bad_function_call();  // no receiver for that key
        deliver(block.data);
        *cas = block.cas;
    } while ((at = parse_value_block(text, at, block)) != 0);
    return true;
}

reply_class classify_get_reply(std::string_view text) {
    // The first word as stream extraction reads it: skip blanks, stop at the next.
    const auto first = std::find_if_not(text.begin(), text.end(), is_blank);
    const std::string_view word(first, static_cast<std::size_t>(std::find_if(first, text.end(), is_blank) - first));
    if (word == "END") return reply_class::miss;
    if (word == "ERROR" || word == "CLIENT_ERROR" || word == "SERVER_ERROR")
        return reply_class::error_reply;
    return reply_class::other;
}

}  // namespace detail
}  // namespace memcache
