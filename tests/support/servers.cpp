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
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {

int connect_loopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connect_local(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
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

int server_process::connect_to() const {
    return path_.empty() ? connect_loopback(port_) : connect_local(path_);
}

server_process server_process::start(const std::string& program, std::vector<std::string> args,
                                     std::uint16_t port, const std::string& path) {
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
    server_process server(pid, port, path);
    bool up = eventually(
        [&] {
            if (!still_running(pid)) return true;  // it died: give up at once
            int fd = server.connect_to();
            if (fd < 0) return false;
            ::close(fd);
            return true;
        },
        std::chrono::milliseconds(10000));
    if (!up || !still_running(pid)) {
        server.pid_ = -1;
        stop(pid);
        throw std::runtime_error(program + " did not start on " +
                                 (path.empty() ? "port " + std::to_string(port) : path));
    }
    return server;
}

server_process server_process::redis(const std::vector<std::string>& extra_args) {
    for (int attempt = 0;; ++attempt) {
        std::uint16_t port = free_port();
        std::vector<std::string> args = {"--port",  std::to_string(port), "--bind", "127.0.0.1",
                                         "--save",  "",                   "--appendonly", "no",
                                         "--dir",   "/tmp",               "--daemonize", "no"};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        try {
            return start("redis-server", args, port);
        } catch (const std::exception&) {
            if (attempt == 2) throw;  // the port may have been taken meanwhile: retry
        }
    }
}

server_process server_process::memcached(const std::vector<std::string>& extra_args) {
    for (int attempt = 0;; ++attempt) {
        std::uint16_t port = free_port();
        std::vector<std::string> args = {"-p", std::to_string(port), "-l", "127.0.0.1", "-U", "0"};
        if (::geteuid() == 0) {
            args.push_back("-u");
            args.push_back("root");
        }
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        try {
            return start("memcached", args, port);
        } catch (const std::exception&) {
            if (attempt == 2) throw;
        }
    }
}

server_process server_process::memcached_on_socket(const std::string& path,
                                                   const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = {"-s", path};
    if (::geteuid() == 0) {
        args.push_back("-u");
        args.push_back("root");
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return start("memcached", args, 0, path);
}

server_process::server_process(server_process&& other) noexcept
    : pid_(other.pid_), port_(other.port_), path_(std::move(other.path_)) {
    other.pid_ = -1;
}

server_process& server_process::operator=(server_process&& other) noexcept {
    if (this != &other) {
        stop(pid_);
        pid_ = other.pid_;
        port_ = other.port_;
        path_ = std::move(other.path_);
        other.pid_ = -1;
    }
    return *this;
}

server_process::~server_process() { stop(pid_); }

std::string server_process::ask(const std::string& request, const std::string& until) const {
    int fd = connect_to();
    if (fd < 0)
        throw std::runtime_error("cannot connect to " +
                                 (path_.empty() ? "port " + std::to_string(port_) : path_));
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
