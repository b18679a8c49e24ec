#include <bench/pipeline/connection_set.hpp>

#include "../clients/stream_connect.hpp"

#include <bench/clients/redis_client.hpp>
#include <bench/detail/wait.hpp>
#include <bench/interrupt.hpp>
#include <bench/pipeline/codec.hpp>
#include <bench/settings.hpp>

#include <memcache/client.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace asio = boost::asio;

namespace {

using clock = std::chrono::steady_clock;

// How often the loop looks for a stop request and for replies past their
// limit, at most.
constexpr std::chrono::milliseconds tick{20};
// The bytes one read takes at most.
constexpr std::size_t read_size = 64 * 1024;

// The requests of an operation, in the order they are written.
request_kind first_request(operation op) noexcept {
    switch (op) {
    case operation::get:
    case operation::read_modify_write: return request_kind::get;
    case operation::put: return request_kind::set;
    case operation::update: return request_kind::update;
    case operation::remove: return request_kind::remove;
    }
    return request_kind::get;
}

// Whether a write or read failed because the server closed the connection:
// a write then meets EPIPE or a reset, a read the end of the stream or a
// reset, whichever comes first.
bool closed_by_peer(const boost::system::error_code& error) noexcept {
    return error == asio::error::broken_pipe || error == asio::error::connection_reset;
}

// A step in flight on a connection.
struct slot {
    pipelined_step step;
    clock::time_point start{};  // when its requests were written; until then, drawn
    bool sent = false;
    bool got_first = false;     // a read-modify-write whose get's reply came
    bool first_hit = false;     // and what it said
};

// One connection: its socket, its codec, the requests not yet written and
// the steps in flight, oldest first, in a ring of the pipeline's depth.
struct link {
    explicit link(asio::io_context& io) : socket(io) {}

    asio::generic::stream_protocol::socket socket;
    std::unique_ptr<pipeline_codec> codec;
    std::string out;      // requests drawn while a write is in progress
    std::string sending;  // the bytes of the write in progress
    std::vector<char> input;
    // The value of the oldest step's get, kept here until its step is done:
    // a read-modify-write's set reply may come in a later read, after other
    // connections' replies.
    std::string read;
    std::vector<slot> ring;
    std::size_t head = 0;    // the oldest step in flight
    std::size_t count = 0;   // steps in flight
    std::size_t unsent = 0;  // of them, the newest ones not yet written
    bool writing = false;
    bool reading = false;

    slot& front() noexcept { return ring[head]; }
    slot& push() noexcept { return ring[(head + count++) % ring.size()]; }
    void pop() noexcept {
        head = (head + 1) % ring.size();
        --count;
    }
    bool room() const noexcept { return count < ring.size(); }
};

// The protocol's words for a connection that fails.
struct protocol_terms {
    const char* server;           // "redis server"
    std::chrono::milliseconds limit;  // for each reply
};

protocol_terms terms_of(protocol_type protocol) {
    if (protocol == protocol_type::redis) return {"redis server", redis_client::default_limit};
    return {"memcached server", std::chrono::milliseconds(memcache::client::reply_limit_ms)};
}

std::unique_ptr<pipeline_codec> codec_of(protocol_type protocol) {
    if (protocol == protocol_type::redis) return make_redis_codec();
    if (protocol == protocol_type::memcached) return make_memcached_codec();
    throw std::logic_error("the protocol cannot pipeline");
}

// Sends the login on a connected blocking socket and waits for its answer,
// all by `deadline`; throws with the codec's message when it is refused.
void log_in(int fd, pipeline_codec& codec, const redis_credentials& login,
            clock::time_point deadline) {
    std::string request;
    codec.write(request_kind::auth, login.user, login.password, request);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category());
        sent += static_cast<std::size_t>(n);
    }
    char input[512];
    bool hit = false;
    std::string unused;
    while (!codec.take(request_kind::auth, {}, hit, unused)) {
        pollfd ready{fd, POLLIN, 0};
        // In slices, so that a stop request is seen within one.
        const auto wait = detail::milliseconds_left(deadline, tick);
        if (wait.count() == 0) throw std::system_error(ETIMEDOUT, std::generic_category());
        if (interrupt_requested()) throw interrupted_error();
        const int waited = ::poll(&ready, 1, static_cast<int>(wait.count()));
        if (waited < 0 && errno == EINTR) continue;
        if (waited < 0) throw std::system_error(errno, std::generic_category());
        if (waited == 0) continue;
        const ssize_t n = ::recv(fd, input, sizeof input, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category());
        if (n == 0) throw std::runtime_error("connection closed by the server");
        codec.feed(input, static_cast<std::size_t>(n));
    }
}

}  // namespace

struct connection_set::impl {
    impl(const run_settings& settings)
        : daemon(settings.daemon),
          protocol(settings.protocol),
          login(settings.clients.redis_login),
          terms(terms_of(settings.protocol)),
          io(1),
          ticker(io),
          waker(io) {
        links.reserve(settings.connections);
        for (std::uint32_t i = 0; i < settings.connections; ++i) {
            links.push_back(std::make_unique<link>(io));
            link& l = *links.back();
            l.codec = codec_of(protocol);
            l.input.resize(read_size);
            l.ring.resize(settings.pipeline);
            connect(l);
        }
    }

    void connect(link& l);
    void run(step_source& source);

    // The loop's parts, each run by a handler.
    void fill(link& l, clock::time_point now);
    void fill_any(clock::time_point now);
    void start_write(link& l);
    void start_read(link& l);
    void on_read(link& l, std::size_t bytes);
    void on_tick();
    void wake_at(clock::time_point when);
    // Ends the loop with the failure of connection `l` (null: none in particular).
    void fail(const link* l, const std::string& why);
    bool idle() const noexcept;
    void end_if_idle();
    std::size_t number_of(const link& l) const noexcept;

    endpoint daemon;
    protocol_type protocol;
    std::optional<redis_credentials> login;
    protocol_terms terms;
    asio::io_context io;
    asio::steady_timer ticker;  // stop requests and reply limits
    asio::steady_timer waker;   // the next due step, in open loop
    bool waking = false;        // waker is set
    std::vector<std::unique_ptr<link>> links;

    // The run in progress.
    step_source* source = nullptr;
    bool drawing = false;  // steps may still be drawn
    bool stopping = false;
    std::exception_ptr failure;
    std::size_t next_link = 0;  // where fill_any starts, so that no connection is favoured
    pipelined_step step;
    std::string key, value;
};

void connection_set::impl::connect(link& l) {
    const clock::time_point deadline = clock::now() + terms.limit;
    int fd = -1;
    try {
        fd = connect_stream_socket(daemon, deadline);
        l.codec->reset();
        if (login) log_in(fd, *l.codec, *login, deadline);
        const asio::generic::stream_protocol kind =
            daemon.is_unix_socket()
                ? asio::generic::stream_protocol(AF_UNIX, 0)
                : asio::generic::stream_protocol(daemon.tcp().protocol().family(), IPPROTO_TCP);
        l.socket.assign(kind, fd);
        fd = -1;
        l.socket.non_blocking(true);
    } catch (const interrupted_error&) {
        if (fd >= 0) ::close(fd);
        throw;
    } catch (const std::system_error& error) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string("Cannot connect to ") + terms.server + " " +
                                 endpoint_text(daemon) + ": " + error.code().message());
    } catch (const std::exception&) {
        if (fd >= 0) ::close(fd);
        throw;
    }
}

std::size_t connection_set::impl::number_of(const link& l) const noexcept {
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (links[i].get() == &l) return i + 1;
    }
    return 0;
}

void connection_set::impl::fail(const link* l, const std::string& why) {
    if (failure) return;
    std::string message = why;
    if (l != nullptr && links.size() > 1)
        message += " (connection " + std::to_string(number_of(*l)) + " of " +
                   std::to_string(links.size()) + ")";
    failure = std::make_exception_ptr(std::runtime_error(message));
    io.stop();
}

bool connection_set::impl::idle() const noexcept {
    if (drawing) return false;
    return std::all_of(links.begin(), links.end(),
                       [](const auto& l) { return l->count == 0 && !l->writing; });
}

void connection_set::impl::end_if_idle() {
    if (!idle()) return;
    ticker.cancel();
    waker.cancel();
}

void connection_set::impl::fill(link& l, clock::time_point now) {
    while (drawing && l.room()) {
        clock::time_point wake{};
        const step_source::draw drawn = source->next(now, step, key, value, wake);
        if (drawn == step_source::draw::done) {
            drawing = false;
            break;
        }
        if (drawn == step_source::draw::later) {
            wake_at(wake);
            break;
        }
        slot& s = l.push();
        s.step = step;
        s.start = now;
        s.sent = false;
        s.got_first = false;
        const request_kind first = first_request(step.op);
        l.codec->write(first, key, value, l.out);
        if (step.op == operation::read_modify_write)
            l.codec->write(request_kind::set, key, value, l.out);
        ++l.unsent;
    }
    start_write(l);
    start_read(l);
}

void connection_set::impl::fill_any(clock::time_point now) {
    for (std::size_t i = 0; i < links.size() && drawing; ++i) {
        link& l = *links[(next_link + i) % links.size()];
        if (l.room()) fill(l, now);
    }
    next_link = (next_link + 1) % links.size();
}

void connection_set::impl::wake_at(clock::time_point when) {
    if (waking) return;
    waking = true;
    waker.expires_at(when);
    waker.async_wait([this](const boost::system::error_code& error) {
        waking = false;
        if (error || failure) return;
        fill_any(clock::now());
        end_if_idle();
    });
}

void connection_set::impl::start_write(link& l) {
    if (l.writing || l.out.empty()) return;
    l.sending.swap(l.out);
    l.out.clear();
    // The steps' time starts as their bytes go out.
    const clock::time_point now = clock::now();
    for (std::size_t i = l.count - l.unsent; i < l.count; ++i) {
        slot& s = l.ring[(l.head + i) % l.ring.size()];
        s.start = now;
        s.sent = true;
    }
    l.unsent = 0;
    l.writing = true;
    asio::async_write(l.socket, asio::buffer(l.sending),
                      [this, &l](const boost::system::error_code& error, std::size_t) {
                          l.writing = false;
                          if (failure) return;
                          if (closed_by_peer(error)) {
                              fail(&l, "connection closed by the server");
                              return;
                          }
                          if (error) {
                              fail(&l, "could not send a request: " + error.message());
                              return;
                          }
                          start_write(l);
                          end_if_idle();
                      });
}

void connection_set::impl::start_read(link& l) {
    if (l.reading || l.count == 0) return;
    l.reading = true;
    l.socket.async_read_some(
        asio::buffer(l.input), [this, &l](const boost::system::error_code& error, std::size_t n) {
            l.reading = false;
            if (failure) return;
            if (error == asio::error::eof || closed_by_peer(error)) {
                fail(&l, "connection closed by the server");
                return;
            }
            if (error) {
                fail(&l, "could not read a reply: " + error.message());
                return;
            }
            try {
                on_read(l, n);
            } catch (const std::exception& e) {
                fail(&l, e.what());
            }
        });
}

void connection_set::impl::on_read(link& l, std::size_t bytes) {
    const clock::time_point end = clock::now();
    l.codec->feed(l.input.data(), bytes);
    while (l.count > 0) {
        slot& s = l.front();
        if (!s.sent) break;
        source->key_of(s.step, key);
        const bool second = s.step.op == operation::read_modify_write && s.got_first;
        const request_kind kind = second ? request_kind::set : first_request(s.step.op);
        bool hit = false;
        if (!l.codec->take(kind, key, hit, l.read)) break;
        if (s.step.op == operation::read_modify_write && !second) {
            s.got_first = true;
            s.first_hit = hit;
            continue;
        }
        const pipelined_step done = s.step;
        const pipelined_times times{done.due, s.start, end};
        const bool told = second ? s.first_hit : hit;
        l.pop();
        source->finish(done, told, l.read, times);
        l.read.clear();
    }
    fill(l, end);
    end_if_idle();
}

void connection_set::impl::on_tick() {
    if (interrupt_requested() && !stopping) {
        stopping = true;
        drawing = false;
    }
    const clock::time_point now = clock::now();
    for (const auto& l : links) {
        if (l->count > 0 && now - l->front().start > terms.limit) {
            fail(l.get(), "no reply within " + std::to_string(terms.limit.count()) + " ms");
            return;
        }
    }
    end_if_idle();
    if (idle()) return;
    ticker.expires_after(tick);
    ticker.async_wait([this](const boost::system::error_code& error) {
        if (!error && !failure) on_tick();
    });
}

void connection_set::impl::run(step_source& steps) {
    for (auto& l : links) {
        if (!l->socket.is_open()) connect(*l);
    }
    source = &steps;
    drawing = true;
    stopping = false;
    failure = nullptr;
    io.restart();
    try {
        const clock::time_point now = clock::now();
        for (auto& l : links) fill(*l, now);
        on_tick();
        io.run();
    } catch (const std::exception& error) {
        fail(nullptr, error.what());
    }
    source = nullptr;
    if (failure) {
        // Replies may be on their way on every connection: none can be
        // trusted to be in step any more.
        for (auto& l : links) {
            boost::system::error_code ignored;
            l->socket.close(ignored);
            l->count = l->head = l->unsent = 0;
            l->out.clear();
        }
        waker.cancel();
        ticker.cancel();
        io.restart();
        io.run();  // the handlers of the cancelled operations, which do nothing
        waking = false;
        std::rethrow_exception(failure);
    }
    if (stopping) throw interrupted_error();
}

connection_set::connection_set(const run_settings& settings)
    : impl_(std::make_unique<impl>(settings)) {}

connection_set::~connection_set() = default;

void connection_set::run(step_source& source) { impl_->run(source); }

std::uint32_t connection_set::size() const noexcept {
    return static_cast<std::uint32_t>(impl_->links.size());
}

}  // namespace bench
