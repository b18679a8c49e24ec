#ifndef MEMCACHE_SRC_EXCHANGE_HPP
#define MEMCACHE_SRC_EXCHANGE_HPP

// What client::exchange needs to know of a command. Private to the library:
// commands.cpp implements it once per command.

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>

#include <boost/asio/buffer.hpp>

#include <array>
#include <string_view>

namespace memcache {
namespace detail {

class exchange {
public:
    // The completeness check of the reply: get_reply_end or line_reply_end.
    using reply_check = reply_end (*)(const char* data, std::size_t size);
    // The request goes out in one gathered write of up to three pieces (empty
    // pieces are allowed), so that neither the key nor a stored value is
    // copied into a request text.
    using request_pieces = std::array<boost::asio::const_buffer, 3>;

    explicit exchange(reply_check check) noexcept : complete(check) {}

    // Built after the key check, so the key is known to fit a request line.
    virtual request_pieces request() = 0;
    // The command's failure: the server's answer was a refusal, or the
    // exchange failed on the network (the server is marked down by then).
    // A cause, when given, follows the message in parentheses.
    [[noreturn]] virtual void fail(std::string_view cause) const = 0;
    // The command's result from the received bytes (the whole reply, perhaps
    // followed by more): true when the server did what was asked, false when
    // it answered the command's own miss (the key is absent, or for add
    // present), which the caller turns into a return value or the command's
    // failure; raises for everything else. Runs while the mutex is held.
    virtual bool take(std::string_view received, client& owner, connection& server) = 0;

    const reply_check complete;

protected:
    ~exchange() = default;
};

}  // namespace detail
}  // namespace memcache

#endif
