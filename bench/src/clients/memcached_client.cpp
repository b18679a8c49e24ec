#include <bench/clients/memcached_client.hpp>

#include <stdexcept>

// Placeholder until the memcached client is written.
namespace bench {

memcached_client::memcached_client(const thread_context&) : client("memcached") {
    throw std::runtime_error("the memcached protocol is not available in this build");
}
memcached_client::~memcached_client() = default;
void memcached_client::put(const std::string&, const std::string&) {}
void memcached_client::update(const std::string&, const std::string&) {}
void memcached_client::remove(const std::string&) {}
void memcached_client::get(const std::string&, std::string&, std::size_t) {}

}  // namespace bench
