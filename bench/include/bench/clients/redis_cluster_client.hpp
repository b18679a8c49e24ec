#ifndef BENCH_CLIENTS_REDIS_CLUSTER_CLIENT_HPP
#define BENCH_CLIENTS_REDIS_CLUSTER_CLIENT_HPP

#include <bench/client.hpp>
#include <bench/clients/options.hpp>
#include <bench/clients/redis_client.hpp>
#include <bench/endpoint.hpp>
#include <bench/redirections.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The Redis Cluster slot of a key: CRC16 (XMODEM) of the key modulo 16384,
// or of its hash tag, the bytes between the first '{' and the first '}'
// after it when there are any ("{user1}.name" and "{user1}.mail" share a
// slot; "{}x" and "x{" hash whole). Allocates nothing.
std::uint16_t redis_cluster_slot(std::string_view key) noexcept;

// CRC16 with the XMODEM parameters (polynomial 0x1021, start 0), as Redis
// Cluster hashes keys: crc16_xmodem("123456789") is 0x31C3.
std::uint16_t crc16_xmodem(std::string_view bytes) noexcept;

// A range of slots and the master that serves them, as CLUSTER SLOTS gives it.
struct redis_slot_range {
    long long first;
    long long last;
    endpoint master;
};

// The ranges of the first of `sources` that answers CLUSTER SLOTS (after
// the options' login) with a map serving every slot; throws "Cannot connect
// to redis cluster: " and each source's reason when none does.
std::vector<redis_slot_range> read_redis_cluster_map(const std::vector<endpoint>& sources,
                                                     const client_options& options,
                                                     std::chrono::milliseconds connect_limit,
                                                     std::chrono::milliseconds operation_limit);

// Whether a node's error reply is a redirection ("MOVED 3999 127.0.0.1:6381",
// "ASK 3999 127.0.0.1:6381"); if so, whether it is MOVED and the node it
// names (one without a host is on `asked`'s address). Throws
// std::runtime_error for a node that is no endpoint.
bool parse_redis_redirection(std::string_view error, const endpoint& asked, bool& moved,
                             endpoint& where);

// How many masters serve the slots of the Redis Cluster, as the first of
// the options' servers (the daemon when there are none) that answers
// CLUSTER SLOTS says; throws as redis_cluster_client's constructor does
// when none does.
std::size_t count_redis_cluster_masters(const endpoint& daemon, const client_options& options);

// A Redis Cluster: each key goes to the master that serves its slot, over
// one connection (a redis_client, with the options' login) per master. The
// slot map is read with CLUSTER SLOTS from the first of the servers that
// answers (the options' servers, or the daemon when there are none), and
// read again whenever a node answers MOVED; the operation is then sent
// again to the node the MOVED reply named. An ASK reply sends ASKING and the
// operation once to the node it names, without changing the map. The
// redirections followed are counted (redirections()).
//
// In the steady state an operation is the slot's computation, an array
// look-up and the redis_client's own exchange: it allocates nothing. A
// master that cannot be reached fails the operation with the operation's
// message, ": " and the reason naming the node ("could not get entry:
// Cannot connect to redis server 127.0.0.1:7001: Connection refused"); a
// connection that broke is made again on the node's next operation.
class redis_cluster_client final : public client {
public:
    static constexpr std::size_t slot_count = 16384;

    // Reads the slot map and connects to every master in it. Throws
    // std::runtime_error "Cannot connect to redis cluster" with the reasons
    // when no server gives a map that covers every slot, or the message of
    // the master that cannot be connected to (see redis_client).
    explicit redis_cluster_client(
        const endpoint& daemon, const client_options& options = {},
        std::chrono::milliseconds connect_limit = redis_client::default_limit,
        std::chrono::milliseconds operation_limit = redis_client::default_limit);
    ~redis_cluster_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

    void set(const std::string& key, const std::string& value) override;
    bool try_get(const std::string& key, std::string& value) override;
    bool try_update(const std::string& key, const std::string& value) override;
    bool try_remove(const std::string& key) override;

    std::optional<redirection_counts> redirections() const noexcept override {
        return redirections_;
    }

    // How many masters the slot map names.
    std::size_t masters() const;
    // The master that serves the slot in the map as it stands.
    const endpoint& master_of(std::uint16_t slot) const noexcept;

private:
    struct node {
        endpoint where;
        std::unique_ptr<redis_client> connection;  // null until used, or after it broke
    };

    // Runs `operation` on the master of the key's slot, following MOVED and
    // ASK replies; `failure` is the operation's message.
    template <class Operation>
    auto route(const std::string& key, const char* failure, Operation&& operation);
    // Reads the slot map again from the servers and the known nodes; throws
    // when none gives one.
    void refresh_map();
    // The node's place in nodes_, added when it is new.
    std::size_t node_at(const endpoint& where);
    // The node's connection, made when it has none; throws with `failure`
    // and the reason when it cannot be made.
    redis_client& connection_of(std::size_t node, const char* failure);

    client_options options_;
    std::chrono::milliseconds connect_limit_;
    std::chrono::milliseconds operation_limit_;
    std::vector<endpoint> seeds_;  // where the map is read first
    std::vector<node> nodes_;      // every node a slot was ever sent to
    std::array<std::uint16_t, slot_count> owner_{};  // each slot's node in nodes_
    redirection_counts redirections_;
};

}  // namespace bench

#endif
