#include <bench/thread_context.hpp>

#include <bench/clients/factory.hpp>
#include <bench/pipeline/connection_set.hpp>

#include <stdexcept>

namespace bench {

thread_context::thread_context(const run_settings& run, std::uint32_t number)
    : settings(run),
      thread_number(number),
      all_threads(run.threads > 1 ? static_cast<std::uint32_t>(run.threads) : 1) {
    if (settings.pipelined()) {
        connections = std::make_unique<connection_set>(settings);
    } else {
        client = make_client(settings.protocol, settings.daemon, settings.clients);
    }
}

thread_context::~thread_context() = default;

}  // namespace bench
