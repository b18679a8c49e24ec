#ifndef BENCH_VERSION_HPP
#define BENCH_VERSION_HPP

namespace bench {

// The program's version, "major.minor.patch", as the build's project sets it.
const char* version() noexcept;

}  // namespace bench

#endif
