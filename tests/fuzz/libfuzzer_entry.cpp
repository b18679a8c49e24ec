// The entry point of one fuzzer executable; KVBENCH_FUZZ_TARGET names the
// target function it runs.

#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return KVBENCH_FUZZ_TARGET(data, size);
}
