#include <memcache/client.hpp>

#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/crc.hpp>
#include <boost/thread/lock_guard.hpp>

#include <algorithm>
#include <array>
#include <iterator>
#include <locale>

namespace memcache {

using boost::asio::ip::tcp;

namespace {

// Read size while nothing is known of the rest of a reply (single lines), and
// the most one read asks for when a long data block is due.
constexpr std::size_t line_read_size = 512;
constexpr std::size_t largest_read_size = std::size_t(1) << 20;

std::size_t read_size(const detail::reply_end& end) {
    return std::min(std::max(end.wanted, line_read_size), largest_read_size);
}

// Reads piece after piece into the reply buffer until the check says the
// reply is complete or the socket reports an error. The sizes asked for come
// from the check, so a long data block is read in few large pieces.
class reply_reader {
public:
    reply_reader(tcp::socket& socket, boost::asio::streambuf& reply,
                 client::reply_check complete, bool& done,
                 boost::system::error_code& error) noexcept
        : socket_(&socket), reply_(&reply), complete_(complete), done_(&done), error_(&error) {}

    void start(std::size_t wanted) { socket_->async_read_some(reply_->prepare(wanted), *this); }

    void operator()(const boost::system::error_code& error, std::size_t received) {
        reply_->commit(received);
        if (error) {
            *error_ = error;
            *done_ = true;
            return;
        }
        const auto bytes = reply_->data();
        const detail::reply_end end = complete_(static_cast<const char*>(bytes.data()), bytes.size());
        if (end.length != 0) {
            *done_ = true;
            return;
        }
        start(read_size(end));
    }

private:
    tcp::socket* socket_;
    boost::asio::streambuf* reply_;
    client::reply_check complete_;
    bool* done_;
    boost::system::error_code* error_;
};

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

void client::connect(std::uint64_t limit_ms) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    for (auto& entry : servers_) {
        if (!entry.second.connected) connect_one(entry.second, limit_ms);
    }
}

void client::connect_one(connection& server, std::uint64_t limit_ms) {
    auto socket = std::make_shared<tcp::socket>(io_);
    // An empty list of endpoints counts as a failure.
    boost::system::error_code result = boost::asio::error::host_not_found;
    try {
        tcp::resolver resolver(io_);
        const auto endpoints =
            resolver.resolve(server.host, server.port, tcp::resolver::numeric_service, result);
        if (!result) result = boost::asio::error::host_not_found;
        for (auto it = endpoints.begin(); result && it != endpoints.end(); ++it) {
            result = connect_attempt(*socket, it->endpoint(), limit_ms);
        }
        if (!result) {
            boost::system::error_code ignored;
            socket->set_option(tcp::no_delay(true), ignored);  // requests go out whole
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

boost::system::error_code client::connect_attempt(tcp::socket& socket,
                                                  const tcp::endpoint& endpoint,
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

std::uint64_t client::server_index(const std::string& key) const {
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

void client::validate_key(const std::string& key) {
    if (key.size() > max_key_length) throw invalid_key(key);
    const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
    const char* const end = key.data() + key.size();
    if (ctype.scan_is(std::ctype_base::space | std::ctype_base::cntrl, key.data(), end) != end)
        throw invalid_key(key);
}

void client::write_request(tcp::socket& socket, const std::string& request) {
    boost::asio::write(socket, boost::asio::buffer(request));
}

void client::write_request(tcp::socket& socket, const std::string& head, std::string_view data) {
    static const char line_end[] = {'\r', '\n'};
    const std::array<boost::asio::const_buffer, 3> pieces = {
        boost::asio::buffer(head), boost::asio::buffer(data.data(), data.size()), boost::asio::buffer(line_end)};
    boost::asio::write(socket, pieces);
}

void client::read_until_with_timeout(tcp::socket& socket, boost::asio::streambuf& reply,
                                     reply_check complete, std::uint64_t limit_ms) {
    const auto received = reply.data();
    const detail::reply_end end =
        complete(static_cast<const char*>(received.data()), received.size());
    if (end.length != 0) return;

    // The limit is set before anything is started, so a failure here leaves
    // no operation pending.
    boost::asio::steady_timer timer(io_);
    timer.expires_after(duration(limit_ms));
    boost::system::error_code error;

    bool read_done = false;
    boost::system::error_code read_error;
    bool timer_done = false;
    bool timed_out = false;
    reply_reader(socket, reply, complete, read_done, read_error).start(read_size(end));
    timer.async_wait([&timer_done](const boost::system::error_code&) { timer_done = true; });

    try {
        io_.restart();
        for (;;) {
            if (io_.run_one() == 0) break;
            if (read_done) {
                timer.cancel();
                break;
            }
            if (timer_done) {
                socket.close(error);  // aborts the read
                timed_out = true;
                break;
            }
        }
        io_.run();  // lets the cancelled handlers complete
    } catch (...) {
        // The handlers refer to this frame: close and drain before leaving.
        socket.close(error);
        try {
            timer.cancel();
            io_.restart();
            io_.run();
        } catch (...) {
        }
        throw;
    }
    if (read_error) throw boost::system::system_error(read_error);
    // A read that finished while the limit was being enforced still lost its
    // socket; the exchange has failed.
    if (timed_out) throw boost::system::system_error(boost::asio::error::operation_aborted);
}

void client::mark_down(connection& server) noexcept {
    server.connected = false;
    server.socket.reset();
}

}  // namespace memcache
