#ifndef BENCH_SRC_PIPELINE_CONNECTION_SET_IMPL_HPP
#define BENCH_SRC_PIPELINE_CONNECTION_SET_IMPL_HPP

// The inside of a connection set, shared by its event loop
// (connection_set.cpp) and by its servers and their connections
// (servers.cpp).

#include <bench/clients/redis_cluster_client.hpp>
#include <bench/endpoint.hpp>
#include <bench/pipeline/codec.hpp>
#include <bench/pipeline/connection_set.hpp>
#include <bench/protocol.hpp>
#include <bench/redirections.hpp>
#include <bench/settings.hpp>

#include <memcache/client.hpp>

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

namespace asio = boost::asio;

namespace pipeline_detail {

using clock = std::chrono::steady_clock;

// How often the loop looks for a stop request and for replies past their
// limit, at most.
constexpr std::chrono::milliseconds tick{20};
// The bytes one read takes at most.
constexpr std::size_t read_size = 64 * 1024;

// The requests of an operation, in the order they are written.
inline request_kind first_request(operation op) noexcept {
    switch (op) {
    case operation::get:
    case operation::read_modify_write: return request_kind::get;
    case operation::put: return request_kind::set;
    case operation::update: return request_kind::update;
    case operation::remove: return request_kind::remove;
    }
    return request_kind::get;
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
inline std::uint8_t requests_of(const slot& s) noexcept {
    const std::uint8_t own = s.step.op == operation::read_modify_write ? 2 : 1;
    return s.asking ? own * 2 : own;
}
inline request_kind request_at(const slot& s, std::uint8_t at) noexcept {
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

// One server and the thread's connections to it: links[first, first + count).
struct server {
    endpoint where;
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t next = 0;  // the connection its next step tries first
};

// The protocol's words and limit, and its codec (a Redis Cluster's takes
// MOVED and ASK as replies).
protocol_terms terms_of(protocol_type protocol);
std::unique_ptr<pipeline_codec> codec_of(protocol_type protocol, bool cluster);

}  // namespace pipeline_detail

// The names the set's inside uses, as the two files that hold it see them.
using pipeline_detail::clock;
using pipeline_detail::link;
using pipeline_detail::protocol_terms;
using pipeline_detail::server;
using pipeline_detail::slot;

struct connection_set::impl {

    // Connects to the daemon, to every server of a memcached pool, or to
    // every master of a Redis Cluster's slot map.
    explicit impl(const run_settings& settings);

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

}  // namespace bench

#endif
