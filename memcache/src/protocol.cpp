#include "protocol.hpp"

#include <memcache/exceptions.hpp>

#include <boost/archive/archive_exception.hpp>

#include <algorithm>
#include <charconv>
#include <initializer_list>

namespace memcache {
namespace detail {

namespace {

// Writes the decimal digits of `number` at `out`; returns the end.
char* put_number(char* out, std::uint64_t number) {
    return std::to_chars(out, out + 20, number).ptr;
}

char* put_text(char* out, std::string_view text) {
    return std::copy(text.begin(), text.end(), out);
}

// The first line of a reply, up to but not including its line feed.
std::string_view first_line(std::string_view reply) { return reply.substr(0, reply.find('\n')); }

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view without_trailing_blanks(std::string_view line) {
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    return line;
}

// The cause a refused line reply adds to the command's message: nothing when
// the server refused by the command's own rule (one of `plain`, which the
// message already tells), else the server's line itself, so that an error
// reply (SERVER_ERROR object too large for cache, CLIENT_ERROR ...) or
// anything unexpected shows.
std::string_view refusal_cause(std::string_view line,
                               std::initializer_list<std::string_view> plain) {
    line = without_trailing_blanks(line);
    for (const std::string_view word : plain) {
        if (line == word) return {};
    }
    return line.empty() ? std::string_view("empty reply line") : line;
}

}  // namespace

std::size_t put_storage_head(char* out, std::string_view verb, std::string_view key,
                             std::uint32_t flags, std::uint64_t exptime, std::size_t bytes) {
    char* const start = out;
    out = put_text(out, verb);
    *out++ = ' ';
    out = put_text(out, key);
    *out++ = ' ';
    out = put_number(out, flags & 0xFFFFu);
    *out++ = ' ';
    out = put_number(out, exptime);
    *out++ = ' ';
    out = put_number(out, bytes);
    out = put_text(out, line_end);
    return static_cast<std::size_t>(out - start);
}

get_outcome read_get_reply(std::string_view text, std::string_view key, std::string* value) {
    std::uint64_t cas = 0;
    try {
        if (parse_get_reply(text, key, string_deserializer(value), &cas)) return get_outcome::hit;
    } catch (const boost::archive::archive_exception&) {
        return get_outcome::malformed;
    }
    switch (classify_get_reply(text)) {
    case reply_class::miss: return get_outcome::miss;
    case reply_class::error_reply: throw invalid_response_found(std::string(text));
    case reply_class::other: break;
    }
    return get_outcome::malformed;
}

bool read_store_reply(std::string_view received, std::string_view key) {
    const std::string_view line = first_line(received);
    if (line == "STORED\r") return true;
    if (without_trailing_blanks(line) == "NOT_STORED") return false;
    throw key_not_stored(std::string(key), refusal_cause(line, {"EXISTS", "NOT_FOUND"}));
}

bool read_delete_reply(std::string_view received, std::string_view key) {
    const std::string_view line = without_trailing_blanks(first_line(received));
    if (line == "DELETED") return true;
    if (line == "NOT_FOUND") return false;
    throw key_not_found(std::string(key), refusal_cause(line, {}));
}

}  // namespace detail
}  // namespace memcache
