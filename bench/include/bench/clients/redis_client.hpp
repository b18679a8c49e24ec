#ifndef BENCH_CLIENTS_REDIS_CLIENT_HPP
#define BENCH_CLIENTS_REDIS_CLIENT_HPP

#include <bench/client.hpp>
#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct redisContext;
struct redisReply;

namespace bench {

// A Redis server over one hiredis connection: put, update and set are SET,
// remove is DEL, get is GET. Keys and values are sent with their lengths, so
// any byte, NUL included, goes through unchanged.
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
// the stream is out of step and fail the operation too. hiredis cannot use a
// connection again once a reply timed out, was refused or the connection
// broke, so the client then closes it and every later operation fails at
// once; there is no reconnect.
//
// A write into a connection the server has reset must fail the operation,
// not raise SIGPIPE: the socket refuses the signal where the platform allows
// it (SO_NOSIGPIPE); elsewhere constructing a client sets SIGPIPE to ignored
// for the process, unless the program already handles it itself.
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

private:
    struct context_release {
        void operator()(redisContext* connection) const noexcept;
    };
    struct reply_release {
        void operator()(redisReply* reply) const noexcept;
    };
    using reply_ptr = std::unique_ptr<redisReply, reply_release>;

    // Sends one command, given as its words and their lengths, and returns
    // its reply, all within the operation limit. Null when that failed; the
    // connection is then closed.
    reply_ptr exchange(int count, const char** words, const std::size_t* lengths);
    // The part of exchange after the command is queued; false when the
    // connection can no longer be used.
    bool send_and_receive(reply_ptr& reply);
    // AUTH with the login; throws as the constructor says.
    void log_in(const endpoint& daemon, const redis_credentials& login);
    // SET key value; throws std::runtime_error(failure) unless the reply is
    // a non-error one.
    void store(const std::string& key, const std::string& value, const char* failure);
    // GET key: the reply, a string or nil; throws std::runtime_error
    // "could not get entry" for any other.
    reply_ptr fetch(const std::string& key);

    std::unique_ptr<redisContext, context_release> connection_;  // null once closed
    std::chrono::steady_clock::duration operation_limit_;
};

}  // namespace bench

#endif
