#include <bench/clients/factory.hpp>

#include <bench/clients/local_client.hpp>
#include <bench/clients/memcached_client.hpp>
#include <bench/clients/nox_client.hpp>
#include <bench/clients/redis_client.hpp>

#include <stdexcept>

namespace bench {

std::unique_ptr<client> make_client(protocol_type protocol, const endpoint& daemon,
                                    const client_options& options) {
    switch (protocol) {
    case protocol_type::local: return std::make_unique<local_client>();
    case protocol_type::nox: return std::make_unique<nox_client>(daemon);
    case protocol_type::memcached: return std::make_unique<memcached_client>(daemon);
    case protocol_type::redis: return std::make_unique<redis_client>(daemon, options);
    }
    throw std::runtime_error("unknown test protocol");
}

}  // namespace bench
