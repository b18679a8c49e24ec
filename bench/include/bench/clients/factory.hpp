#ifndef BENCH_CLIENTS_FACTORY_HPP
#define BENCH_CLIENTS_FACTORY_HPP

#include <bench/client.hpp>
#include <bench/clients/options.hpp>
#include <bench/endpoint.hpp>
#include <bench/protocol.hpp>

#include <memory>

namespace bench {

// Builds the client of `protocol` (its entry in the protocol table) for the
// daemon at `daemon` (the local client ignores it); "unknown test protocol"
// for a number no protocol has. Clients that talk to a server connect here.
std::unique_ptr<client> make_client(protocol_type protocol, const endpoint& daemon,
                                    const client_options& options);

}  // namespace bench

#endif
