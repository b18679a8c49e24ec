#include <support/fake_server.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace kvtest {

namespace {

int make_listener(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        int e = errno;
        ::close(fd);
        throw std::runtime_error(std::string("bind/listen: ") + std::strerror(e));
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Waits for fd to become readable; false on time-out.
bool wait_readable(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, milliseconds);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

constexpr auto tick = std::chrono::milliseconds(20);

}  // namespace

fake_connection::fake_connection(int fd, const std::atomic<bool>& stopping)
    : fd_(fd), stopping_(stopping) {}

fake_connection::~fake_connection() { close(); }

void fake_connection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// Reads what is available into pending_, waiting in short ticks so that a
// stopping server is noticed. False on close, error, stop or deadline.
bool fake_connection::fill(std::chrono::steady_clock::time_point deadline) {
    while (fd_ >= 0 && !stopping_.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (!wait_readable(fd_, static_cast<int>(std::min(left, tick).count()) + 1)) continue;
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
    return false;
}

std::string fake_connection::read_until(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto at = pending_.find(text);
        if (at != std::string::npos) {
            std::string head = pending_.substr(0, at + text.size());
            pending_.erase(0, at + text.size());
            return head;
        }
        if (!fill(deadline)) {
            std::string all;
            all.swap(pending_);
            return all;
        }
    }
}

std::string fake_connection::read_bytes(std::size_t n, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (pending_.size() < n && fill(deadline)) {
    }
    std::string head = pending_.substr(0, std::min(n, pending_.size()));
    pending_.erase(0, head.size());
    return head;
}

void fake_connection::send(const std::string& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
#ifdef MSG_NOSIGNAL
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
#else
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, 0);
#endif
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the peer went away: a script may expect that
        done += static_cast<std::size_t>(n);
    }
}

void fake_connection::send_slowly(const std::string& bytes, std::size_t chunk,
                                  std::chrono::milliseconds gap) {
    if (chunk == 0) chunk = 1;
    int nodelay = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
    for (std::size_t at = 0; at < bytes.size() && !stopping_.load(); at += chunk) {
        if (at != 0) stall(gap);
        send(bytes.substr(at, chunk));
    }
}

void fake_connection::send_until_closed(const std::string& piece, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
    constexpr int flags = MSG_DONTWAIT;
#endif
    std::size_t at = 0;
    while (fd_ >= 0 && !stopping_.load() && !piece.empty() &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(tick.count())) <= 0) continue;
        const ssize_t n = ::send(fd_, piece.data() + at, piece.size() - at, flags);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;
        at = (at + static_cast<std::size_t>(n)) % piece.size();
    }
}

void fake_connection::stall(std::chrono::milliseconds how_long) {
    auto deadline = std::chrono::steady_clock::now() + how_long;
    while (!stopping_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            tick, deadline - std::chrono::steady_clock::now()));
}

bool fake_connection::wait_for_peer_close(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0 && !stopping_.load() && std::chrono::steady_clock::now() < deadline) {
        if (!wait_readable(fd_, static_cast<int>(tick.count()))) continue;
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return true;  // reset counts as closed
        if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

fake_server::fake_server(script each) : script_(std::move(each)) {
    listener_ = make_listener(port_);
    acceptor_ = std::thread([this] { accept_loop(); });
}

fake_server::~fake_server() {
    stopping_.store(true);
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers) w.join();
    if (listener_ >= 0) ::close(listener_);
}

void fake_server::accept_loop() {
    while (!stopping_.load()) {
        if (!wait_readable(listener_, static_cast<int>(tick.count()))) continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        accepted_.fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] {
            fake_connection connection(fd, stopping_);
            try {
                script_(connection);
            } catch (...) {
                // A script that throws just ends its connection.
            }
        });
    }
}

void serve_resp(fake_connection& connection,
                const std::function<void(const std::string&, std::size_t)>& before_reply) {
    // A client may pause long between two commands (an open-loop run at a
    // low rate): the reads wait for as long as the server runs.
    constexpr auto patience = std::chrono::hours(24);
    std::map<std::string, std::string> entries;
    for (std::size_t number = 1;; ++number) {
        const std::string header = connection.read_until("\r\n", patience);
        if (header.size() < 3 || header[0] != '*') return;
        std::vector<std::string> words;
        for (int word = std::stoi(header.substr(1)); word > 0; --word) {
            const std::string length = connection.read_until("\r\n", patience);
            if (length.size() < 3 || length[0] != '$') return;
            const std::string text = connection.read_bytes(std::stoul(length.substr(1)) + 2);
            words.push_back(text.substr(0, text.size() - 2));
        }
        if (words.empty()) return;
        if (before_reply) before_reply(words[0], number);
        if (words[0] == "SET" && words.size() == 3) {
            entries[words[1]] = words[2];
            connection.send("+OK\r\n");
        } else if (words[0] == "GET" && words.size() == 2) {
            const auto found = entries.find(words[1]);
            connection.send(found == entries.end() ? std::string("$-1\r\n")
                                                   : "$" + std::to_string(found->second.size()) +
                                                         "\r\n" + found->second + "\r\n");
        } else if (words[0] == "DEL" && words.size() == 2) {
            connection.send(entries.erase(words[1]) ? ":1\r\n" : ":0\r\n");
        } else {
            connection.send("-ERR unknown command\r\n");
        }
    }
}

unanswering_listener::unanswering_listener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int e = errno;
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error(std::string("unanswering listener: ") + std::strerror(e));
    }
    port_ = ntohs(address.sin_port);
    // More than any queue length the system grants for a backlog of 0.
    for (int i = 0; i < 4; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (filler < 0) continue;
        fillers_.push_back(filler);
        ::fcntl(filler, F_SETFL, O_NONBLOCK);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    std::this_thread::sleep_for(50ms);  // for the handshakes that will complete
}

unanswering_listener::~unanswering_listener() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
}

std::uint16_t closed_port() {
    std::uint16_t port = 0;
    int fd = make_listener(port);
    ::close(fd);
    return port;
}

}  // namespace kvtest
