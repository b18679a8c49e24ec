#include <bench/clients/factory.hpp>

#include <bench/clients/redis_cluster_client.hpp>

#include <stdexcept>

namespace bench {

std::unique_ptr<client> make_client(protocol_type protocol, const endpoint& daemon,
                                    const client_options& options) {
    const protocol_info* const found = find_protocol(protocol);
    if (found == nullptr) throw std::runtime_error("unknown test protocol");
    // A Redis Cluster is one store of many servers: a client of its own.
    if (protocol == protocol_type::redis && options.redis_cluster)
        return std::make_unique<redis_cluster_client>(daemon, options);
    return found->make(daemon, options);
}

}  // namespace bench
