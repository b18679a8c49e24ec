#include <bench/clients/options.hpp>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

// No password is this long; reading stops there, so that a path such as
// /dev/zero cannot keep the program reading.
constexpr std::size_t max_line_bytes = 64 * 1024;

// Closes a file descriptor when it goes out of scope.
struct file_descriptor {
    int fd;
    ~file_descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

redis_credentials read_redis_credentials(const std::string& path) {
    const auto failure = [&path](const std::string& what) {
        return std::runtime_error("cannot read the auth file " + path + ": " + what);
    };
    const file_descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) throw failure(std::strerror(errno));

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
