#include <bench/clients/redis_client.hpp>

#include <bench/detail/wait.hpp>

#include "stream_connect.hpp"

#include <hiredis/read.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#if !defined(MSG_NOSIGNAL) && !defined(SO_NOSIGPIPE)
#error "no way to keep a reset connection from raising SIGPIPE on this platform"
#endif

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;
using reply_kind = detail::redis_reply_reader::kind;
using reply_progress = detail::redis_reply_reader::progress;

// Time a request may take to go out before the first read of its reply is
// held to what is left of the operation's limit rather than to all of it.
constexpr auto write_slack = std::chrono::milliseconds(10);
// Bytes taken from the socket by one read.
constexpr std::size_t input_bytes = 64 * 1024;
// Words at least this long are written from the caller's string rather than
// copied into the command.
constexpr std::size_t copied_word_bytes = 256;

#ifdef MSG_NOSIGNAL
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

timeval to_timeval(clock_type::duration limit) {
    // The socket reads a zero limit as "wait for ever".
    const auto us = std::max<long long>(
        std::chrono::ceil<std::chrono::microseconds>(limit).count(), 1);
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(us / 1000000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us % 1000000);
    return tv;
}

// Waits until fd is ready for `events`; false once the deadline has passed
// or the wait itself failed.
bool wait_until(int fd, short events, clock_type::time_point deadline) {
    for (;;) {
        const auto left = detail::milliseconds_left(deadline, std::chrono::milliseconds(INT_MAX));
        if (left.count() == 0) return false;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;  // ready, or an error the next read or write reports
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Writes `number` in decimal at `out`; returns the end.
char* put_number(char* out, std::size_t number) noexcept {
    return std::to_chars(out, out + 20, number).ptr;
}

char* put_line_end(char* out) noexcept {
    out[0] = '\r';
    out[1] = '\n';
    return out + 2;
}

// A failed connect: where to, and why.
[[noreturn]] void cannot_connect(const endpoint& daemon, const std::string& reason) {
    throw std::runtime_error("Cannot connect to redis server " + endpoint_text(daemon) + ": " +
                             reason);
}

// An operation the server answered with an error: its message, then the
// server's reply. Kept out of line, away from the operations' usual path.
[[noreturn]] void refused(const char* failure, const detail::redis_reply_reader& reply) {
    throw std::runtime_error(std::string(failure) + ": " + reply.error_text());
}

}  // namespace

redis_client::socket_handle::~socket_handle() { close(); }

void redis_client::socket_handle::close() noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

redis_client::redis_client(const endpoint& daemon, const client_options& options,
                           std::chrono::milliseconds connect_limit,
                           std::chrono::milliseconds operation_limit)
    : client("redis"),
      operation_limit_(std::max(operation_limit, std::chrono::milliseconds(1))),
      input_(new char[input_bytes]) {
    const auto deadline = clock_type::now() + std::max(connect_limit, std::chrono::milliseconds(1));
    try {
        socket_.fd = connect_stream_socket(daemon, deadline);
    } catch (const std::system_error& error) {
        cannot_connect(daemon, error.code().message());
    }
    // The socket's own limits bound each blocking write and read to the
    // operation's limit; send_and_receive() holds the whole operation to it.
    if (!limit_socket_waits(operation_limit_)) cannot_connect(daemon, std::strerror(errno));
#if !defined(MSG_NOSIGNAL)
    const int on = 1;
    if (::setsockopt(socket_.fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0)
        cannot_connect(daemon, std::strerror(errno));
#endif
    if (options.redis_login) log_in(daemon, *options.redis_login);
}

redis_client::~redis_client() = default;

bool redis_client::limit_socket_waits(clock_type::duration limit) noexcept {
    const timeval tv = to_timeval(limit);
    return ::setsockopt(socket_.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           ::setsockopt(socket_.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

void redis_client::compose(std::initializer_list<std::string_view> words) {
    // The longest the text can be: the count line, and for each word its
    // length line, the word when it is copied and its CR LF.
    std::size_t longest = 1 + 20 + 2;
    for (const std::string_view word : words)
        longest += 1 + 20 + 2 + (word.size() < copied_word_bytes ? word.size() : 0) + 2;
    if (longest > request_capacity_) {
        const std::size_t capacity = std::max(longest, 2 * request_capacity_);
        request_.reset(new char[capacity]);
        request_capacity_ = capacity;
    }
    piece_count_ = 0;
    char* const text = request_.get();
    char* stretch = text;  // where the text not yet in a piece begins
    char* out = text;
    *out++ = '*';
    out = put_line_end(put_number(out, words.size()));
    for (const std::string_view word : words) {
        *out++ = '$';
        out = put_line_end(put_number(out, word.size()));
        if (word.size() >= copied_word_bytes) {
            pieces_[piece_count_++] = {stretch, static_cast<std::size_t>(out - stretch)};
            pieces_[piece_count_++] = {word.data(), word.size()};
            stretch = out;
        } else {
            std::memcpy(out, word.data(), word.size());
            out += word.size();
        }
        out = put_line_end(out);
    }
    pieces_[piece_count_++] = {stretch, static_cast<std::size_t>(out - stretch)};
}

bool redis_client::exchange(std::initializer_list<std::string_view> words, std::string* value) {
    if (socket_.fd < 0) return false;
    compose(words);
    reply_.start(value);
    if (!send_and_receive()) {
        // A late or partial reply would be taken for the answer to the next
        // command: the connection cannot be used again.
        socket_.close();
        return false;
    }
    return true;
}

bool redis_client::send_and_receive() {
    const int fd = socket_.fd;
    const auto start = clock_type::now();
    const auto deadline = start + operation_limit_;

    // The socket's limits are the whole operation's; once part of it is
    // spent, a blocking call may only wait for what is left.
    bool shortened = false;
    const auto shorten = [&] {
        const auto left = deadline - clock_type::now();
        shortened = true;
        return left > clock_type::duration::zero() && limit_socket_waits(left);
    };

    // The usual request goes out in one write. A write is cut short only when
    // the socket's limit passed or a signal came; the rest then goes out as
    // room appears, within what is left.
    iovec parts[max_pieces];
    for (std::size_t i = 0; i < piece_count_; ++i) {
        parts[i].iov_base = const_cast<char*>(pieces_[i].data);
        parts[i].iov_len = pieces_[i].length;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(piece_count_);
    for (;;) {
        const ssize_t sent = ::sendmsg(fd, &message, send_flags);
        if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // Past what went out.
        auto left = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
        while (message.msg_iovlen > 0 && left >= message.msg_iov->iov_len) {
            left -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen == 0) break;
        message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + left;
        message.msg_iov->iov_len -= left;
        if (!wait_until(fd, POLLOUT, deadline) || !shorten()) return false;
    }

    // The first read blocks, bounded by the socket's limit, so that the usual
    // operation costs one write and one read; a reply that needs more reads
    // gets them as its bytes arrive, within what is left.
    if (!shortened && clock_type::now() - start > write_slack && !shorten()) return false;
    for (;;) {
        const ssize_t got = ::recv(fd, input_.get(), input_bytes, 0);
        if (got > 0) {
            const reply_progress now = reply_.feed(input_.get(), static_cast<std::size_t>(got));
            if (now == reply_progress::failed) return false;
            if (now == reply_progress::whole) break;
        } else if (got == 0 || errno != EINTR) {
            return false;  // closed by the server, the socket's limit passed, or broken
        }
        if (!wait_until(fd, POLLIN, deadline)) return false;
    }
    return !shortened || limit_socket_waits(operation_limit_);
}

void redis_client::log_in(const endpoint& daemon, const redis_credentials& login) {
    const bool done = login.user.empty() ? exchange({"AUTH", login.password})
                                         : exchange({"AUTH", login.user, login.password});
    if (!done) cannot_connect(daemon, "no reply to AUTH");
    if (reply_.type() == reply_kind::error)
        throw std::runtime_error("redis authentication failed: " + reply_.error_text());
}

void redis_client::store(const std::string& key, const std::string& value, const char* failure) {
    if (!exchange({"SET", key, value})) throw std::runtime_error(failure);
    if (reply_.type() == reply_kind::error) refused(failure, reply_);
}

bool redis_client::fetch(const std::string& key, std::string& value) {
    // A missing key answers with a nil reply.
    if (exchange({"GET", key}, &value)) {
        if (reply_.type() == reply_kind::string) return true;
        if (reply_.type() == reply_kind::nil) return false;
        if (reply_.type() == reply_kind::error) refused("could not get entry", reply_);
    }
    throw std::runtime_error("could not get entry");
}

void redis_client::put(const std::string& key, const std::string& value) {
    store(key, value, "could not put entry");
}

void redis_client::update(const std::string& key, const std::string& value) {
    store(key, value, "could not update entry");
}

void redis_client::remove(const std::string& key) {
    if (!exchange({"DEL", key})) throw std::runtime_error("could not delete entry");
    if (reply_.type() == reply_kind::error) refused("could not delete entry", reply_);
}

void redis_client::get(const std::string& key, std::string& value, std::size_t) {
    if (!fetch(key, value)) throw std::runtime_error("could not get entry");
}

void redis_client::set(const std::string& key, const std::string& value) {
    store(key, value, "could not set entry");
}

void redis_client::asking(const char* failure) {
    if (!exchange({"ASKING"})) throw std::runtime_error(failure);
    if (reply_.type() == reply_kind::error) refused(failure, reply_);
}

bool redis_client::try_get(const std::string& key, std::string& value) {
    return fetch(key, value);
}

bool redis_client::try_update(const std::string& key, const std::string& value) {
    // +OK when written; nil when the key is missing.
    if (exchange({"SET", key, value, "XX"})) {
        if (reply_.type() == reply_kind::status) return true;
        if (reply_.type() == reply_kind::nil) return false;
        if (reply_.type() == reply_kind::error) refused("could not update entry", reply_);
    }
    throw std::runtime_error("could not update entry");
}

bool redis_client::try_remove(const std::string& key) {
    // The number of keys deleted: 1, or 0 when the key is missing.
    if (exchange({"DEL", key})) {
        if (reply_.type() == reply_kind::integer && reply_.integer() >= 0)
            return reply_.integer() != 0;
        if (reply_.type() == reply_kind::error) refused("could not delete entry", reply_);
    }
    throw std::runtime_error("could not delete entry");
}

}  // namespace bench
