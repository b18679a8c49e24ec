#ifndef KVTEST_FUZZ_TARGETS_HPP
#define KVTEST_FUZZ_TARGETS_HPP

// The fuzz targets: each takes one input of arbitrary bytes, feeds it to a
// parser of untrusted input and checks what must hold whatever the bytes.
// A libFuzzer build makes one of them its entry point; the replay test calls
// them all on the inputs kept in the tree.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

int memcache_reply(const std::uint8_t* data, std::size_t size);
int resp_reader(const std::uint8_t* data, std::size_t size);
int redis_reply(const std::uint8_t* data, std::size_t size);
int suite_file(const std::uint8_t* data, std::size_t size);
int endpoint(const std::uint8_t* data, std::size_t size);
int command_line(const std::uint8_t* data, std::size_t size);
int wire(const std::uint8_t* data, std::size_t size);

// Ends the process with `what` on the standard error stream when `holds` is
// false: the fuzzer keeps the input as a crash, the replay test fails.
void require(bool holds, const char* what);

// Where the targets keep their scratch files: $TMPDIR, else /dev/shm when
// there is one (the files are rewritten for every input), else /tmp.
std::string scratch_parent();

}  // namespace kvfuzz

#endif
