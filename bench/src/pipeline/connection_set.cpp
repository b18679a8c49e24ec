#include <bench/pipeline/connection_set.hpp>

#include "../clients/stream_connect.hpp"

#include <bench/clients/redis_client.hpp>
#include <bench/clients/redis_cluster_client.hpp>
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

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <cerrno>
#include <deque>
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

// The most times a step is sent on to another node of a Redis Cluster
// before it fails, as for one call at a time.
constexpr int max_redirections = 16;

// A step in flight on a connection.
struct slot {
    pipelined_step step;
    clock::time_point start{};  // when its requests were written; until then, drawn
    bool sent = false;
    bool resent = false;        // its time started on the node that redirected it
    bool asking = false;        // each of its requests follows ASKING
    std::uint8_t replies = 0;   // the replies taken so far
    bool first_hit = false;     // a read-modify-write's get's answer
    // A reply of the step was MOVED or ASK: once all came, the step goes
    // to `to` (with ASKING when `ask`).
    bool redirected = false;
    bool ask = false;
    std::size_t to = 0;
    int redirections = 0;       // of the step so far
};

// The requests of a step in the order they are written, and their count: an
// operation's one or two, each after ASKING for a slot being imported.
std::uint8_t requests_of(const slot& s) noexcept {
    const std::uint8_t own = s.step.op == operation::read_modify_write ? 2 : 1;
    return s.asking ? own * 2 : own;
}
request_kind request_at(const slot& s, std::uint8_t at) noexcept {
    if (s.asking) {
        if (at % 2 == 0) return request_kind::asking;
        at /= 2;
    }
    if (s.step.op == operation::read_modify_write) return at == 0 ? request_kind::get
                                                                  : request_kind::set;
    return first_request(s.step.op);
}

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
    bool touched = false;  // written to by the fill in progress
    std::size_t server = 0;  // the server it reaches

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

std::unique_ptr<pipeline_codec> codec_of(protocol_type protocol, bool cluster) {
    if (protocol == protocol_type::redis) return make_redis_codec(cluster);
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

// One server and the thread's connections to it: links[first, first + count).
struct server {
    endpoint where;
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t next = 0;  // the connection its next step tries first
};

// The servers of a run, in the order the steps' routing counts them: the
// daemon alone, or a memcached pool's servers in the order of the memcache
// library's key hashing (by name, as its client registers them). A Redis
// Cluster's masters come from its slot map instead.
std::vector<endpoint> servers_of(const run_settings& settings) {
    if (settings.clients.servers.empty() || settings.clients.redis_cluster)
        return {settings.daemon};
    if (settings.protocol != protocol_type::memcached)
        throw std::logic_error("only a memcached pool spreads pipelined steps over servers");
    // Registered as the memcached client registers them, under the names
    // its hashing orders them by.
    memcache::client pool;
    std::vector<std::string> names;
    for (const endpoint& where : settings.clients.servers) {
        if (where.is_unix_socket()) {
            pool.add_local_server(where.path());
            names.push_back(memcache::client::local_server_name(where.path()));
        } else {
            const std::string host = where.tcp().address().to_string();
            const std::string port = boost::lexical_cast<std::string>(where.tcp().port());
            pool.add_server(host, port);
            names.push_back(memcache::client::server_name(host, port));
        }
    }
    std::vector<endpoint> ordered;
    for (const auto& entry : pool.servers()) {
        const auto named = std::find(names.begin(), names.end(), entry.first);
        ordered.push_back(settings.clients.servers[static_cast<std::size_t>(named - names.begin())]);
    }
    return ordered;
}

}  // namespace

struct connection_set::impl {
    impl(const run_settings& settings)
        : protocol(settings.protocol),
          cluster(settings.clients.redis_cluster && settings.protocol == protocol_type::redis),
          options(settings.clients),
          connections(settings.connections),
          depth(settings.pipeline),
          login(settings.clients.redis_login),
          terms(terms_of(settings.protocol)),
          io(1),
          ticker(io),
          waker(io) {
        if (cluster) {
            seeds = settings.clients.servers.empty() ? std::vector<endpoint>{settings.daemon}
                                                     : settings.clients.servers;
            owner.resize(redis_cluster_client::slot_count);
            read_map();
            counts.emplace();
            return;
        }
        for (const endpoint& daemon : servers_of(settings)) add_server(daemon);
    }

    // Adds a server and connects its connections; returns its place.
    std::size_t add_server(const endpoint& where);
    // A cluster node's place among the servers, added when it is new.
    std::size_t server_at(const endpoint& where);
    // Reads the cluster's slot map into `owner`; throws when no node gives one.
    void read_map();
    // Takes a MOVED or ASK reply to the step in `s`, sent on `l`, whose key
    // is reply_key: the step is to go again where the reply says.
    void redirect(const link& l, slot& s, std::string_view reply);

    void connect(link& l);
    void run(step_source& source);

    // The loop's parts, each run by a handler.
    // Draws steps and writes each on a connection with room to its key's
    // server, until a step finds none (it is held until one has room), the
    // source has none due, or it has no more.
    void fill(clock::time_point now);
    // The server a key goes to, as the store's client would choose it.
    std::size_t route(std::string_view its_key) const noexcept {
        if (cluster) return owner[redis_cluster_slot(its_key)];
        return servers.size() == 1 ? 0
                                   : static_cast<std::size_t>(
                                         memcache::client::server_index(its_key, servers.size()));
    }
    // Writes the step in `s`, new on `l`, with its key and value.
    void write_step(link& l, slot& s, std::string_view its_key, std::string_view its_value);
    // A connection of `s` with room, in turn; null when all are full.
    link* room_on(server& s) noexcept;
    const server& server_of(const link& l) const noexcept;
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

    protocol_type protocol;
    bool cluster;  // a Redis Cluster: steps go by their keys' slots
    client_options options;
    std::uint32_t connections;  // to each server
    std::uint32_t depth;        // steps in flight on each connection
    std::optional<redis_credentials> login;
    protocol_terms terms;
    asio::io_context io;
    asio::steady_timer ticker;  // stop requests and reply limits
    asio::steady_timer waker;   // the next due step, in open loop
    bool waking = false;        // waker is set
    std::vector<server> servers;
    std::vector<std::unique_ptr<link>> links;  // by server
    std::vector<link*> touched;                // written to by the fill in progress
    // A cluster's: where its map is read first, each slot's server, and the
    // redirections followed since the set was made.
    std::vector<endpoint> seeds;
    std::vector<std::uint16_t> owner;
    std::optional<redirection_counts> counts;

    // The run in progress.
    step_source* source = nullptr;
    bool drawing = false;  // steps may still be drawn
    bool stopping = false;
    std::exception_ptr failure;
    // The step drawn last: held in step, key and value while its server's
    // connections are all full.
    bool held = false;
    pipelined_step step;
    std::string key, value;
    std::string reply_key;  // a reply's step's key, to check the reply against
    // Steps redirected to another node, to be written there as it has room,
    // their key and value made again.
    struct redirected_step {
        pipelined_step step;
        clock::time_point start;
        std::size_t to;
        bool ask;
        int redirections;
    };
    std::deque<redirected_step> again;
    std::string again_key, again_value;
};

std::size_t connection_set::impl::add_server(const endpoint& where) {
    server& s = servers.emplace_back();
    s.where = where;
    s.first = links.size();
    s.count = connections;
    const std::size_t index = servers.size() - 1;
    links.reserve(links.size() + connections);
    touched.reserve(links.size() + connections);
    for (std::uint32_t i = 0; i < connections; ++i) {
        links.push_back(std::make_unique<link>(io));
        link& l = *links.back();
        l.server = index;
        l.codec = codec_of(protocol, cluster);
        l.input.resize(read_size);
        l.ring.resize(depth);
        connect(l);
    }
    return index;
}

std::size_t connection_set::impl::server_at(const endpoint& where) {
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (servers[i].where == where) return i;
    }
    return add_server(where);
}

void connection_set::impl::read_map() {
    // The servers first, then the nodes met since.
    std::vector<endpoint> sources = seeds;
    for (const server& known : servers) {
        if (std::find(sources.begin(), sources.end(), known.where) == sources.end())
            sources.push_back(known.where);
    }
    for (const redis_slot_range& range :
         read_redis_cluster_map(sources, options, terms.limit, terms.limit)) {
        const auto master = static_cast<std::uint16_t>(server_at(range.master));
        for (long long slot = range.first; slot <= range.last; ++slot)
            owner[static_cast<std::size_t>(slot)] = master;
    }
}

void connection_set::impl::redirect(const link& l, slot& s, std::string_view reply) {
    // A read-modify-write's set is redirected as its get was: the step goes
    // again once, where the first said.
    if (s.redirected) return;
    bool moved = false;
    endpoint where;
    if (!parse_redis_redirection(reply, servers[l.server].where, moved, where))
        throw std::runtime_error(std::string(reply));
    if (s.redirections == max_redirections)
        throw std::runtime_error("more than " + std::to_string(max_redirections) +
                                 " redirections");
    s.redirected = true;
    s.ask = !moved;
    s.to = server_at(where);
    if (!moved) {
        ++counts->ask;
        return;
    }
    ++counts->moved;
    // The map is likely stale, unless an earlier step's MOVED read it
    // already; the node that answered is right about this slot either way.
    const std::uint16_t slot = redis_cluster_slot(reply_key);
    if (owner[slot] != s.to) {
        try {
            read_map();
        } catch (const interrupted_error&) {
            throw;
        } catch (const std::runtime_error&) {
        }
        owner[slot] = static_cast<std::uint16_t>(s.to);
    }
}

const server& connection_set::impl::server_of(const link& l) const noexcept {
    return servers[l.server];
}

void connection_set::impl::connect(link& l) {
    const endpoint& daemon = server_of(l).where;
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
    if (l != nullptr && servers.size() > 1)
        message += " (connection " + std::to_string(number_of(*l)) + " of " +
                   std::to_string(links.size()) + ", " + terms.server + " " +
                   endpoint_text(server_of(*l).where) + ")";
    else if (l != nullptr && links.size() > 1)
        message += " (connection " + std::to_string(number_of(*l)) + " of " +
                   std::to_string(links.size()) + ")";
    failure = std::make_exception_ptr(std::runtime_error(message));
    io.stop();
}

bool connection_set::impl::idle() const noexcept {
    if (drawing || held || !again.empty()) return false;
    return std::all_of(links.begin(), links.end(),
                       [](const auto& l) { return l->count == 0 && !l->writing; });
}

void connection_set::impl::end_if_idle() {
    if (!idle()) return;
    ticker.cancel();
    waker.cancel();
}

link* connection_set::impl::room_on(server& s) noexcept {
    for (std::size_t i = 0; i < s.count; ++i) {
        const std::size_t at = (s.next + i) % s.count;
        link& l = *links[s.first + at];
        if (l.room()) {
            s.next = (at + 1) % s.count;
            return &l;
        }
    }
    return nullptr;
}

void connection_set::impl::write_step(link& l, slot& s, std::string_view its_key,
                                      std::string_view its_value) {
    for (std::uint8_t at = 0; at < requests_of(s); ++at)
        l.codec->write(request_at(s, at), its_key, its_value, l.out);
    ++l.unsent;
    if (!l.touched) {
        l.touched = true;
        touched.push_back(&l);
    }
}

void connection_set::impl::fill(clock::time_point now) {
    // Steps sent on by a cluster's nodes first, in their order.
    while (!again.empty()) {
        redirected_step& next = again.front();
        link* const to = room_on(servers[next.to]);
        if (to == nullptr) break;
        slot& s = to->push();
        s = slot{};
        s.step = next.step;
        s.start = next.start;
        s.resent = true;
        s.asking = next.ask;
        s.redirections = next.redirections;
        source->key_of(s.step, again_key);
        again_value.clear();
        if (s.step.op != operation::get && s.step.op != operation::remove)
            source->value_of(s.step, again_value);
        write_step(*to, s, again_key, again_value);
        again.pop_front();
    }
    for (;;) {
        if (!held) {
            if (!drawing) break;
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
            held = true;
        }
        // Routed as it is written: a cluster's map may have changed while
        // it was held.
        link* const to = room_on(servers[route(key)]);
        if (to == nullptr) break;
        held = false;
        slot& s = to->push();
        s = slot{};
        s.step = step;
        s.start = now;
        write_step(*to, s, key, value);
    }
    for (link* const l : touched) {
        l->touched = false;
        start_write(*l);
        start_read(*l);
    }
    touched.clear();
}

void connection_set::impl::wake_at(clock::time_point when) {
    if (waking) return;
    waking = true;
    waker.expires_at(when);
    waker.async_wait([this](const boost::system::error_code& error) {
        waking = false;
        if (error || failure) return;
        fill(clock::now());
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
        if (!s.resent) s.start = now;
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
        source->key_of(s.step, reply_key);
        const request_kind kind = request_at(s, s.replies);
        bool hit = false;
        if (!l.codec->take(kind, reply_key, hit, l.read)) break;
        if (cluster) {
            const std::string_view redirection = l.codec->redirection();
            if (!redirection.empty()) redirect(l, s, redirection);
        }
        if (kind == request_kind::get) s.first_hit = hit;
        if (++s.replies < requests_of(s)) continue;
        if (s.redirected) {
            again.push_back({s.step, s.start, s.to, s.ask, s.redirections + 1});
            l.pop();
            l.read.clear();
            continue;
        }
        const pipelined_step done = s.step;
        const pipelined_times times{done.due, s.start, end};
        const bool told = s.step.op == operation::read_modify_write ? s.first_hit : hit;
        l.pop();
        source->finish(done, told, l.read, times);
        l.read.clear();
    }
    fill(end);
    start_read(l);
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
    held = false;
    again.clear();
    stopping = false;
    failure = nullptr;
    io.restart();
    try {
        fill(clock::now());
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
            l->touched = false;
        }
        touched.clear();
        held = false;
        again.clear();
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

std::optional<redirection_counts> connection_set::redirections() const noexcept {
    return impl_->counts;
}

}  // namespace bench
