#ifndef KVTEST_SERVERS_HPP
#define KVTEST_SERVERS_HPP

// Real redis-server, memcached and nutcracker processes for the tests, each
// on a free loopback port or on a UNIX socket, stopped when the object goes
// away.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace kvtest {

class server_process {
public:
    // redis-server bound to 127.0.0.1, no persistence. Throws when it does
    // not accept connections within a few seconds.
    static server_process redis(const std::vector<std::string>& extra_args = {});
    // memcached bound to 127.0.0.1 (TCP only).
    static server_process memcached(const std::vector<std::string>& extra_args = {});
    // redis-server bound to ::1 only.
    static server_process redis_on_ipv6(const std::vector<std::string>& extra_args = {});
    // redis-server and memcached listening only on the UNIX-domain stream
    // socket at `path`.
    static server_process redis_on_unix_socket(const std::string& path,
                                               const std::vector<std::string>& extra_args = {});
    static server_process memcached_on_socket(const std::string& path,
                                              const std::vector<std::string>& extra_args = {});
    // nutcracker (twemproxy) on 127.0.0.1 with one pool in front of
    // `backend`, a redis-server when `redis`, else a memcached. Its
    // configuration and log go to `directory`.
    static server_process nutcracker(const std::string& directory, bool redis,
                                     const server_process& backend);

    server_process(server_process&& other) noexcept;
    server_process& operator=(server_process&& other) noexcept;
    ~server_process();  // SIGTERM, then waits for the process

    std::uint16_t port() const noexcept { return where_.port; }  // 0 on a UNIX socket
    const std::string& socket_path() const noexcept { return where_.path; }  // empty on TCP
    // As --daemon takes it: "127.0.0.1:port", "[::1]:port" or "unix:path".
    std::string endpoint() const;
    // Sends one command line ("stats\r\n", "INFO keyspace\r\n", ...) on a new
    // connection and returns what arrives until `until` is seen or 5 s pass.
    std::string ask(const std::string& request, const std::string& until) const;

private:
    // Where a server listens: a loopback port (IPv4 or IPv6) or a UNIX socket.
    struct address {
        int family;            // AF_INET, AF_INET6 or AF_UNIX
        std::uint16_t port;    // for AF_INET and AF_INET6
        std::string path;      // for AF_UNIX
    };

    server_process(pid_t pid, address where) : pid_(pid), where_(std::move(where)) {}
    static server_process start(const std::string& program, std::vector<std::string> args,
                                const address& where);
    // Starts `program` with the arguments `args(port)` on a free port,
    // retrying when the port was taken meanwhile.
    static server_process start_on_free_port(
        const std::string& program, int family,
        const std::function<std::vector<std::string>(std::uint16_t)>& args);

    pid_t pid_ = -1;
    address where_;
};

// Whether the machine can listen on the IPv6 loopback address.
bool has_ipv6_loopback();

// A loopback port that was free a moment ago.
std::uint16_t free_port();

// Polls `condition` until it holds (true) or `limit` passes (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace kvtest

#endif
