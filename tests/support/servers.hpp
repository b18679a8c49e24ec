#ifndef KVTEST_SERVERS_HPP
#define KVTEST_SERVERS_HPP

// Real redis-server and memcached processes for the tests, each on a free
// loopback port (or a UNIX socket), stopped when the object goes away.

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
    // memcached listening only on the UNIX-domain stream socket at `path`.
    static server_process memcached_on_socket(const std::string& path,
                                              const std::vector<std::string>& extra_args = {});

    server_process(server_process&& other) noexcept;
    server_process& operator=(server_process&& other) noexcept;
    ~server_process();  // SIGTERM, then waits for the process

    std::uint16_t port() const noexcept { return port_; }  // 0 on a UNIX socket
    const std::string& socket_path() const noexcept { return path_; }  // empty on TCP
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
    // Sends one command line ("stats\r\n", "INFO keyspace\r\n", ...) on a new
    // connection and returns what arrives until `until` is seen or 5 s pass.
    std::string ask(const std::string& request, const std::string& until) const;

private:
    server_process(pid_t pid, std::uint16_t port, std::string path)
        : pid_(pid), port_(port), path_(std::move(path)) {}
    static server_process start(const std::string& program, std::vector<std::string> args,
                                std::uint16_t port, const std::string& path = {});
    int connect_to() const;  // a new connection to the server, or -1

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string path_;
};

// A loopback port that was free a moment ago.
std::uint16_t free_port();

// Polls `condition` until it holds (true) or `limit` passes (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace kvtest

#endif
