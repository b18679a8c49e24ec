// The floor client: the least work a client can do for the
// multiple_put_get_delete workload (put, get and remove of a new key per
// step), so that kvbench's step times can be compared with it. No library,
// no time limits, no parsing beyond finding where a reply ends.
//
//   kvbench_floor memcached HOST PORT STEPS SIZE
//   kvbench_floor resp      HOST PORT STEPS SIZE
//   kvbench_floor local     STEPS SIZE
//
// Prints the mean step time in milliseconds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

// Keys of the same shape and length as kvbench's: pid/thread/time/number in hex.
std::string make_key(std::uint64_t number) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    auto micros = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                  static_cast<unsigned long long>(now.tv_usec);
    char text[96];
    std::snprintf(text, sizeof text, "%x/%x/%llx/%llx", static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(
                      reinterpret_cast<void*>(::pthread_self()))),
                  micros, static_cast<unsigned long long>(number));
    return text;
}

class connection {
public:
    connection(const char* host, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) fail("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, host, &address.sin_addr) != 1) fail("inet_pton");
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("connect");
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        buffer_.resize(1 << 20);
    }
    ~connection() { ::close(fd_); }

    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, 0);
            if (n <= 0) fail("send");
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads until the reply so far ends with `tail`.
    void read_until_tail(const char* tail) {
        std::size_t tail_length = std::strlen(tail), have = 0;
        for (;;) {
            ssize_t n = ::recv(fd_, buffer_.data() + have, buffer_.size() - have, 0);
            if (n <= 0) fail("recv");
            have += static_cast<std::size_t>(n);
            if (have >= tail_length &&
                std::memcmp(buffer_.data() + have - tail_length, tail, tail_length) == 0)
                return;
        }
    }

    // Reads one RESP bulk reply: "$<n>\r\n", n bytes, "\r\n".
    void read_bulk() {
        std::size_t have = 0, need = 0;
        for (;;) {
            ssize_t n = ::recv(fd_, buffer_.data() + have, buffer_.size() - have, 0);
            if (n <= 0) fail("recv");
            have += static_cast<std::size_t>(n);
            if (need == 0) {
                const char* end = static_cast<const char*>(std::memchr(buffer_.data(), '\n', have));
                if (!end) continue;
                long length = std::strtol(buffer_.data() + 1, nullptr, 10);
                need = static_cast<std::size_t>(end - buffer_.data() + 1) +
                       (length < 0 ? 0 : static_cast<std::size_t>(length) + 2);
            }
            if (have >= need) return;
        }
    }

private:
    int fd_ = -1;
    std::vector<char> buffer_;
};

// Times `steps` steps; prepare(i) builds the step's requests outside the
// timed region, step() makes the exchanges.
template <typename Prepare, typename Step>
double mean_step(std::uint64_t steps, Prepare prepare, Step step) {
    double total = 0;
    for (std::uint64_t i = 0; i < steps; ++i) {
        prepare(i);
        auto start = std::chrono::steady_clock::now();
        step();
        auto end = std::chrono::steady_clock::now();
        total += static_cast<double>(
                     std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
                 1000000.0;
    }
    return steps ? total / static_cast<double>(steps) : 0.0;
}

std::string resp_command(std::initializer_list<const std::string*> parts) {
    std::string out = "*" + std::to_string(parts.size()) + "\r\n";
    for (const std::string* p : parts) out += "$" + std::to_string(p->size()) + "\r\n" + *p + "\r\n";
    return out;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s memcached|resp HOST PORT STEPS SIZE | local STEPS SIZE\n", argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    double mean = 0;
    if (mode == "local" && argc == 4) {
        std::uint64_t steps = std::strtoull(argv[2], nullptr, 10);
        std::string value(std::strtoull(argv[3], nullptr, 10), 'x');
        std::mutex mutex;
        std::unordered_map<std::string, std::string> map;
        std::string key, out;
        mean = mean_step(
            steps, [&](std::uint64_t i) { key = make_key(1024 + steps + i); out.clear(); },
            [&] {
                { std::lock_guard<std::mutex> lock(mutex); map.emplace(key, value); }
                { std::lock_guard<std::mutex> lock(mutex); out = map.find(key)->second; }
                { std::lock_guard<std::mutex> lock(mutex); map.erase(key); }
            });
    } else if ((mode == "memcached" || mode == "resp") && argc == 6) {
        connection c(argv[2], std::atoi(argv[3]));
        std::uint64_t steps = std::strtoull(argv[4], nullptr, 10);
        std::string value(std::strtoull(argv[5], nullptr, 10), 'x');
        std::string put, get, del;
        if (mode == "memcached") {
            mean = mean_step(
                steps,
                [&](std::uint64_t i) {
                    std::string key = make_key(1024 + steps + i);
                    put = "add " + key + " 0 0 " + std::to_string(value.size()) + "\r\n" + value + "\r\n";
                    get = "get " + key + "\r\n";
                    del = "delete " + key + "\r\n";
                },
                [&] {
                    c.send(put);
                    c.read_until_tail("\r\n");
                    c.send(get);
                    c.read_until_tail("END\r\n");
                    c.send(del);
                    c.read_until_tail("\r\n");
                });
        } else {
            const std::string set_word = "SET", get_word = "GET", del_word = "DEL";
            mean = mean_step(
                steps,
                [&](std::uint64_t i) {
                    std::string key = make_key(1024 + steps + i);
                    put = resp_command({&set_word, &key, &value});
                    get = resp_command({&get_word, &key});
                    del = resp_command({&del_word, &key});
                },
                [&] {
                    c.send(put);
                    c.read_until_tail("\r\n");
                    c.send(get);
                    c.read_bulk();
                    c.send(del);
                    c.read_until_tail("\r\n");
                });
        }
    } else {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }
    std::printf("%.6g\n", mean);
    return 0;
}
