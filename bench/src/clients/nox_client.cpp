#include <bench/clients/nox_client.hpp>

#include <stdexcept>

// Placeholder until the nox client is written.
namespace bench {

nox_client::nox_client(const thread_context&) : client("nox") {
    throw std::runtime_error("the nox protocol is not available in this build");
}
nox_client::~nox_client() = default;
void nox_client::put(const std::string&, const std::string&) {}
void nox_client::update(const std::string&, const std::string&) {}
void nox_client::remove(const std::string&) {}
void nox_client::get(const std::string&, std::string&, std::size_t) {}

}  // namespace bench
