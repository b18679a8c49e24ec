#include <memcache/client.hpp>

#include "exchange.hpp"

#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/crc.hpp>
#include <boost/thread/lock_guard.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <iterator>
#include <locale>

namespace memcache {

using boost::asio::ip::tcp;
using stream = boost::asio::generic::stream_protocol;

namespace {

// Room for the first reply of a connection: a short line, or a get of a
// small value. A longer reply grows the buffer, which keeps its size.
constexpr std::size_t first_reply_capacity = 4096;
// The most a single read adds to the buffer while a long data block is due.
constexpr std::size_t largest_read_size = std::size_t(1) << 20;

// The receive time-out of a connected socket: every blocking read of an
// exchange waits at most the reply limit.
boost::system::error_code set_receive_limit(int socket, std::uint64_t limit_ms) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(limit_ms / 1000);
    limit.tv_usec = static_cast<suseconds_t>(limit_ms % 1000 * 1000);
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
        return boost::system::error_code(errno, boost::system::system_category());
    return {};
}

// Milliseconds for poll, rounded up so that a wait never ends before `left`.
int poll_timeout(std::chrono::steady_clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

// A time limit as the steady timer takes it. Limits measure elapsed time on
// the steady clock, so a step of the wall clock (NTP, a resumed virtual
// machine) neither ends a wait early nor makes it longer. Absurdly long
// limits saturate instead of overflowing the clock's representation.
boost::asio::steady_timer::duration duration(std::uint64_t limit_ms) {
    using limit = std::chrono::milliseconds;
    constexpr auto longest = std::chrono::duration_cast<limit>(
        boost::asio::steady_timer::duration::max() / 2);
    const auto wanted = limit_ms < static_cast<std::uint64_t>(longest.count())
                            ? limit(static_cast<limit::rep>(limit_ms))
                            : longest;
    return std::chrono::duration_cast<boost::asio::steady_timer::duration>(wanted);
}

}  // namespace

client::client() = default;

client::~client() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    servers_.clear();  // closes every socket
    io_.stop();
}

void client::add_server(const std::string& host, const std::string& port) {
    connection server;
    server.host = host;
    server.port = port;
    servers_.emplace(host + ":" + port, std::move(server));
}

void client::add_local_server(const std::string& path) {
    connection server;
    server.path = path;
    servers_.emplace("unix:" + path, std::move(server));
}

void client::connect(std::uint64_t limit_ms) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    for (auto& entry : servers_) {
        if (!entry.second.connected) connect_one(entry.second, limit_ms);
    }
}

void client::connect_one(connection& server, std::uint64_t limit_ms) {
    auto socket = std::make_shared<stream::socket>(io_);
    // An empty list of endpoints counts as a failure.
    boost::system::error_code result = boost::asio::error::host_not_found;
    try {
        const bool local = !server.path.empty();
        if (local) {
            // A path too long for a socket address raises, and fails the connect.
            result = connect_attempt(
                *socket, stream::endpoint(boost::asio::local::stream_protocol::endpoint(server.path)),
                limit_ms);
        } else {
            tcp::resolver resolver(io_);
            const auto endpoints =
                resolver.resolve(server.host, server.port, tcp::resolver::numeric_service, result);
            if (!result) result = boost::asio::error::host_not_found;
            for (auto it = endpoints.begin(); result && it != endpoints.end(); ++it) {
                result = connect_attempt(*socket, stream::endpoint(it->endpoint()), limit_ms);
            }
        }
        if (!result) {
            boost::system::error_code ignored;
            if (!local) socket->set_option(tcp::no_delay(true), ignored);  // requests go out whole
            // Exchanges write and read in blocking mode: a read that finds no
            // reply yet sleeps in the kernel until it comes or the receive
            // time-out passes, one system call instead of an event loop's
            // several.
            socket->native_non_blocking(false, result);
            if (!result) result = set_receive_limit(socket->native_handle(), reply_limit_ms);
        }
    } catch (const boost::system::system_error& error) {
        result = error.code();
    }
    if (result) {
        server.connected = false;
        server.socket.reset();
    } else {
        server.connected = true;
        server.socket = std::move(socket);
    }
}

boost::system::error_code client::connect_attempt(stream::socket& socket,
                                                  const stream::endpoint& endpoint,
                                                  std::uint64_t limit_ms) {
    boost::system::error_code ignored;
    socket.close(ignored);

    boost::asio::steady_timer timer(io_);
    timer.expires_after(duration(limit_ms));
    bool connect_done = false;
    boost::system::error_code connect_error;
    bool timer_done = false;
    socket.async_connect(endpoint, [&](const boost::system::error_code& error) {
        connect_done = true;
        connect_error = error;
    });
    timer.async_wait([&timer_done](const boost::system::error_code&) { timer_done = true; });

    try {
        io_.restart();
        bool cancelled = false;
        while (io_.run_one() != 0) {
            if (connect_done) {
                timer.cancel();
            } else if (timer_done && !cancelled) {
                socket.cancel(ignored);  // the connect ends with operation_aborted
                cancelled = true;
            }
        }
    } catch (...) {
        // The handlers refer to this frame: close and drain before leaving.
        socket.close(ignored);
        try {
            timer.cancel();
            io_.restart();
            io_.run();
        } catch (...) {
        }
        throw;
    }
    return connect_error;
}

std::uint64_t client::server_index(std::string_view key) const {
    if (servers_.empty()) return 0;  // select_server reports the empty table
    // Any CRC modulo 1 is 0: a single server needs no hashing.
    if (servers_.size() == 1) return 0;
    boost::crc_32_type crc;
    crc.process_bytes(key.data(), key.size());
    return static_cast<std::uint64_t>(crc.checksum()) % servers_.size();
}

connection& client::select_server(std::uint64_t index) {
    if (servers_.empty()) throw no_available_servers();
    if (index >= servers_.size()) throw offset_out_of_bounds(index);
    const auto home = std::next(servers_.begin(), static_cast<std::ptrdiff_t>(index));
    if (home->second.connected) return home->second;
    for (auto it = std::next(home); it != servers_.end(); ++it) {
        if (it->second.connected) return it->second;
    }
    for (auto it = servers_.begin(); it != home; ++it) {
        if (it->second.connected) return it->second;
    }
    throw no_available_servers();
}

void client::validate_key(std::string_view key) {
    if (key.size() > max_key_length) throw invalid_key(std::string(key));
    const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
    const char* const end = key.data() + key.size();
    if (ctype.scan_is(std::ctype_base::space | std::ctype_base::cntrl, key.data(), end) != end)
        throw invalid_key(std::string(key));
}

void client::exchange(std::string_view key, detail::exchange& command) {
    const std::uint64_t index = server_index(key);
    boost::lock_guard<boost::mutex> lock(mutex_);
    validate_key(key);
    connection& server = select_server(index);

    boost::system::error_code error;
    std::size_t received = 0;
    try {
        error = send(server, command.request());
        if (!error) error = receive(server, command, received);
    } catch (...) {
        // The stream may hold part of a request or of a reply.
        mark_down(server);
        throw;
    }
    if (error) {
        mark_down(server);
        command.fail();
    }
    command.take(std::string_view(server.reply.data(), received), *this, server);
}

// Writes the whole request. A server that stops reading must not hold the
// client for ever once the socket's send buffer is full, so every wait for
// room is bounded by the reply limit; a request that keeps moving, however
// large and however slow the network, is never cut short. The writes never
// block and never raise SIGPIPE.
boost::system::error_code client::send(connection& server,
                                       const detail::exchange::request_pieces& pieces) {
    const int socket = server.socket->native_handle();
    std::array<iovec, std::tuple_size<detail::exchange::request_pieces>::value> parts{};
    std::size_t first = 0;
    std::size_t count = 0;
    for (const auto& piece : pieces) {
        if (piece.size() == 0) continue;
        parts[count].iov_base = const_cast<void*>(piece.data());
        parts[count].iov_len = piece.size();
        ++count;
    }
    int send_flags = MSG_DONTWAIT;
#ifdef MSG_NOSIGNAL
    send_flags |= MSG_NOSIGNAL;
#endif
    while (first < count) {
        msghdr message{};
        message.msg_iov = parts.data() + first;
        message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count - first);
        const ssize_t sent = ::sendmsg(socket, &message, send_flags);
        if (sent >= 0) {
            auto left = static_cast<std::size_t>(sent);
            while (first < count && left >= parts[first].iov_len) left -= parts[first++].iov_len;
            if (first < count) {
                parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
                parts[first].iov_len -= left;
            }
            continue;
        }
        const int failure = errno;
        if (failure == EINTR) continue;
        if (failure != EAGAIN && failure != EWOULDBLOCK)
            return boost::system::error_code(failure, boost::system::system_category());
        pollfd writable{socket, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, static_cast<int>(reply_limit_ms));
        if (ready == 0) return boost::asio::error::timed_out;
        if (ready < 0 && errno != EINTR)
            return boost::system::error_code(errno, boost::system::system_category());
    }
    return {};
}

// Reads into the connection's reply buffer, from its start, until the
// command's check finds the end of the reply. The limit runs from the end of
// the write on the steady clock. The first read blocks, bounded by the
// socket's receive time-out (the reply limit): on a quick server it is the
// exchange's only wait. A reply that comes in pieces is read on without
// blocking, waiting in poll for what is left of the limit.
boost::system::error_code client::receive(connection& server, const detail::exchange& command,
                                          std::size_t& received) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(reply_limit_ms);
    const int socket = server.socket->native_handle();
    std::vector<char>& buffer = server.reply;
    std::size_t wanted = first_reply_capacity;
    int flags = 0;
    received = 0;
    for (;;) {
        if (buffer.size() - received < wanted)
            buffer.resize(std::max(buffer.size() * 2, received + wanted));
        const ssize_t got =
            ::recv(socket, buffer.data() + received, buffer.size() - received, flags);
        if (got > 0) {
            received += static_cast<std::size_t>(got);
            const detail::reply_end end = command.complete(buffer.data(), received);
            if (end.length != 0) return {};
            wanted = std::min(std::max(end.wanted, std::size_t(1)), largest_read_size);
            flags = MSG_DONTWAIT;
            continue;
        }
        if (got == 0) return boost::asio::error::eof;
        const int failure = errno;
        if (failure != EAGAIN && failure != EWOULDBLOCK && failure != EINTR)
            return boost::system::error_code(failure, boost::system::system_category());
        flags = MSG_DONTWAIT;
        if (failure == EINTR) continue;
        const auto left = deadline - clock::now();
        if (left <= clock::duration::zero()) return boost::asio::error::timed_out;
        pollfd readable{socket, POLLIN, 0};
        if (::poll(&readable, 1, poll_timeout(left)) < 0 && errno != EINTR)
            return boost::system::error_code(errno, boost::system::system_category());
    }
}

void client::mark_down(connection& server) noexcept {
    server.connected = false;
    server.socket.reset();
}

}  // namespace memcache
