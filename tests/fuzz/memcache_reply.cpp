// The memcache library's reply side. An exchange runs the completeness
// check after every read, and a read may end after any byte, so the checks
// run on every prefix of the input: that covers every split of it. A reply
// never ends past the bytes received, and once it is complete or refused
// that verdict must not change when more bytes arrive. The checks run with
// the library's limits and with limits small enough for the input to reach.
// The complete get reply then goes through collection, parsing and
// delivery, or the classification of a rejected reply.

#include "targets.hpp"

#include <memcache/detail/reply.hpp>

#include <boost/function/function_base.hpp>

#include <string>
#include <string_view>

namespace kvfuzz {

namespace {

// The end of a reply at every prefix of `data`, by `check`; 0 when it never
// completes (or is refused).
template <typename Check>
std::size_t stable_end(const char* data, std::size_t size, Check check) {
    using memcache::detail::reply_refusal;
    std::size_t end = 0;
    reply_refusal refused = reply_refusal::none;
    for (std::size_t n = 0; n <= size; ++n) {
        const memcache::detail::reply_end found = check(data, n);
        require(found.length <= n, "a reply ends past the bytes received");
        require(found.length == 0 || found.refused == reply_refusal::none,
                "a reply both ends and is refused");
        if (end != 0) require(found.length == end, "a complete reply's end moved with later bytes");
        if (refused != reply_refusal::none)
            require(found.refused == refused, "a refusal changed with later bytes");
        if (end == 0) end = found.length;
        if (refused == reply_refusal::none) refused = found.refused;
    }
    return end;
}

}  // namespace

int memcache_reply(const std::uint8_t* bytes, std::size_t size) {
    namespace detail = memcache::detail;
    // Every prefix is checked, so the work grows with the square of the size.
    if (size > 2048) return 0;
    const char* data = reinterpret_cast<const char*>(bytes);

    // Lines of 16 bytes, values of 32, get replies of 64 bytes in all.
    constexpr detail::reply_limits small{16, 32};
    stable_end(data, size, [](const char* d, std::size_t n) { return detail::line_reply_end(d, n); });
    stable_end(data, size, [&](const char* d, std::size_t n) {
        return detail::line_reply_end(d, n, small);
    });
    stable_end(data, size, [&](const char* d, std::size_t n) {
        return detail::get_reply_end(d, n, small);
    });
    const std::size_t end =
        stable_end(data, size, [](const char* d, std::size_t n) { return detail::get_reply_end(d, n); });
    if (end == 0) return 0;

    const std::string_view text = detail::collect_reply(data, end);
    detail::value_block first;
    const std::string_view key =
        detail::parse_value_block(text, 0, first) != 0 ? first.key : std::string_view("key");
    std::string value;
    std::uint64_t cas = 0;
    try {
        if (detail::parse_get_reply(text, key, detail::string_deserializer(&value), &cas)) return 0;
    } catch (const boost::bad_function_call&) {
        return 0;  // a block for another key, as the library documents
    }
    static_cast<void>(detail::classify_get_reply(text));
    return 0;
}

}  // namespace kvfuzz
