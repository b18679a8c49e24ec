#include <bench/protocol.hpp>

#include <ostream>

namespace bench {

std::ostream& operator<<(std::ostream& out, protocol_type protocol) {
    return out << static_cast<std::int32_t>(protocol);
}

}  // namespace bench
