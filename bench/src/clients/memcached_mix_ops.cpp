// The operations of a test over a shared key space, for the memcached
// client. A miss there must come back as a return value, and the memcache
// library reports one only by throwing; until it can tell a miss without
// an exception, these refuse to run.

#include <bench/clients/memcached_client.hpp>

#include <stdexcept>
#include <string>

namespace bench {

namespace {

[[noreturn]] void unsupported(const char* operation) {
    throw std::runtime_error(std::string("memcached client: ") + operation +
                             " not supported yet");
}

}  // namespace

void memcached_client::set(const std::string&, const std::string&) { unsupported("set"); }

bool memcached_client::try_get(const std::string&, std::string&) { unsupported("try_get"); }

bool memcached_client::try_update(const std::string&, const std::string&) {
    unsupported("try_update");
}

bool memcached_client::try_remove(const std::string&) { unsupported("try_remove"); }

}  // namespace bench
