#include <bench/clients/factory.hpp>

#include <stdexcept>

namespace bench {

std::unique_ptr<client> make_client(protocol_type protocol, const endpoint& daemon,
                                    const client_options& options) {
    const protocol_info* const found = find_protocol(protocol);
    if (found == nullptr) throw std::runtime_error("unknown test protocol");
    return found->make(daemon, options);
}

}  // namespace bench
