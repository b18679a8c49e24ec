#include <bench/version.hpp>

namespace bench {

const char* version() noexcept { return KVBENCH_VERSION; }

}  // namespace bench
