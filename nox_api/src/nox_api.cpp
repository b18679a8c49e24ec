// The nox client library over RESP2: each handle is one blocking TCP
// connection, each call one request and one reply.
//
//   nox_put     SET key value NX   +OK, or nil when the key exists
//   nox_update  SET key value XX   +OK, or nil when the key is missing
//   nox_remove  DEL key            :1, or :0 when the key is missing
//   nox_get     GET key            $n payload, or nil when the key is missing
//
// A request is sent with one sendmsg over an iovec that points at the key and
// the value where the caller keeps them, so nothing is copied or allocated
// per call; the reply is read with one recvmsg in the usual case, into the
// handle's own buffer and, for the rest of a large GET payload, straight into
// the caller's buffer. The time limit is kept on the socket (SO_SNDTIMEO,
// SO_RCVTIMEO) so the first send and the first receive need no poll; a
// request or reply that takes several system calls gets the rest of its time
// limit, polling only when nothing is ready. A time-out, a broken connection or a reply out of step closes the
// connection, so a late reply can never be taken for the answer to a later
// request.

#include <nox_api.h>

#include "resp_reader.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <sys/uio.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>

#if !defined(MSG_NOSIGNAL) && !defined(SO_NOSIGPIPE)
#error "no way to keep a closed connection from raising SIGPIPE on this platform"
#endif

namespace {

#ifdef MSG_NOSIGNAL
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

constexpr std::size_t receive_buffer_size = 16384;  // one read takes a usual reply whole

}  // namespace

struct nox_handle {
    int fd = -1;                                  // connected socket, -1 when none
    int timeout_ms = NOX_DEFAULT_TIMEOUT_MS;      // limit for connect, send and receive
    nox_api::detail::resp_reader reader;          // reply being read
    char head[48];                                // "*n\r\n$3\r\nCMD\r\n$<key length>\r\n"
    char middle[32];                              // "\r\n$<value length>\r\n"
    char in[receive_buffer_size];                 // reply bytes on their way to the reader
};

namespace {

using nox_api::detail::reply_type;
using nox_api::detail::resp_reader;

void drop_connection(nox_handle& h) noexcept {
    if (h.fd >= 0) {
        ::close(h.fd);
        h.fd = -1;
    }
}

// Writes the decimal digits of value at out; returns how many.
std::size_t write_decimal(char* out, std::uint64_t value) noexcept {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

// POSIX leaves the order of iovec's members open, so fill them by name.
iovec piece(const void* base, std::size_t length) noexcept {
    iovec v{};
    v.iov_base = const_cast<void*>(base);
    v.iov_len = length;
    return v;
}

std::size_t append(char* out, std::size_t at, const char* text, std::size_t length) noexcept {
    std::memcpy(out + at, text, length);
    return at + length;
}

// Monotonic time in milliseconds.
std::int64_t now_ms() noexcept {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Milliseconds left until deadline for poll; 0 when it passed. The clock's
// millisecond truncation may cost a wait up to 1 ms; it never ends one early.
int remaining_ms(std::int64_t deadline) noexcept {
    const std::int64_t left = deadline - now_ms();
    if (left <= 0) return 0;
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

// Waits until fd is ready for events or the deadline passes.
nox_status wait_for(int fd, short events, std::int64_t deadline) noexcept {
    for (;;) {
        const int ms = remaining_ms(deadline);
        if (ms == 0) return NOX_TIMEOUT;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, ms);
        if (n > 0) return NOX_OK;  // ready, or an error the next call will report
        if (n == 0) return NOX_TIMEOUT;
        if (errno != EINTR) return NOX_IO_ERROR;
    }
}

bool set_timeouts(int fd, int timeout_ms) noexcept {
    timeval limit{};
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>((timeout_ms % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

bool set_blocking(int fd, bool blocking) noexcept {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

int open_socket(const addrinfo& address) noexcept {
    int type = address.ai_socktype;
#ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#endif
    const int fd = ::socket(address.ai_family, type, address.ai_protocol);
#ifndef SOCK_CLOEXEC
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    return fd;
}

// Connects fd to address before the deadline, then makes it a blocking
// socket with the handle's time limits, Nagle's delay off and SIGPIPE off.
nox_status connect_socket(int fd, const addrinfo& address, int timeout_ms,
                          std::int64_t deadline) noexcept {
    if (!set_blocking(fd, false)) return NOX_IO_ERROR;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        // EINTR leaves the connect going on in the background, like EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) return NOX_IO_ERROR;
        const nox_status ready = wait_for(fd, POLLOUT, deadline);
        if (ready != NOX_OK) return ready;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return NOX_IO_ERROR;
        }
    }
    const int on = 1;
    if (!set_blocking(fd, true) ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        !set_timeouts(fd, timeout_ms)) {
        return NOX_IO_ERROR;
    }
#ifdef SO_NOSIGPIPE
    if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return NOX_IO_ERROR;
#endif
    return NOX_OK;
}

// Sends the whole request. The first sendmsg is bounded by SO_SNDTIMEO; when
// the socket's buffer takes only part of it, the rest is sent as room
// appears, within what is left of the time limit.
nox_status send_request(nox_handle& h, iovec* iov, int count) noexcept {
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    const auto deadline = now_ms() + h.timeout_ms;
    int flags = send_flags;
    for (;;) {
        const ssize_t sent = ::sendmsg(h.fd, &message, flags);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (flags == send_flags) return NOX_TIMEOUT;  // SO_SNDTIMEO ran out
            } else if (errno != EINTR) {
                return NOX_IO_ERROR;
            }
        } else {
            auto left = static_cast<std::size_t>(sent);
            while (message.msg_iovlen > 0 && left >= message.msg_iov->iov_len) {
                left -= message.msg_iov->iov_len;
                ++message.msg_iov;
                --message.msg_iovlen;
            }
            if (message.msg_iovlen == 0) return NOX_OK;
            message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + left;
            message.msg_iov->iov_len -= left;
        }
        const nox_status ready = wait_for(h.fd, POLLOUT, deadline);
        if (ready != NOX_OK) return ready;
#ifdef MSG_DONTWAIT
        // After the wait, send what fits without blocking past the deadline.
        flags = send_flags | MSG_DONTWAIT;
#endif
    }
}

// Reads one whole reply into h.reader, whose sink the caller has set. The
// first recvmsg blocks, bounded by SO_RCVTIMEO; a reply that needs more
// reads gets them within what is left of the time limit. Inside a bulk
// payload, reads scatter into the caller's buffer first and the handle's
// buffer after it, so the payload is copied once and its end comes in the
// same read.
nox_status receive_reply(nox_handle& h) noexcept {
    resp_reader& reader = h.reader;
    const std::int64_t deadline = now_ms() + h.timeout_ms;
    int flags = 0;
    bool must_wait = false;  // poll before the next read
    for (;;) {
        if (must_wait) {
            const nox_status ready = wait_for(h.fd, POLLIN, deadline);
            if (ready != NOX_OK) return ready;
        }
        std::size_t room = 0;
        char* window = reader.payload_window(room);
        iovec iov[2];
        int count = 0;
        if (window != nullptr) iov[count++] = piece(window, room);
        iov[count++] = piece(h.in, sizeof h.in);
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = count;
        const ssize_t received = ::recvmsg(h.fd, &message, flags);
        if (received == 0) return NOX_IO_ERROR;  // the daemon closed the connection
        if (received < 0) {
            const bool would_block = errno == EAGAIN || errno == EWOULDBLOCK;
            if (would_block && flags == 0) return NOX_TIMEOUT;  // SO_RCVTIMEO ran out
            if (!would_block && errno != EINTR) return NOX_IO_ERROR;
            must_wait = true;
            continue;
        }
        auto n = static_cast<std::size_t>(received);
        if (window != nullptr) {
            const std::size_t direct = n < room ? n : room;
            reader.payload_written(direct);
            n -= direct;
        }
        if (n > 0) {
            const std::size_t used = reader.feed(h.in, n);
            if (reader.state() == resp_reader::progress::failed) return NOX_PROTOCOL_ERROR;
            // Only one request is ever outstanding, so bytes past its reply
            // mean the stream is out of step.
            if (used != n) return NOX_PROTOCOL_ERROR;
        }
        if (reader.state() == resp_reader::progress::complete) return NOX_OK;
#ifdef MSG_DONTWAIT
        // Take what has arrived meanwhile without a poll; poll only when nothing has.
        flags = MSG_DONTWAIT;
        must_wait = false;
#else
        must_wait = true;
#endif
    }
}

// Sends the request and reads its reply; a failure closes the connection.
nox_status exchange(nox_handle& h, iovec* iov, int count, char* sink, std::size_t capacity) noexcept {
    if (h.fd < 0) return NOX_NOT_CONNECTED;
    h.reader.start(sink, capacity);
    nox_status status = send_request(h, iov, count);
    if (status == NOX_OK) status = receive_reply(h);
    if (status != NOX_OK) drop_connection(h);
    return status;
}

// Fills h.head with the array header, the command and the key's length.
std::size_t command_head(nox_handle& h, const char* prefix, std::size_t prefix_length,
                         std::size_t key_length) noexcept {
    std::size_t at = append(h.head, 0, prefix, prefix_length);
    at += write_decimal(h.head + at, key_length);
    return append(h.head, at, "\r\n", 2);
}

int32_t store(nox_handle* h, const char* key, const void* value, std::size_t length, int flags,
              const char* condition, nox_status when_nil) noexcept {
    if (h == nullptr || key == nullptr || (value == nullptr && length != 0) || flags != 0) {
        return NOX_BAD_ARGUMENT;
    }
    static constexpr char prefix[] = "*4\r\n$3\r\nSET\r\n$";
    const std::size_t key_length = std::strlen(key);
    const std::size_t head_length = command_head(*h, prefix, sizeof prefix - 1, key_length);
    std::size_t middle_length = append(h->middle, 0, "\r\n$", 3);
    middle_length += write_decimal(h->middle + middle_length, length);
    middle_length = append(h->middle, middle_length, "\r\n", 2);

    iovec iov[5];
    iov[0] = piece(h->head, head_length);
    iov[1] = piece(key, key_length);
    iov[2] = piece(h->middle, middle_length);
    iov[3] = piece(value, length);
    iov[4] = piece(condition, 10);  // "\r\n$2\r\nNX\r\n" or XX
    const nox_status status = exchange(*h, iov, 5, nullptr, 0);
    if (status != NOX_OK) return status;
    switch (h->reader.result().type) {
    case reply_type::status: return NOX_OK;
    case reply_type::nil: return when_nil;
    case reply_type::error: return NOX_SERVER_ERROR;
    default: return NOX_PROTOCOL_ERROR;
    }
}

// Sends a two-word command on key: "GET key" or "DEL key".
nox_status key_command(nox_handle& h, const char* prefix, std::size_t prefix_length,
                       const char* key, char* sink, std::size_t capacity) noexcept {
    const std::size_t key_length = std::strlen(key);
    const std::size_t head_length = command_head(h, prefix, prefix_length, key_length);
    iovec iov[3];
    iov[0] = piece(h.head, head_length);
    iov[1] = piece(key, key_length);
    iov[2] = piece("\r\n", 2);
    return exchange(h, iov, 3, sink, capacity);
}

}  // namespace

extern "C" {

int32_t nox_open(nox_handle** handle, int flags) {
    if (handle == nullptr) return NOX_BAD_ARGUMENT;
    *handle = nullptr;
    if (flags != 0) return NOX_BAD_ARGUMENT;
    *handle = new (std::nothrow) nox_handle;
    return *handle ? NOX_OK : NOX_NO_MEMORY;
}

int32_t nox_connect(nox_handle* h, const char* host, int port) {
    if (h == nullptr || host == nullptr || port < 1 || port > 65535) return NOX_BAD_ARGUMENT;
    drop_connection(*h);

    char service[8];
    service[write_decimal(service, static_cast<std::uint64_t>(port))] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(host, service, &hints, &addresses) != 0) return NOX_IO_ERROR;

    // One time limit for the whole attempt, over every address the host has.
    const auto deadline = now_ms() + h->timeout_ms;
    nox_status status = NOX_IO_ERROR;
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const int fd = open_socket(*a);
        if (fd < 0) continue;
        status = connect_socket(fd, *a, h->timeout_ms, deadline);
        if (status == NOX_OK) {
            h->fd = fd;
            break;
        }
        ::close(fd);
        if (status == NOX_TIMEOUT) break;
    }
    ::freeaddrinfo(addresses);
    return status;
}

int32_t nox_set_option(nox_handle* h, int option, ...) {
    if (h == nullptr) return NOX_BAD_ARGUMENT;
    if (option != NOX_OPTION_TIMEOUT) return NOX_BAD_ARGUMENT;
    va_list arguments;
    va_start(arguments, option);
    const int timeout_ms = va_arg(arguments, int);
    va_end(arguments);
    if (timeout_ms <= 0) return NOX_BAD_ARGUMENT;
    h->timeout_ms = timeout_ms;
    if (h->fd >= 0 && !set_timeouts(h->fd, timeout_ms)) {
        drop_connection(*h);
        return NOX_IO_ERROR;
    }
    return NOX_OK;
}

int32_t nox_put(nox_handle* h, const char* key, const void* value, size_t length, int flags) {
    return store(h, key, value, length, flags, "\r\n$2\r\nNX\r\n", NOX_EXISTS);
}

int32_t nox_update(nox_handle* h, const char* key, const void* value, size_t length, int flags) {
    return store(h, key, value, length, flags, "\r\n$2\r\nXX\r\n", NOX_NOT_FOUND);
}

int32_t nox_remove(nox_handle* h, const char* key) {
    if (h == nullptr || key == nullptr) return NOX_BAD_ARGUMENT;
    static constexpr char prefix[] = "*2\r\n$3\r\nDEL\r\n$";
    const nox_status status = key_command(*h, prefix, sizeof prefix - 1, key, nullptr, 0);
    if (status != NOX_OK) return status;
    const auto& reply = h->reader.result();
    switch (reply.type) {
    case reply_type::integer:
        if (reply.integer > 0) return NOX_OK;
        return reply.integer == 0 ? NOX_NOT_FOUND : NOX_PROTOCOL_ERROR;
    case reply_type::error: return NOX_SERVER_ERROR;
    default: return NOX_PROTOCOL_ERROR;
    }
}

int32_t nox_get(nox_handle* h, const char* key, void* buffer, size_t* length) {
    if (h == nullptr || key == nullptr || length == nullptr || (buffer == nullptr && *length != 0)) {
        return NOX_BAD_ARGUMENT;
    }
    static constexpr char prefix[] = "*2\r\n$3\r\nGET\r\n$";
    const nox_status status =
        key_command(*h, prefix, sizeof prefix - 1, key, static_cast<char*>(buffer), *length);
    if (status != NOX_OK) return status;
    const auto& reply = h->reader.result();
    switch (reply.type) {
    case reply_type::bulk:
        if (!reply.fits()) {
            *length = reply.length > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(reply.length);
            return NOX_TOO_SMALL;
        }
        *length = reply.stored;
        return NOX_OK;
    case reply_type::nil: return NOX_NOT_FOUND;
    case reply_type::error: return NOX_SERVER_ERROR;
    default: return NOX_PROTOCOL_ERROR;
    }
}

int32_t nox_close(nox_handle* h) {
    if (h == nullptr) return NOX_BAD_ARGUMENT;
    drop_connection(*h);
    delete h;
    return NOX_OK;
}

}  // extern "C"
