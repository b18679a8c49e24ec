#ifndef BENCH_CLIENTS_OPTIONS_HPP
#define BENCH_CLIENTS_OPTIONS_HPP

#include <bench/endpoint.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// A Redis login: a password for the default user, or a user name and a
// password (Redis 6 ACL). Deliberately without a text form, so that the
// password cannot reach the console or a report by way of the settings.
struct redis_credentials {
    std::string user;      // empty: the default user
    std::string password;  // never empty
};

// What a client is built from besides its endpoint.
struct client_options {
    // Sent with AUTH right after a redis client connects; none: no AUTH.
    std::optional<redis_credentials> redis_login;
    // The endpoints of a store that spans servers, as --daemon lists them,
    // the client's own endpoint first; empty for a store of one server.
    std::vector<endpoint> servers;
    // The servers are the nodes of a Redis Cluster (--cluster): the client
    // reads the slot map from them and sends each key to its slot's master.
    bool redis_cluster = false;
};

// The login on the first line of the file at `path`: a password, or a user
// name and a password separated by one space (the first space on the line).
// A line may end in CR LF. Throws std::runtime_error naming the path when
// the file cannot be read, is not a regular file (a FIFO is refused without
// waiting for a writer) or its first line holds no password; the message
// never quotes the file's content. A file with any permission for its group
// or for others gets one warning line on `warnings`.
redis_credentials read_redis_credentials(const std::string& path, std::ostream& warnings);

}  // namespace bench

#endif
