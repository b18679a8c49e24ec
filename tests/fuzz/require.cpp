#include "targets.hpp"

#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

namespace kvfuzz {

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz target property broken: %s\n", what);
    std::abort();
}

std::string scratch_parent() {
    const char* directory = std::getenv("TMPDIR");
    if (directory != nullptr && *directory != '\0') return directory;
    struct stat status {};
    if (::stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode)) return "/dev/shm";
    return "/tmp";
}

}  // namespace kvfuzz
