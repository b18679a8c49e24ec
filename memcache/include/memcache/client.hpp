#ifndef MEMCACHE_CLIENT_HPP
#define MEMCACHE_CLIENT_HPP

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/thread/mutex.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace memcache {

namespace detail {
struct reply_end;
}

// One server of a client and its persistent connection.
struct connection {
    bool connected = false;  // true exactly while socket holds an open socket
    std::string host;        // host name or address text, as added
    std::string port;        // decimal port text, resolved as a numeric service
    // Empty while down. An exchange keeps its own copy, so marking the
    // connection down never destroys a socket a running step still uses.
    std::shared_ptr<boost::asio::ip::tcp::socket> socket;
};

// A client for servers speaking the memcached text protocol: a table of
// servers with one persistent connection each, chosen by key hash.
//
// Commands (commands.hpp) hold mutex() for their whole exchange, so a client
// runs one command at a time. The I/O service is driven only by the thread
// holding the mutex; the client starts no threads.
class client {
public:
    client();
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    // Registers host:port, down, unless that name is present. Not locked:
    // add servers before the client is shared or used.
    void add_server(const std::string& host, const std::string& port);

    // Connects every server that is down, each endpoint attempt bounded by
    // `limit_ms`. Failures are recorded on the connection, never raised.
    void connect(std::uint64_t limit_ms);

    // CRC-32 of the key modulo the number of servers (0 without servers).
    std::uint64_t server_index(const std::string& key) const;

    // The home server at `index` if connected, else the next connected one in
    // name order, wrapping around. Raises no_available_servers when there is
    // none (or no server at all) and offset_out_of_bounds for a bad index.
    connection& select_server(std::uint64_t index);

    // Raises invalid_key unless the key can be sent as one protocol token:
    // no whitespace or control byte, at most max_key_length bytes.
    static void validate_key(const std::string& key);
    static constexpr std::size_t max_key_length = 250;

    // Blocking writes of a whole request; raise boost::system::system_error
    // ("write") on failure. The second form sends head, data and CR LF in one
    // gathered write, so a stored value is never copied into a request text.
    static void write_request(boost::asio::ip::tcp::socket& socket, const std::string& request);
    static void write_request(boost::asio::ip::tcp::socket& socket, const std::string& head,
                              std::string_view data);

    // Reads into `reply` until `complete` finds the end of the reply, at most
    // `limit_ms`. On time-out the socket is closed. Raises
    // boost::system::system_error for a closed peer, a reset or the time-out;
    // anything read after the end stays in `reply`.
    using reply_check = detail::reply_end (*)(const char* data, std::size_t size);
    void read_until_with_timeout(boost::asio::ip::tcp::socket& socket,
                                 boost::asio::streambuf& reply, reply_check complete,
                                 std::uint64_t limit_ms);

    // After a failed exchange: the stream can no longer be trusted, so the
    // socket is let go (and closed by its last owner). It stays down until
    // connect is called again.
    void mark_down(connection& server) noexcept;

    // Serialises every command; see the class comment.
    boost::mutex& mutex() noexcept { return mutex_; }

    // The server table by name ("host:port"), in the order used for hashing.
    const std::map<std::string, connection>& servers() const noexcept { return servers_; }

private:
    void connect_one(connection& server, std::uint64_t limit_ms);
    boost::system::error_code connect_attempt(boost::asio::ip::tcp::socket& socket,
                                              const boost::asio::ip::tcp::endpoint& endpoint,
                                              std::uint64_t limit_ms);

    boost::mutex mutex_;
    std::map<std::string, connection> servers_;
    boost::asio::io_context io_;
};

}  // namespace memcache

#endif
