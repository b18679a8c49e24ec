#ifndef MEMCACHE_CLIENT_HPP
#define MEMCACHE_CLIENT_HPP

#include <boost/asio/buffer.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace memcache {

class get_command;
class delete_command;

namespace detail {
class exchange;
class storage_command;
}  // namespace detail

// One server of a client and its persistent connection: a TCP server (host
// and port) or a local one (the path of a UNIX-domain stream socket).
struct connection {
    bool connected = false;  // true exactly while socket holds an open socket
    std::string host;        // TCP: host name or address text, as added
    std::string port;        // TCP: decimal port text, resolved as a numeric service
    std::string path;        // local: the socket's path; empty for a TCP server
    // Empty while down. A connected socket is in blocking mode and carries a
    // receive time-out of the reply limit.
    std::shared_ptr<boost::asio::generic::stream_protocol::socket> socket;
    // The last reply and whatever followed it in the same reads. Each exchange
    // writes over it from the start, so bytes that followed a reply are
    // dropped with it; it keeps its size between exchanges, so that a steady
    // stream of requests allocates nothing.
    std::vector<char> reply;
};

// A client for servers speaking the memcached text protocol: a table of
// servers with one persistent connection each, chosen by key hash.
//
// Every command (commands.hpp) is one exchange that holds the client's mutex
// from its key check to the end of its reply handling, so a client runs one
// command at a time. Everything runs on the calling thread; the client starts
// no threads.
class client {
public:
    // How long a command waits for its whole reply once its request is
    // written, measured on the steady clock.
    static constexpr std::uint64_t reply_limit_ms = 500;

    client();
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    // Registers the TCP server host:port, down, under the name "host:port"
    // unless that name is present. Not locked: add servers before the client
    // is shared or used.
    void add_server(const std::string& host, const std::string& port);
    // Registers a server on the UNIX-domain stream socket at `path`, down,
    // under the name "unix:" + path unless that name is present. It takes its
    // place among the TCP servers by name, for key hashing and failover
    // alike, with the same time limits. Not locked, as add_server.
    void add_local_server(const std::string& path);

    // Connects every server that is down, each endpoint attempt bounded by
    // `limit_ms`. Failures are recorded on the connection, never raised.
    void connect(std::uint64_t limit_ms);

    // CRC-32 of the key modulo the number of servers (0 without servers).
    std::uint64_t server_index(std::string_view key) const;
    // The same choice among `servers` servers, for a caller that keeps its
    // own connections to the servers of servers() in that order (a pipelined
    // pool). Allocates nothing.
    static std::uint64_t server_index(std::string_view key, std::size_t servers) noexcept;

    // The names add_server and add_local_server register a server under.
    static std::string server_name(const std::string& host, const std::string& port);
    static std::string local_server_name(const std::string& path);

    // The home server at `index` if connected, else the next connected one in
    // name order, wrapping around. Raises no_available_servers when there is
    // none (or no server at all) and offset_out_of_bounds for a bad index.
    connection& select_server(std::uint64_t index);

    // Raises invalid_key unless the key can be sent as one protocol token:
    // no whitespace or control byte, at most max_key_length bytes.
    static void validate_key(std::string_view key);
    static constexpr std::size_t max_key_length = 250;

    // After a failed exchange: the stream can no longer be trusted, so the
    // socket is let go (and closed). It stays down until connect is called
    // again.
    void mark_down(connection& server) noexcept;

    // The server table by name ("host:port" or "unix:path"), in the order
    // used for hashing.
    const std::map<std::string, connection>& servers() const noexcept { return servers_; }

private:
    friend class get_command;
    friend class delete_command;
    friend class detail::storage_command;

    // The one exchange every command is made of: takes the mutex, checks the
    // key, chooses the server, writes the request, reads until the command's
    // completeness check finds the end of the reply within reply_limit_ms,
    // and hands the received bytes to the command while the mutex is still
    // held. A write or read that fails (an error, a closed peer, the limit)
    // marks the server down and raises the command's failure. Returns what
    // the command made of the reply: false for the command's miss.
    bool exchange(std::string_view key, detail::exchange& command);
    boost::system::error_code send(connection& server,
                                   const std::array<boost::asio::const_buffer, 3>& pieces);
    boost::system::error_code receive(connection& server, const detail::exchange& command,
                                      std::size_t& received);

    void connect_one(connection& server, std::uint64_t limit_ms);
    boost::system::error_code connect_attempt(
        boost::asio::generic::stream_protocol::socket& socket,
        const boost::asio::generic::stream_protocol::endpoint& endpoint, std::uint64_t limit_ms);

    // Declared first, destroyed last: every socket goes before the I/O
    // service it was made on.
    boost::asio::io_context io_;  // connects; exchanges use the sockets directly
    boost::mutex mutex_;
    std::map<std::string, connection> servers_;
};

}  // namespace memcache

#endif
