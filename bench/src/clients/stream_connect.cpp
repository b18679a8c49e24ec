#include "stream_connect.hpp"

#include <bench/detail/wait.hpp>
#include <bench/interrupt.hpp>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

// How long a wait lasts before it looks for a stop again.
constexpr std::chrono::milliseconds slice{10};

[[noreturn]] void fail(int error) { throw std::system_error(error, std::generic_category()); }

// A socket that is closed unless it was handed on.
class socket_holder {
public:
    explicit socket_holder(int fd) noexcept : fd_(fd) {}
    ~socket_holder() {
        if (fd_ >= 0) ::close(fd_);
    }
    socket_holder(const socket_holder&) = delete;
    socket_holder& operator=(const socket_holder&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The part of the deadline's wait that comes next, in milliseconds for
// poll; 0 once the deadline has passed. Throws interrupted_error on a stop.
int next_slice(clock_type::time_point deadline) {
    if (interrupt_requested()) throw interrupted_error();
    return static_cast<int>(detail::milliseconds_left(deadline, slice).count());
}

void set_blocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) fail(errno);
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) fail(errno);
}

int open_socket(int family) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) fail(errno);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// Waits in slices until the connect in progress on fd has finished, and
// returns its outcome (0 or the error).
int finish_connect(int fd, clock_type::time_point deadline) {
    for (;;) {
        const int wait = next_slice(deadline);
        if (wait == 0) return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

int connect_stream_socket(const endpoint& daemon, clock_type::time_point deadline) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (daemon.is_unix_socket()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string& path = daemon.path();
        if (path.size() >= sizeof address.sun_path) fail(ENAMETOOLONG);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        std::memcpy(&storage, &address, sizeof address);
    } else {
        length = static_cast<socklen_t>(daemon.tcp().size());
        std::memcpy(&storage, daemon.tcp().data(), length);
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&storage);

    for (;;) {
        socket_holder socket(open_socket(storage.ss_family));
        set_blocking(socket.get(), false);
        int error = 0;
        if (::connect(socket.get(), address, length) != 0) {
            error = errno;
            // EINTR leaves the connect going on, as EINPROGRESS does.
            if (error == EINPROGRESS || error == EINTR) error = finish_connect(socket.get(), deadline);
        }
        if (error == EAGAIN && daemon.is_unix_socket()) {
            // The listener's queue is full, and a UNIX socket does not wait
            // for room: try again a moment later.
            const int wait = next_slice(deadline);
            if (wait == 0) fail(ETIMEDOUT);
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            continue;
        }
        if (error != 0) fail(error);
        set_blocking(socket.get(), true);
        if (!daemon.is_unix_socket()) {
            const int on = 1;
            if (::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
                fail(errno);
        }
        return socket.release();
    }
}

}  // namespace bench
