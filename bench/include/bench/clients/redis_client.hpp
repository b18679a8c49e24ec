#ifndef BENCH_CLIENTS_REDIS_CLIENT_HPP
#define BENCH_CLIENTS_REDIS_CLIENT_HPP

#include <bench/client.hpp>
#include <bench/clients/detail/redis_reply.hpp>
#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace bench {

// A Redis server over one connection: put, update and set are SET,
// remove is DEL, get is GET. Keys and values are sent with their lengths, so
// any byte, NUL included, goes through unchanged. The commands are written
// by the client itself; hiredis's reader reads the replies
// (detail::redis_reply_reader).
//
// The connect waits at most a time limit, and so does every operation as a
// whole: sending the request and receiving the whole reply. An operation
// that passes its limit fails with its own message; one that the server
// answers with an error fails with its message, ": " and the server's text
// ("could not put entry: NOAUTH Authentication required."). A reply is refused, and
// the operation fails, when a line of it (status, error, integer, bulk
// length) grows past 64 KiB without its end, when it announces a bulk string
// over 512 MiB (Redis' own default limit for one), or when it is an array,
// which none of the commands sent here is answered with: a hostile or broken
// server cannot make the client hold more than that. Bytes past a reply mean
// the stream is out of step and fail the operation too. A connection whose
// reply timed out, was refused or broke cannot be used again (a late or
// partial reply would be taken for the answer to the next command), so the
// client then closes it and every later operation fails at once; there is
// no reconnect.
//
// In the steady state an operation costs one write and one read, and
// allocates nothing: the command is built in a buffer the client keeps (a
// long value is written from the caller's string, not copied), and a get's
// bytes go straight into the caller's string. The buffers keep the size of
// the largest command and reply so far.
//
// A write into a connection the server has reset must fail the operation,
// not raise SIGPIPE: every write refuses the signal (MSG_NOSIGNAL, or the
// socket's SO_NOSIGPIPE where the platform has that instead).
class redis_client final : public client {
public:
    // The limit the benchmark uses for connecting and for each operation.
    static constexpr std::chrono::milliseconds default_limit{10000};

    // Connects to `daemon` (TCP or a UNIX socket), waiting at most
    // `connect_limit` for the connection and then at most `operation_limit`
    // for each operation; a limit under 1 ms counts as 1 ms. With a login in
    // the options, sends AUTH at once. Throws std::runtime_error "Cannot
    // connect to redis server " with the endpoint and the reason ("...
    // 127.0.0.1:1: Connection refused") when the connection (or the AUTH
    // exchange) fails, "redis authentication failed: " with the server's
    // reply text when the server refuses the login, and interrupted_error
    // when a stop is requested while the connect is waited for.
    explicit redis_client(const endpoint& daemon, const client_options& options = {},
                          std::chrono::milliseconds connect_limit = default_limit,
                          std::chrono::milliseconds operation_limit = default_limit);
    ~redis_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    // Reads a content of any length; expected_size is not used.
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

    // SET.
    void set(const std::string& key, const std::string& value) override;
    // GET: a nil reply is the miss.
    bool try_get(const std::string& key, std::string& value) override;
    // SET with XX, which writes only an existing key: a nil reply is the miss.
    bool try_update(const std::string& key, const std::string& value) override;
    // DEL: a count of 0 is the miss.
    bool try_remove(const std::string& key) override;

    // For a client of a Redis Cluster, which sends an operation on when its
    // node redirects it:
    // Whether the connection can still be used (it is closed once a reply
    // timed out, was refused or broke).
    bool connected() const noexcept { return socket_.fd >= 0; }
    // The text of the last reply when it was an error ("MOVED 3999
    // 127.0.0.1:6381"), else null.
    const std::string* error_reply() const noexcept {
        return reply_.type() == detail::redis_reply_reader::kind::error ? &reply_.error_text()
                                                                        : nullptr;
    }
    // ASKING, which lets the next command reach a slot being imported;
    // throws std::runtime_error(failure) unless the server says OK.
    void asking(const char* failure);

private:
    // The connection's socket, closed with the client; -1 once closed.
    struct socket_handle {
        int fd = -1;
        ~socket_handle();
        void close() noexcept;
    };

    // Sends one command, given as its words, and reads its whole reply into
    // reply_ (a bulk string into *value, when given), all within the
    // operation limit. False when that failed; the connection is then closed.
    bool exchange(std::initializer_list<std::string_view> words, std::string* value = nullptr);
    // Builds the command in request_ and pieces_.
    void compose(std::initializer_list<std::string_view> words);
    // Writes the command and reads the reply; false when the connection can
    // no longer be used.
    bool send_and_receive();
    // Sets the socket's own limits on a blocking write and read.
    bool limit_socket_waits(std::chrono::steady_clock::duration limit) noexcept;
    // AUTH with the login; throws as the constructor says.
    void log_in(const endpoint& daemon, const redis_credentials& login);
    // SET key value; throws std::runtime_error(failure) unless the reply is
    // a non-error one.
    void store(const std::string& key, const std::string& value, const char* failure);
    // GET key into value: true for a string, false for nil; throws
    // std::runtime_error "could not get entry" for any other reply.
    bool fetch(const std::string& key, std::string& value);

    // A piece of the command as written: the caller's bytes of a long word,
    // or a stretch of request_.
    struct piece {
        const char* data;
        std::size_t length;
    };
    // The most words of a command sent, and so the most pieces: each long
    // word between two stretches of request_.
    static constexpr std::size_t max_words = 4;
    static constexpr std::size_t max_pieces = 2 * max_words + 1;

    socket_handle socket_;
    detail::redis_reply_reader reply_;
    std::chrono::steady_clock::duration operation_limit_;
    std::unique_ptr<char[]> request_;  // the command's text, but for its long words
    std::size_t request_capacity_ = 0;
    piece pieces_[max_pieces];
    std::size_t piece_count_ = 0;
    std::unique_ptr<char[]> input_;  // the bytes of one read
};

}  // namespace bench

#endif
