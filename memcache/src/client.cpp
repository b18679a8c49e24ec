#include <memcache/client.hpp>

#include "exchange.hpp"
#include "protocol.hpp"

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
// The buffer never grows past one byte more than the longest reply accepted:
// that byte is enough to refuse a longer one.
constexpr std::size_t largest_buffer = detail::default_limits.reply_bytes() + 1;

// Why an exchange failed without a system error.
enum class exchange_error {
    reply_late = 1,   // the whole reply did not come within the limit
    request_stalled,  // the server took no byte of the request for as long
    peer_closed,      // the server closed the connection
    long_line,        // the reply was refused (detail::reply_refusal)
    large_value,
    long_reply,
    unrecognised,
};

// A size as the limits are written: "64 KiB", "1 GiB".
std::string size_text(std::size_t bytes) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
    std::size_t unit = 0;
    while (unit + 1 < std::size(units) && bytes != 0 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + units[unit];
}

// The causes a failed command gives after its message.
class exchange_category final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "memcache exchange"; }
    std::string message(int value) const override {
        const auto& limits = detail::default_limits;
        const std::string limit = std::to_string(client::reply_limit_ms) + " ms";
        switch (static_cast<exchange_error>(value)) {
        case exchange_error::reply_late: return "no reply within " + limit;
        case exchange_error::request_stalled: return "request not taken within " + limit;
        case exchange_error::peer_closed: return "connection closed by the server";
        case exchange_error::long_line:
            return "reply line longer than " + size_text(limits.line_bytes);
        case exchange_error::large_value:
            return "announced value larger than " + size_text(limits.value_bytes);
        case exchange_error::long_reply:
            return "reply longer than " + size_text(limits.value_bytes) + " + " +
                   size_text(2 * limits.line_bytes);
        case exchange_error::unrecognised:
            return "malformed reply with no end in " + size_text(limits.line_bytes);
        }
        return "unknown exchange error";
    }
};

boost::system::error_code make_error(exchange_error error) {
    static const exchange_category category;
    return boost::system::error_code(static_cast<int>(error), category);
}

boost::system::error_code make_error(detail::reply_refusal refused) {
    switch (refused) {
    case detail::reply_refusal::long_line: return make_error(exchange_error::long_line);
    case detail::reply_refusal::large_value: return make_error(exchange_error::large_value);
    case detail::reply_refusal::long_reply: return make_error(exchange_error::long_reply);
    case detail::reply_refusal::unrecognised:
    case detail::reply_refusal::none: break;
    }
    return make_error(exchange_error::unrecognised);
}

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
    servers_.emplace(server_name(host, port), std::move(server));
}

void client::add_local_server(const std::string& path) {
    connection server;
    server.path = path;
    servers_.emplace(local_server_name(path), std::move(server));
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

std::string client::server_name(const std::string& host, const std::string& port) {
    return host + ":" + port;
}

std::string client::local_server_name(const std::string& path) { return "unix:" + path; }

std::uint64_t client::server_index(std::string_view key) const {
    // Without servers, select_server reports the empty table.
    return server_index(key, servers_.size());
}

std::uint64_t client::server_index(std::string_view key, std::size_t servers) noexcept {
    // Any CRC modulo 1 is 0: a single server needs no hashing.
    if (servers <= 1) return 0;
    boost::crc_32_type crc;
    crc.process_bytes(key.data(), key.size());
    return static_cast<std::uint64_t>(crc.checksum()) % servers;
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

bool client::exchange(std::string_view key, detail::exchange& command) {
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
        command.fail(error.message());
    }
    return command.take(std::string_view(server.reply.data(), received), *this, server);
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
        if (ready == 0) return make_error(exchange_error::request_stalled);
        if (ready < 0 && errno != EINTR)
            return boost::system::error_code(errno, boost::system::system_category());
    }
    return {};
}

// Reads into the connection's reply buffer, from its start, until the
// command's check finds the end of the reply or refuses it. The limit runs
// from the end of the write on the steady clock and holds for the whole
// reply, however its bytes arrive: a server that keeps sending without ever
// completing a reply is cut off when it passes. The first read blocks,
// bounded by the socket's receive time-out (the reply limit): on a quick
// server it is the exchange's only wait, and the clock is not read again. A
// reply that comes in pieces is read on without blocking, waiting in poll for
// what is left of the limit.
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
            buffer.resize(std::min(std::max(buffer.size() * 2, received + wanted), largest_buffer));
        const ssize_t got =
            ::recv(socket, buffer.data() + received, buffer.size() - received, flags);
        if (got > 0) {
            received += static_cast<std::size_t>(got);
            const detail::reply_end end = command.complete(buffer.data(), received);
            if (end.length != 0) return {};
            if (end.refused != detail::reply_refusal::none) return make_error(end.refused);
            if (clock::now() >= deadline) return make_error(exchange_error::reply_late);
            wanted = std::min(std::max<std::size_t>(end.wanted, 1), largest_read_size);
            flags = MSG_DONTWAIT;
            continue;
        }
        if (got == 0) return make_error(exchange_error::peer_closed);
        const int failure = errno;
        if (failure != EAGAIN && failure != EWOULDBLOCK && failure != EINTR)
            return boost::system::error_code(failure, boost::system::system_category());
        flags = MSG_DONTWAIT;
        if (failure == EINTR) continue;
        const auto left = deadline - clock::now();
        if (left <= clock::duration::zero()) return make_error(exchange_error::reply_late);
        pollfd readable{socket, POLLIN, 0};
        if (::poll(&readable, 1, poll_timeout(left)) < 0 && errno != EINTR)
            return boost::system::error_code(errno, boost::system::system_category());
    }
}

std::string detail::refusal_text(detail::reply_refusal refused) {
    return make_error(refused).message();
}

void client::mark_down(connection& server) noexcept {
    server.connected = false;
    server.socket.reset();
}

}  // namespace memcache
