#include <bench/protocol.hpp>

#include <bench/clients/local_client.hpp>
#include <bench/clients/memcached_client.hpp>
#include <bench/clients/nox_client.hpp>
#include <bench/clients/options.hpp>
#include <bench/clients/redis_client.hpp>
#include <bench/endpoint.hpp>

#include <ostream>
#include <type_traits>

namespace bench {

namespace {

// A client_maker for a client class, from the widest constructor it has.
template <class Client>
std::unique_ptr<client> make(const endpoint& daemon, const client_options& options) {
    if constexpr (std::is_constructible_v<Client, const endpoint&, const client_options&>)
        return std::make_unique<Client>(daemon, options);
    else if constexpr (std::is_constructible_v<Client, const endpoint&>)
        return std::make_unique<Client>(daemon);
    else
        return std::make_unique<Client>();
}

constexpr std::array<protocol_info, protocol_count> table{{
#define BENCH_PROTOCOL_INFO(name, client_class, endpoints, options) \
    {protocol_type::name, #name, endpoints, options, &make<client_class>},
    BENCH_PROTOCOLS(BENCH_PROTOCOL_INFO)
#undef BENCH_PROTOCOL_INFO
}};

constexpr bool numbered_by_place() {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (static_cast<std::size_t>(table[i].type) != i) return false;
    }
    return true;
}
static_assert(numbered_by_place(), "a protocol's number is its place in the table");

}  // namespace

const std::array<protocol_info, protocol_count>& protocols() noexcept { return table; }

const protocol_info* find_protocol(protocol_type protocol) noexcept {
    const auto number = static_cast<std::int32_t>(protocol);
    if (number < 0 || static_cast<std::size_t>(number) >= table.size()) return nullptr;
    return &table[static_cast<std::size_t>(number)];
}

const protocol_info* find_protocol(const std::string& name) noexcept {
    for (const protocol_info& protocol : table) {
        if (name == protocol.name) return &protocol;
    }
    return nullptr;
}

bool reaches(const protocol_info& protocol, const endpoint& daemon) noexcept {
    switch (protocol.endpoints) {
    case endpoint_use::none: return true;
    case endpoint_use::tcp: return !daemon.is_unix_socket();
    case endpoint_use::tcp_or_unix: return true;
    }
    return false;
}

std::ostream& operator<<(std::ostream& out, protocol_type protocol) {
    return out << static_cast<std::int32_t>(protocol);
}

const char* protocol_name(protocol_type protocol) noexcept {
    const protocol_info* const found = find_protocol(protocol);
    return found != nullptr ? found->name : "unknown";
}

}  // namespace bench
