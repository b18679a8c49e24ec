#ifndef MEMCACHE_DETAIL_REPLY_HPP
#define MEMCACHE_DETAIL_REPLY_HPP

// The reply side of the protocol as functions over bytes: when a reply is
// complete, how a get reply is parsed, delivered and classified. Nothing here
// touches a socket, and nothing allocates on the way of a well-formed reply:
// the functions work on views of the connection's reply buffer.

#include <memcache/policies.hpp>

#include <boost/regex_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace memcache {
namespace detail {

// One VALUE block of a get reply, as views into the reply text.
struct value_block {
    std::string_view key;     // the key the block belongs to
    std::uint32_t flags = 0;  // client flags stored with the value
    std::uint64_t bytes = 0;  // declared length of data
    std::uint64_t cas = 0;    // cas unique; 0 when the reply has none
    std::string_view data;    // exactly `bytes` bytes
};

// Stores a fetched data block into the caller's destination, decoded by Policy.
template <typename T, typename Policy>
class deserializer {
public:
    explicit deserializer(T* destination) noexcept : destination_(destination) {}
    void operator()(std::string_view data) const { Policy::deserialize(data, *destination_); }

private:
    T* destination_;  // owned by the caller of the get
};

// The get terminator "(END\r\n)|(SERVER_ERROR\S)|(CLIENT_ERROR\S)|(ERROR\r\n)",
// compiled on first use and shared read-only afterwards. It ends the read of
// a get reply that is not well formed.
const boost::regex& get_terminator();

// How much a reply may hold, so that a broken or hostile server cannot make
// the client hold more memory than this, however it sends its bytes.
struct reply_limits {
    std::size_t line_bytes;   // one line of a reply, not counting its CR LF
    std::size_t value_bytes;  // the data block a VALUE line announces
    // A get reply in all: a largest value, and room for two longest lines
    // (its VALUE line; its END line and the CR LFs).
    constexpr std::size_t reply_bytes() const noexcept { return value_bytes + 2 * line_bytes; }
};

// The limits every command is held to. memcached's own lines are far
// shorter, and it stores items of 1 MiB by default and of 1 GiB at most
// (-I), so no reply of a real server is refused.
inline constexpr reply_limits default_limits{std::size_t(64) << 10, std::size_t(1) << 30};

// Why the bytes received cannot become a reply the client accepts.
enum class reply_refusal : unsigned char {
    none,
    long_line,     // a line longer than line_bytes
    large_value,   // a VALUE line announcing more than value_bytes
    long_reply,    // a get reply longer than reply_bytes() in all
    unrecognised,  // line_bytes past the well-formed part, and no get terminator
};

// How far the bytes received so far go towards a whole reply: the
// completeness checks the exchange runs after every read. Once a check has
// found the end or refused the reply, more bytes never change its answer, so
// the answer does not depend on how the bytes were split into reads. Two
// registers wide, so that returning it after every read stays cheap.
struct reply_end {
    std::size_t length = 0;    // bytes up to the end of the reply; 0 while more must be read
    std::uint32_t wanted = 0;  // while length is 0: bytes worth reading next (a hint)
    reply_refusal refused = reply_refusal::none;  // when not none, length is 0: stop reading
};

// A get reply ends after its END line once every VALUE block has all its
// declared bytes (data holding "END\r\n" or CR LF is never taken for the end),
// or at the CR LF of an error line (ERROR, CLIENT_ERROR or SERVER_ERROR, with
// or without a message). Bytes that fit neither end where the get terminator
// first matches. Refused past the limits (reply_refusal says which).
reply_end get_reply_end(const char* data, std::size_t size, const reply_limits& limits);
reply_end get_reply_end(const char* data, std::size_t size);  // default_limits

// The replies to add, replace, set and delete are one line: they end at the
// first CR LF. Refused when the line grows past the line limit.
reply_end line_reply_end(const char* data, std::size_t size, const reply_limits& limits);
reply_end line_reply_end(const char* data, std::size_t size);  // default_limits

// The reply text up to and including its last line feed (a trailing piece
// without one is left out).
std::string_view collect_reply(const char* data, std::size_t size);

// The VALUE block at text[at]: "VALUE key flags bytes[ cas]" CR LF, the data,
// CR LF, nothing between the parts. Fills `block` and returns the offset just
// past it, or 0 when no well-formed block starts there.
std::size_t parse_value_block(std::string_view text, std::size_t at, value_block& block);

// True when the text starts with a whole get reply: zero or more VALUE blocks,
// then END CR LF (what follows it is ignored).
bool is_get_response(std::string_view text);

// Where a get puts the fetched string: its bytes unchanged.
using string_deserializer =
    deserializer<std::string, policies::string_preserve_impl<policies::tags::default_tag>>;

// Delivers a get reply for `key`: when the text is a whole get reply with at
// least one block, hands every block's data to `deliver` in reply order (so
// the last of repeated blocks remains) and stores its cas in *cas, then
// returns true. False, delivering nothing, otherwise. A block for another key
// raises boost::bad_function_call (blocks before it are delivered).
bool parse_get_reply(std::string_view text, std::string_view key,
                     const string_deserializer& deliver, std::uint64_t* cas);

// What a get reply that parse_get_reply refused means, by its first word.
enum class reply_class {
    miss,         // "END": no value for the key
    error_reply,  // "ERROR", "CLIENT_ERROR" or "SERVER_ERROR"
    other,        // anything else, nothing at all included
};

reply_class classify_get_reply(std::string_view text);

}  // namespace detail
}  // namespace memcache

#endif
