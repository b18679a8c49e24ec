#ifndef BENCH_CLIENTS_REDIS_CLIENT_HPP
#define BENCH_CLIENTS_REDIS_CLIENT_HPP

#include <bench/client.hpp>

#include <boost/asio/ip/tcp.hpp>

#include <chrono>

struct redisContext;

namespace bench {

struct thread_context;

// A Redis server over one blocking hiredis connection: put and update are
// SET, remove is DEL, get is GET. Keys and values are sent with their
// lengths, so any byte, NUL included, goes through unchanged.
//
// Both the connect and every reply wait at most a time limit. hiredis cannot
// use a connection again once a reply timed out or the connection broke, so
// from then on every operation of the client fails; there is no reconnect.
//
// A write into a connection the server has reset must fail the operation,
// not raise SIGPIPE: the socket refuses the signal where the platform allows
// it (SO_NOSIGPIPE); elsewhere constructing a client sets SIGPIPE to ignored
// for the process, unless the program already handles it itself.
class redis_client final : public client {
public:
    // The limit the benchmark uses for connecting and for each reply.
    static constexpr std::chrono::milliseconds default_limit{10000};

    // Connects to the daemon endpoint of the context's settings with the
    // default limits.
    explicit redis_client(const thread_context& context);
    // Connects to `daemon`, waiting at most `connect_limit` for the
    // connection and then at most `reply_limit` for each reply; a limit under 1 ms
    // counts as 1 ms. Throws
    // std::runtime_error "Cannot connect to redis server" on failure.
    redis_client(const boost::asio::ip::tcp::endpoint& daemon,
                 std::chrono::milliseconds connect_limit,
                 std::chrono::milliseconds reply_limit);
    ~redis_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    // Reads a content of any length; expected_size is not used.
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

private:
    // SET key value; throws std::runtime_error(failure) unless the reply is
    // a non-error one.
    void set(const std::string& key, const std::string& value, const char* failure);

    redisContext* connection = nullptr;  // owned; freed by the destructor
};

}  // namespace bench

#endif
