#ifndef KVTEST_REDIS_CLUSTER_HPP
#define KVTEST_REDIS_CLUSTER_HPP

// A Redis Cluster of real redis-server processes on loopback ports, every
// node a master, with its files in a temporary directory; stopped when the
// object goes away.

#include <support/process.hpp>
#include <support/servers.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

class redis_cluster {
public:
    // Starts `masters` nodes, joins them with redis-cli --cluster create
    // (the slots shared out evenly) and waits until every node reports
    // cluster_state:ok. Throws when any of that fails. With a password,
    // every node asks for it (requirepass, masterauth).
    explicit redis_cluster(std::size_t masters = 3, std::string password = {});

    std::size_t size() const noexcept { return nodes_.size(); }
    std::uint16_t port(std::size_t node) const { return nodes_[node]->port(); }
    // As --daemon takes it: "127.0.0.1:port".
    std::string endpoint(std::size_t node) const { return nodes_[node]->endpoint(); }

    // Runs redis-cli with `args` against the node and returns what it printed
    // (one line per reply element).
    std::string cli(std::size_t node, const std::vector<std::string>& args) const;
    std::string node_id(std::size_t node) const;
    long long dbsize(std::size_t node) const;

    // The steps of a slot's migration, as redis-cli --cluster reshard takes
    // them: marks the slot importing on `to` and migrating on `from`...
    void begin_move(int slot, std::size_t from, std::size_t to) const;
    // ... moves up to `count` of its keys...
    void migrate_keys(int slot, std::size_t from, std::size_t to, std::size_t count) const;
    // ... and gives the slot to `to` on every node.
    void finish_move(int slot, std::size_t to) const;

    // Stops the node's server for good.
    void stop(std::size_t node) { nodes_[node].reset(); }

private:
    temp_dir dir_;
    std::string password_;
    std::vector<std::optional<server_process>> nodes_;
};

}  // namespace kvtest

#endif
