#ifndef BENCH_CLIENTS_FACTORY_HPP
#define BENCH_CLIENTS_FACTORY_HPP

#include <bench/client.hpp>

#include <memory>

namespace bench {

struct thread_context;

// Builds the client for context.settings.protocol; "unknown test protocol"
// for any other value. Clients that talk to a server connect here.
std::unique_ptr<client> make_client(const thread_context& context);

}  // namespace bench

#endif
