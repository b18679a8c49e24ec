#ifndef BENCH_PIPELINE_CONNECTION_SET_HPP
#define BENCH_PIPELINE_CONNECTION_SET_HPP

#include <bench/redirections.hpp>
#include <bench/workload/mix.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace bench {

struct run_settings;

// One step of a test driven over a connection set: an operation on one key.
struct pipelined_step {
    using time_point = std::chrono::steady_clock::time_point;
    operation op = operation::get;
    std::uint64_t number = 0;   // the key's number
    std::uint64_t written = 0;  // the bytes it writes (its value's length), 0 for none
    bool counted = false;       // whether its figures are recorded
    time_point due{};           // when it was due: in closed loop, when it was drawn
};

// When a step's requests were written and its last reply read.
struct pipelined_times {
    pipelined_step::time_point due, start, end;
};

// What a connection set asks of the test it runs.
class step_source {
public:
    using time_point = std::chrono::steady_clock::time_point;
    enum class draw {
        ready,  // a step was drawn
        later,  // none is due before `wake`; more will be
        done,   // no step is left
    };

    // Draws the next step at `now`: fills `step`, formats its key into `key`
    // and, for a write, makes its value into `value`.
    virtual draw next(time_point now, pipelined_step& step, std::string& key, std::string& value,
                      time_point& wake) = 0;
    // Formats a step's key again, to check its reply against.
    virtual void key_of(const pipelined_step& step, std::string& key) = 0;
    // Makes a write step's value again, of the same length, for a step that
    // a Redis Cluster node sent on to another.
    virtual void value_of(const pipelined_step& step, std::string& value) = 0;
    // A step whose replies all came: `hit` as the operation tells it (for a
    // read-modify-write, its get's), `read` the value a hit get read. Throws
    // when the step must fail its test (a value read back that was not
    // written).
    virtual void finish(const pipelined_step& step, bool hit, const std::string& read,
                        const pipelined_times& times) = 0;

protected:
    ~step_source() = default;
};

// One thread's connections to the store, each with up to `pipeline` steps in
// flight, driven by one event loop on the calling thread (Boost.Asio). With a
// memcached pool (the settings' servers), the thread has that many
// connections to every server, and each step goes to the server the
// memcache library's key hashing chooses, over its connections in turn; a
// step whose server has no room waits, and the steps drawn after it with
// it. With a Redis Cluster, the servers are the masters of its slot map and
// each step goes to its key's slot's master; a MOVED reply reads the map
// again (unless an earlier one did) and sends the step to the node it
// names, an ASK reply sends it once to the node it names after ASKING, its
// time running on from its first write, and both are counted. A step's requests are written as soon as it is drawn, behind those
// already in flight on its connection, and its time runs from the write (in open
// loop, from when it was due) to the read of its last reply; a
// read-modify-write's get and set go out together and count as one step.
//
// Every reply must come within the protocol's limit (memcached 500 ms,
// Redis 10 s) from its request's write. A failure on any connection (a
// closed or reset connection, the limit, an error reply, a reply that breaks
// the protocol, a step whose check fails) ends the run at once and closes
// every connection, since replies may still be on their way on each; the
// next run connects them again.
class connection_set {
public:
    // Connects settings.connections connections to the daemon (to each
    // server of a memcached pool, to each master of a Redis Cluster, whose
    // map is read as redis_cluster_client reads it), each with the
    // protocol's codec, sending
    // the login first where the settings hold one. Throws as the protocol's
    // client does when one cannot be made ("Cannot connect to redis server
    // ...: Connection refused"), and interrupted_error when a stop is
    // requested meanwhile.
    explicit connection_set(const run_settings& settings);
    ~connection_set();
    connection_set(const connection_set&) = delete;
    connection_set& operator=(const connection_set&) = delete;

    // Runs steps from `source` until it has no more and every reply came.
    // A stop request ends the drawing of steps; the steps in flight are then
    // waited for and interrupted_error thrown. Throws std::runtime_error with
    // the failure and the connection's number otherwise.
    void run(step_source& source);

    // The connections, to every server.
    std::uint32_t size() const noexcept;
    // A Redis Cluster's redirections followed since the set was made; none
    // for another store.
    std::optional<redirection_counts> redirections() const noexcept;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace bench

#endif
