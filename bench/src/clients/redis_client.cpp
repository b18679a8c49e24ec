#include <bench/clients/redis_client.hpp>

#include <stdexcept>

// Placeholder until the redis client is written.
namespace bench {

redis_client::redis_client(const thread_context&) : client("redis") {
    throw std::runtime_error("the redis protocol is not available in this build");
}
redis_client::~redis_client() = default;
void redis_client::put(const std::string&, const std::string&) {}
void redis_client::update(const std::string&, const std::string&) {}
void redis_client::remove(const std::string&) {}
void redis_client::get(const std::string&, std::string&, std::size_t) {}

}  // namespace bench
