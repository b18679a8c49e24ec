#include <support/servers.hpp>

#include <support/fake_server.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {

// A connected socket to the server's address, -1 when none.
int connect_to(int family, std::uint16_t port, const std::string& path) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto& address = reinterpret_cast<sockaddr_in&>(storage);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        length = sizeof address;
    } else if (family == AF_INET6) {
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(port);
        length = sizeof address;
    } else {
        auto& address = reinterpret_cast<sockaddr_un&>(storage);
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) return -1;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        length = sizeof address;
    }
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool still_running(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 250; ++i) {  // up to 5 s, then force it
        if (::waitpid(pid, &status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

}  // namespace

std::uint16_t free_port() { return closed_port(); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool has_ipv6_loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

server_process server_process::start(const std::string& program, std::vector<std::string> args,
                                     const address& where) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    server_process server(pid, where);
    bool up = eventually(
        [&] {
            if (!still_running(pid)) return true;  // it died: give up at once
            int fd = connect_to(where.family, where.port, where.path);
            if (fd < 0) return false;
            ::close(fd);
            return true;
        },
        std::chrono::milliseconds(10000));
    if (!up || !still_running(pid)) {
        server.pid_ = -1;
        stop(pid);
        throw std::runtime_error(program + " did not start on " + server.endpoint());
    }
    return server;
}

server_process server_process::start_on_free_port(
    const std::string& program, int family,
    const std::function<std::vector<std::string>(std::uint16_t)>& args) {
    for (int attempt = 0;; ++attempt) {
        const std::uint16_t port = free_port();
        try {
            return start(program, args(port), address{family, port, {}});
        } catch (const std::exception&) {
            if (attempt == 2) throw;  // the port may have been taken meanwhile: retry
        }
    }
}

namespace {

std::vector<std::string> redis_args(const std::string& bind, std::uint16_t port,
                                    const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = {"--port",  std::to_string(port), "--bind",      bind,
                                     "--save",  "",                   "--appendonly", "no",
                                     "--dir",   "/tmp",               "--daemonize", "no"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return args;
}

std::vector<std::string> memcached_args(std::vector<std::string> args) {
    if (::geteuid() == 0) {  // memcached refuses to run as root unless told the user
        args.push_back("-u");
        args.push_back("root");
    }
    return args;
}

}  // namespace

server_process server_process::redis(const std::vector<std::string>& extra_args) {
    return start_on_free_port("redis-server", AF_INET, [&](std::uint16_t port) {
        return redis_args("127.0.0.1", port, extra_args);
    });
}

server_process server_process::redis_on_ipv6(const std::vector<std::string>& extra_args) {
    return start_on_free_port("redis-server", AF_INET6, [&](std::uint16_t port) {
        return redis_args("::1", port, extra_args);
    });
}

server_process server_process::redis_on_unix_socket(const std::string& path,
                                                    const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = redis_args("127.0.0.1", 0, extra_args);
    args.insert(args.end(), {"--unixsocket", path, "--unixsocketperm", "700"});
    return start("redis-server", args, address{AF_UNIX, 0, path});
}

server_process server_process::memcached(const std::vector<std::string>& extra_args) {
    return start_on_free_port("memcached", AF_INET, [&](std::uint16_t port) {
        std::vector<std::string> args = {"-p", std::to_string(port), "-l", "127.0.0.1", "-U", "0"};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        return memcached_args(args);
    });
}

server_process server_process::memcached_on_socket(const std::string& path,
                                                   const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = {"-s", path, "-a", "0700"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return start("memcached", memcached_args(args), address{AF_UNIX, 0, path});
}

server_process server_process::nutcracker(const std::string& directory, bool redis,
                                          const server_process& backend) {
    return start_on_free_port("nutcracker", AF_INET, [&](std::uint16_t port) {
        const std::string config = directory + "/nutcracker.yml";
        std::ofstream(config) << "pool:\n"
                              << "  listen: 127.0.0.1:" << port << "\n"
                              << "  redis: " << (redis ? "true" : "false") << "\n"
                              << "  hash: fnv1a_64\n"
                              << "  distribution: ketama\n"
                              << "  timeout: 5000\n"
                              << "  auto_eject_hosts: false\n"
                              << "  servers:\n"
                              << "   - 127.0.0.1:" << backend.port() << ":1\n";
        return std::vector<std::string>{"-c", config, "-o", directory + "/nutcracker.log",
                                        "-a", "127.0.0.1", "-s", std::to_string(free_port())};
    });
}

server_process::server_process(server_process&& other) noexcept
    : pid_(other.pid_), where_(std::move(other.where_)) {
    other.pid_ = -1;
}

server_process& server_process::operator=(server_process&& other) noexcept {
    if (this != &other) {
        stop(pid_);
        pid_ = other.pid_;
        where_ = std::move(other.where_);
        other.pid_ = -1;
    }
    return *this;
}

server_process::~server_process() { stop(pid_); }

std::string server_process::endpoint() const {
    if (where_.family == AF_UNIX) return "unix:" + where_.path;
    if (where_.family == AF_INET6) return "[::1]:" + std::to_string(where_.port);
    return "127.0.0.1:" + std::to_string(where_.port);
}

std::string server_process::ask(const std::string& request, const std::string& until) const {
    int fd = connect_to(where_.family, where_.port, where_.path);
    if (fd < 0) throw std::runtime_error("cannot connect to " + endpoint());
    std::string reply;
    if (::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (reply.find(until) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

}  // namespace kvtest
