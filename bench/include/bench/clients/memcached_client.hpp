#ifndef BENCH_CLIENTS_MEMCACHED_CLIENT_HPP
#define BENCH_CLIENTS_MEMCACHED_CLIENT_HPP

#include <bench/client.hpp>
#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>

#include <memcache/client.hpp>

namespace bench {

// A memcached server through the memcache library: put is add, update is
// replace, remove is delete, get is get (and the mix operations below). The
// daemon is the client's only server, connected once at construction (500 ms
// per attempt); an unreachable daemon shows at the first operation as
// memcache::no_available_servers. A connection that breaks, whose reply is
// not whole within 500 ms, or whose reply goes past the library's limits (a
// line over 64 KiB, a value over 1 GiB) stays down: every later operation
// raises memcache::no_available_servers. Library exceptions pass through
// unchanged, with the cause of a failure after their message.
// A daemon on a UNIX socket is the library's local server "unix:PATH", with
// the same time limits.
//
// Built with a list of servers (client_options::servers), the client
// registers every one of them instead of the daemon alone and connects them
// all: the library sends each key to its server by CRC-32 hash and, while
// that server is down (it did not connect, or an exchange with it failed),
// to the next connected one in name order. Only the exchange that meets the
// failure raises.
class memcached_client final : public client {
public:
    explicit memcached_client(const endpoint& daemon);
    memcached_client(const endpoint& daemon, const client_options& options);
    ~memcached_client() override;

    // Fails (memcache::key_not_stored) when the key exists.
    void put(const std::string& key, const std::string& value) override;
    // Fails (memcache::key_not_stored) when the key is absent.
    void update(const std::string& key, const std::string& value) override;
    // Fails (memcache::key_not_found) when the key is absent.
    void remove(const std::string& key) override;
    // Reads a content of any length; expected_size is not used.
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

    // set is set; the others tell the server's own miss by returning false
    // (without an exception): try_get is get answered by END alone,
    // try_update is replace answered by NOT_STORED, try_remove is delete
    // answered by NOT_FOUND. Every other outcome raises as above.
    void set(const std::string& key, const std::string& value) override;
    bool try_get(const std::string& key, std::string& value) override;
    bool try_update(const std::string& key, const std::string& value) override;
    bool try_remove(const std::string& key) override;

    // The library client, for inspecting its server table.
    const memcache::client& store() const noexcept { return store_; }

private:
    memcache::client store_;
};

}  // namespace bench

#endif
