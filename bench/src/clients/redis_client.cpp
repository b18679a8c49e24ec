#include <bench/clients/redis_client.hpp>

#include "stream_connect.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

// The longest reply line accepted (a status, an error, an integer or the
// length line of a bulk string). Redis' own lines are far shorter.
constexpr std::size_t max_line_bytes = 64 * 1024;
// The longest bulk string accepted: Redis' default proto-max-bulk-len, the
// longest value a server with default settings stores at all.
constexpr long long max_bulk_bytes = 512LL * 1024 * 1024;
// Time a request may take to go out before the first read of its reply is
// held to what is left of the operation's limit rather than to all of it.
constexpr auto write_slack = std::chrono::milliseconds(10);

timeval to_timeval(clock_type::duration limit) {
    // hiredis and the socket read a zero limit as "wait for ever".
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
        const auto left = deadline - clock_type::now();
        if (left <= clock_type::duration::zero()) return false;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
        if (ready > 0) return true;  // ready, or an error the next read or write reports
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Whether the part of the reply that has arrived stays within the bounds the
// client sets (see the class comment). The reader keeps an item unparsed
// until it is whole; once it has started on the reply, the type byte is
// parsed already and the reply's type is on its task stack.
bool within_bounds(const redisReader& reader) {
    const char* at = reader.buf + reader.pos;
    std::size_t pending = reader.len - reader.pos;
    bool bulk = false;
    if (reader.ridx < 0) {
        if (pending == 0) return true;
        switch (*at) {
        case '+':
        case '-':
        case ':': break;
        case '$': bulk = true; break;
        default: return false;  // an array, or no reply at all
        }
        ++at;
        --pending;
    } else {
        bulk = reader.rstack[0].type == REDIS_REPLY_STRING;
    }
    const auto* line_end =
        static_cast<const char*>(std::memchr(at, '\n', std::min(pending, max_line_bytes + 1)));
    if (line_end == nullptr) return pending <= max_line_bytes;
    if (bulk) {
        long long length = 0;
        for (const char* digit = at; digit < line_end && *digit >= '0' && *digit <= '9'; ++digit) {
            length = length * 10 + (*digit - '0');
            if (length > max_bulk_bytes) return false;
        }
    }
    return true;
}

// hiredis writes with write(2), so a command sent into a connection the
// server has reset (redis does that after refusing a client at its limit)
// raises SIGPIPE, whose default action ends the whole run without a word.
void keep_sigpipe_from_ending_the_run(int fd) {
#ifdef SO_NOSIGPIPE
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    // No per-socket switch here: ignore the signal, unless the program has
    // chosen its own handling of it. The write then fails with EPIPE and the
    // operation with its message.
    (void)fd;
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);
    }
#endif
}

// A failed connect: where to, and why.
[[noreturn]] void cannot_connect(const endpoint& daemon, const std::string& reason) {
    throw std::runtime_error("Cannot connect to redis server " + endpoint_text(daemon) + ": " +
                             reason);
}

// An operation the server answered with an error: its message, then the
// server's reply. Kept out of line, away from the operations' usual path.
[[noreturn]] void refused(const char* failure, const redisReply& reply) {
    throw std::runtime_error(std::string(failure) + ": " + std::string(reply.str, reply.len));
}

}  // namespace

void redis_client::context_release::operator()(redisContext* connection) const noexcept {
    redisFree(connection);
}

void redis_client::reply_release::operator()(redisReply* reply) const noexcept {
    freeReplyObject(reply);
}

redis_client::redis_client(const endpoint& daemon, const client_options& options,
                           std::chrono::milliseconds connect_limit,
                           std::chrono::milliseconds operation_limit)
    : client("redis"),
      operation_limit_(std::max(operation_limit, std::chrono::milliseconds(1))) {
    const auto deadline = clock_type::now() + std::max(connect_limit, std::chrono::milliseconds(1));
    int fd = -1;
    try {
        fd = connect_stream_socket(daemon, deadline);
    } catch (const std::system_error& error) {
        cannot_connect(daemon, error.code().message());
    }
    // hiredis takes the connected socket over, and closes it with the context.
    connection_.reset(redisConnectFd(fd));
    if (!connection_) {
        ::close(fd);
        cannot_connect(daemon, "out of memory");
    }
    // The socket's own limits bound each blocking write and read to the
    // operation's limit; exchange() holds the whole operation to it.
    if (connection_->err != 0 ||
        redisSetTimeout(connection_.get(), to_timeval(operation_limit_)) != REDIS_OK)
        cannot_connect(daemon, connection_->errstr);
    keep_sigpipe_from_ending_the_run(connection_->fd);
    if (options.redis_login) log_in(daemon, *options.redis_login);
}

redis_client::~redis_client() = default;

redis_client::reply_ptr redis_client::exchange(int count, const char** words,
                                               const std::size_t* lengths) {
    reply_ptr reply;
    if (!connection_) return reply;
    if (redisAppendCommandArgv(connection_.get(), count, words, lengths) != REDIS_OK ||
        !send_and_receive(reply)) {
        // A late or partial reply would be taken for the answer to the next
        // command: the connection cannot be used again.
        reply.reset();
        connection_.reset();
    }
    return reply;
}

bool redis_client::send_and_receive(reply_ptr& reply) {
    redisContext* const connection = connection_.get();
    const auto start = clock_type::now();
    const auto deadline = start + operation_limit_;

    // The socket's limits are the whole operation's; once part of it is
    // spent, a blocking call may only wait for what is left.
    bool shortened = false;
    const auto shorten = [&] {
        const auto left = deadline - clock_type::now();
        shortened = true;
        return left > clock_type::duration::zero() &&
               redisSetTimeout(connection, to_timeval(left)) == REDIS_OK;
    };

    // The usual request goes out in one write. A write is cut short only when
    // the socket's limit passed or a signal came; the rest then goes out as
    // room appears, within what is left.
    int done = 0;
    if (redisBufferWrite(connection, &done) != REDIS_OK) return false;
    while (done == 0) {
        if (!wait_until(connection->fd, POLLOUT, deadline) || !shorten() ||
            redisBufferWrite(connection, &done) != REDIS_OK)
            return false;
    }

    // The first read blocks, bounded by the socket's limit, so that the usual
    // operation costs one write and one read; a reply that needs more reads
    // gets them as its bytes arrive, within what is left.
    if (!shortened && clock_type::now() - start > write_slack && !shorten()) return false;
    redisReader& reader = *connection->reader;
    for (;;) {
        if (redisBufferRead(connection) != REDIS_OK || !within_bounds(reader)) return false;
        void* whole = nullptr;
        if (redisGetReplyFromReader(connection, &whole) != REDIS_OK) return false;
        if (whole != nullptr) {
            reply.reset(static_cast<redisReply*>(whole));
            break;
        }
        if (!wait_until(connection->fd, POLLIN, deadline)) return false;
    }
    // Only one command is ever outstanding, so bytes past its reply mean the
    // stream is out of step.
    if (reader.len != reader.pos) return false;
    return !shortened || redisSetTimeout(connection, to_timeval(operation_limit_)) == REDIS_OK;
}

void redis_client::log_in(const endpoint& daemon, const redis_credentials& login) {
    const char* words[] = {"AUTH", login.user.data(), login.password.data()};
    const std::size_t lengths[] = {4, login.user.size(), login.password.size()};
    reply_ptr reply;
    if (login.user.empty()) {
        const char* password_only[] = {words[0], words[2]};
        const std::size_t password_length[] = {lengths[0], lengths[2]};
        reply = exchange(2, password_only, password_length);
    } else {
        reply = exchange(3, words, lengths);
    }
    if (!reply) cannot_connect(daemon, "no reply to AUTH");
    if (reply->type == REDIS_REPLY_ERROR)
        throw std::runtime_error("redis authentication failed: " +
                                 std::string(reply->str, reply->len));
}

void redis_client::store(const std::string& key, const std::string& value, const char* failure) {
    const char* words[] = {"SET", key.data(), value.data()};
    const std::size_t lengths[] = {3, key.size(), value.size()};
    const reply_ptr reply = exchange(3, words, lengths);
    if (!reply) throw std::runtime_error(failure);
    if (reply->type == REDIS_REPLY_ERROR) refused(failure, *reply);
}

redis_client::reply_ptr redis_client::fetch(const std::string& key) {
    const char* words[] = {"GET", key.data()};
    const std::size_t lengths[] = {3, key.size()};
    reply_ptr reply = exchange(2, words, lengths);
    // A missing key answers with a nil reply.
    if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_NIL)) {
        if (reply && reply->type == REDIS_REPLY_ERROR) refused("could not get entry", *reply);
        throw std::runtime_error("could not get entry");
    }
    return reply;
}

void redis_client::put(const std::string& key, const std::string& value) {
    store(key, value, "could not put entry");
}

void redis_client::update(const std::string& key, const std::string& value) {
    store(key, value, "could not update entry");
}

void redis_client::remove(const std::string& key) {
    const char* words[] = {"DEL", key.data()};
    const std::size_t lengths[] = {3, key.size()};
    const reply_ptr reply = exchange(2, words, lengths);
    if (!reply) throw std::runtime_error("could not delete entry");
    if (reply->type == REDIS_REPLY_ERROR) refused("could not delete entry", *reply);
}

void redis_client::get(const std::string& key, std::string& value, std::size_t) {
    const reply_ptr reply = fetch(key);
    if (reply->type != REDIS_REPLY_STRING) throw std::runtime_error("could not get entry");
    value.assign(reply->str, reply->len);
}

void redis_client::set(const std::string& key, const std::string& value) {
    store(key, value, "could not set entry");
}

bool redis_client::try_get(const std::string& key, std::string& value) {
    const reply_ptr reply = fetch(key);
    if (reply->type != REDIS_REPLY_STRING) return false;
    value.assign(reply->str, reply->len);
    return true;
}

bool redis_client::try_update(const std::string& key, const std::string& value) {
    const char* words[] = {"SET", key.data(), value.data(), "XX"};
    const std::size_t lengths[] = {3, key.size(), value.size(), 2};
    const reply_ptr reply = exchange(4, words, lengths);
    // +OK when written; nil when the key is missing.
    if (reply && reply->type == REDIS_REPLY_STATUS) return true;
    if (reply && reply->type == REDIS_REPLY_NIL) return false;
    if (reply && reply->type == REDIS_REPLY_ERROR) refused("could not update entry", *reply);
    throw std::runtime_error("could not update entry");
}

bool redis_client::try_remove(const std::string& key) {
    const char* words[] = {"DEL", key.data()};
    const std::size_t lengths[] = {3, key.size()};
    const reply_ptr reply = exchange(2, words, lengths);
    // The number of keys deleted: 1, or 0 when the key is missing.
    if (!reply || reply->type != REDIS_REPLY_INTEGER || reply->integer < 0) {
        if (reply && reply->type == REDIS_REPLY_ERROR) refused("could not delete entry", *reply);
        throw std::runtime_error("could not delete entry");
    }
    return reply->integer != 0;
}

}  // namespace bench
