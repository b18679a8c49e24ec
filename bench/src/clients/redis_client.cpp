#include <bench/clients/redis_client.hpp>

#include <bench/thread_context.hpp>

#include <hiredis/hiredis.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace bench {

namespace {

struct reply_deleter {
    void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

timeval to_timeval(std::chrono::milliseconds limit) {
    // hiredis reads a zero time limit as "wait for ever".
    const auto ms = limit.count() < 1 ? 1 : limit.count();
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ms / 1000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((ms % 1000) * 1000);
    return tv;
}

// Sends one command, given as its words, and waits for its reply. The words
// go to hiredis with their lengths, so they are binary-safe, and the request
// is laid out in one pass rather than through a format text. A null result
// means the connection failed (refused write, time-out, closed, protocol
// error); the context is then in its error state and hiredis fails every
// later command on it, which the check up front makes explicit.
template <std::size_t N>
reply_ptr command(redisContext* connection, const char* (&words)[N],
                  const std::size_t (&lengths)[N]) {
    if (connection->err != 0) return nullptr;
    return reply_ptr(static_cast<redisReply*>(
        redisCommandArgv(connection, static_cast<int>(N), words, lengths)));
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

}  // namespace

redis_client::redis_client(const thread_context& context)
    : redis_client(context.settings.daemon, default_limit, default_limit) {}

redis_client::redis_client(const boost::asio::ip::tcp::endpoint& daemon,
                           std::chrono::milliseconds connect_limit,
                           std::chrono::milliseconds reply_limit)
    : client("redis") {
    // Dotted decimal for IPv4, the standard IPv6 text with "%scope" when set.
    const std::string host = daemon.address().to_string();
    connection = redisConnectWithTimeout(host.c_str(), daemon.port(), to_timeval(connect_limit));
    if (connection == nullptr || connection->err != 0 ||
        redisSetTimeout(connection, to_timeval(reply_limit)) != REDIS_OK) {
        if (connection != nullptr) redisFree(connection);
        connection = nullptr;
        throw std::runtime_error("Cannot connect to redis server");
    }
    keep_sigpipe_from_ending_the_run(connection->fd);
}

redis_client::~redis_client() {
    if (connection != nullptr) {
        redisFree(connection);
        connection = nullptr;
    }
}

void redis_client::set(const std::string& key, const std::string& value, const char* failure) {
    const char* words[] = {"SET", key.data(), value.data()};
    const std::size_t lengths[] = {3, key.size(), value.size()};
    const reply_ptr reply = command(connection, words, lengths);
    if (!reply || reply->type == REDIS_REPLY_ERROR) throw std::runtime_error(failure);
}

void redis_client::put(const std::string& key, const std::string& value) {
    set(key, value, "could not put entry");
}

void redis_client::update(const std::string& key, const std::string& value) {
    set(key, value, "could not update entry");
}

void redis_client::remove(const std::string& key) {
    const char* words[] = {"DEL", key.data()};
    const std::size_t lengths[] = {3, key.size()};
    const reply_ptr reply = command(connection, words, lengths);
    if (!reply || reply->type == REDIS_REPLY_ERROR) throw std::runtime_error("could not delete entry");
}

void redis_client::get(const std::string& key, std::string& value, std::size_t) {
    const char* words[] = {"GET", key.data()};
    const std::size_t lengths[] = {3, key.size()};
    const reply_ptr reply = command(connection, words, lengths);
    // A missing key answers with a nil reply.
    if (!reply || reply->type != REDIS_REPLY_STRING) throw std::runtime_error("could not get entry");
    value.assign(reply->str, reply->len);
}

}  // namespace bench
