#include <bench/protocol.hpp>

#include <ostream>

namespace bench {

std::ostream& operator<<(std::ostream& out, protocol_type protocol) {
    return out << static_cast<std::int32_t>(protocol);
}

const char* protocol_name(protocol_type protocol) noexcept {
    switch (protocol) {
    case protocol_type::local:
        return "local";
    case protocol_type::nox:
        return "nox";
    case protocol_type::memcached:
        return "memcached";
    case protocol_type::redis:
        return "redis";
    }
    return "unknown";
}

}  // namespace bench
