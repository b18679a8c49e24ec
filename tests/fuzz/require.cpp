#include "targets.hpp"

#include <cstdio>
#include <cstdlib>

namespace kvfuzz {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz target property broken: %s\n", what);
    std::abort();
}

}  // namespace kvfuzz
