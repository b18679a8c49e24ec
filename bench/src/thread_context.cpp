#include <bench/thread_context.hpp>

#include <bench/clients/factory.hpp>

namespace bench {

thread_context::thread_context(const run_settings& run, std::uint32_t number)
    : settings(run), thread_number(number) {
    // The client is built last: the factory reads the settings and the number.
    client = make_client(*this);
}

thread_context::~thread_context() = default;

}  // namespace bench
