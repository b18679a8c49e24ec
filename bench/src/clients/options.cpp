#include <bench/clients/options.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

// No password is this long; reading stops there.
constexpr std::size_t max_line_bytes = 64 * 1024;

// Closes a file descriptor when it goes out of scope.
struct file_descriptor {
    int fd;
    ~file_descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

redis_credentials read_redis_credentials(const std::string& path, std::ostream& warnings) {
    const auto failure = [&path](const std::string& what) {
        return std::runtime_error("cannot read the auth file " + path + ": " + what);
    };
    // Without O_NONBLOCK, opening a FIFO waits for a writer, possibly for
    // ever; with it the open returns at once and the type is checked below.
    const file_descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) throw failure(std::strerror(errno));
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) throw failure(std::strerror(errno));
    if (S_ISDIR(status.st_mode)) throw failure(std::strerror(EISDIR));
    if (!S_ISREG(status.st_mode)) throw failure("not a regular file");
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        warnings << "Warning: other users have access to the auth file " << path << " (mode "
                 << mode << ")" << std::endl;
    }

    std::string line;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw failure(std::strerror(errno));
        if (n == 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
        const auto end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            break;
        }
        if (line.size() > max_line_bytes) throw failure("its first line is too long");
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();

    redis_credentials login;
    const auto space = line.find(' ');
    if (space == std::string::npos) {
        login.password = line;
    } else {
        login.user = line.substr(0, space);
        login.password = line.substr(space + 1);
        if (login.user.empty()) login.password.clear();
    }
    if (login.password.empty())
        throw failure("its first line holds neither a password nor a user name and a password");
    return login;
}

}  // namespace bench
