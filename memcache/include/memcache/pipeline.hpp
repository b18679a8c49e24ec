#ifndef MEMCACHE_PIPELINE_HPP
#define MEMCACHE_PIPELINE_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace memcache {

// The wire side of one connection with several requests in flight, without
// a socket: requests are appended to the caller's outgoing bytes, the caller
// moves the bytes, and the replies are taken from the bytes it received, in
// the order of the requests. The requests are those the commands
// (commands.hpp) send, and a reply means what it means to them; failures
// raise the same exceptions with the same messages.
//
// The received bytes are kept in one buffer, consumed from the front and
// moved back to its start as replies are taken: once it has grown to the
// bytes a connection holds at a time, feeding and taking allocate nothing
// (nor does a request, once `out` has the room).
class pipeline {
public:
    // What taking a reply found.
    enum class reply : unsigned char {
        pending,  // the bytes fed so far do not hold all of it
        hit,      // the server did what was asked
        miss,     // get: END alone; replace: NOT_STORED; delete: NOT_FOUND
    };

    // Requests. Each checks the key as client::validate_key does and raises
    // invalid_key, leaving `out` as it was, for one the protocol cannot carry.
    static void get(std::string_view key, std::string& out);
    static void set(std::string_view key, std::string_view value, std::string& out,
                    std::uint64_t exptime = 0, std::uint32_t flags = 0);
    static void replace(std::string_view key, std::string_view value, std::string& out,
                        std::uint64_t exptime = 0, std::uint32_t flags = 0);
    static void remove(std::string_view key, std::string& out);  // "delete key"

    // Takes received bytes: any number of replies, a reply split anywhere.
    void feed(const char* data, std::size_t size);

    // Take the reply to the oldest request not yet answered, which was the
    // named command for `key`. A reply is complete by get_reply_end or
    // line_reply_end with detail::default_limits; past them the reply is
    // refused (its cause as a command gives it, "reply line longer than
    // 64 KiB"). On a hit, take_get has replaced the content of `value`.
    //
    // take_get raises invalid_response_found for an error reply,
    // malformed_data (the request, then the reply) for a reply that breaks
    // the protocol or holds a block for another key, and key_not_found with
    // the cause for a refused one. take_set and take_replace raise
    // key_not_stored, take_remove key_not_found, with the server's line as
    // the cause unless it is the command's plain refusal (set answered
    // NOT_STORED, replace answered EXISTS or NOT_FOUND). A raising reply is
    // consumed when its end was found; either way the stream is no longer to
    // be trusted, and the connection should be made anew (then reset()).
    reply take_get(std::string_view key, std::string& value);
    reply take_set(std::string_view key);
    reply take_replace(std::string_view key);
    reply take_remove(std::string_view key);

    // Forgets every byte fed, keeping the buffer's capacity.
    void reset() noexcept { begin_ = end_ = 0; }

    // Bytes fed and not yet taken as replies.
    std::size_t buffered() const noexcept { return end_ - begin_; }

private:
    std::string_view received() const noexcept {
        return std::string_view(buffer_.data() + begin_, end_ - begin_);
    }
    void consume(std::size_t length) noexcept;
    reply take_stored(std::string_view key, bool miss_allowed);

    std::vector<char> buffer_;  // its size is its capacity; bytes live in [begin_, end_)
    std::size_t begin_ = 0;     // the first byte of the oldest reply not taken
    std::size_t end_ = 0;       // past the last byte fed
};

}  // namespace memcache

#endif
