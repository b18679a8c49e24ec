// The floor client: the least work a client can do for the
// multiple_put_get_delete workload (put, get and remove of a new key per
// step), or for a mix test's steps, so that kvbench's step times can be
// compared with it. No library, no time limits, no parsing beyond finding
// where a reply ends.
//
//   kvbench_floor memcached HOST PORT STEPS SIZE [MIX]
//   kvbench_floor resp      HOST PORT STEPS SIZE [MIX]
//   kvbench_floor local     STEPS SIZE [MIX]
//
// MIX is KEYS GET PUT UPDATE REMOVE READ_MODIFY_WRITE: a key space of KEYS
// keys, written once untimed, then steps of one operation each, drawn with
// those weights on a key drawn uniformly, as a mix test's are (get: GET or
// get; put: SET or set; update: SET XX or replace; remove: DEL or delete;
// read_modify_write: a get, then a put).
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

// A mix test's operations, in the order of their weights on the command line.
enum operation { get_op, put_op, update_op, remove_op, read_modify_write_op, operation_count };

// Draws the operation and the key of each step of a mix.
class mix_chooser {
public:
    mix_chooser(std::uint64_t keys, const unsigned (&weights)[operation_count]) : keys_(keys) {
        for (int i = 0; i < operation_count; ++i) {
            total_ += weights[i];
            bounds_[i] = total_;
        }
        if (keys_ == 0 || total_ == 0) {
            std::fprintf(stderr, "a mix needs keys and a weight above 0\n");
            std::exit(2);
        }
    }
    operation next_operation() {
        const std::uint64_t draw = next() % total_;
        int op = 0;
        while (draw >= bounds_[op]) ++op;
        return static_cast<operation>(op);
    }
    std::uint64_t next_key() { return next() % keys_; }

private:
    std::uint64_t next() {  // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1dULL;
    }
    std::uint64_t keys_;
    std::uint64_t total_ = 0;
    std::uint64_t bounds_[operation_count] = {};
    std::uint64_t state_ = 0x9e3779b97f4a7c15ULL;
};

// A mix key: as long as the keys of scripts/mix-costs's mix test.
std::string mix_key(std::uint64_t number) { return "kvbench:floor:" + std::to_string(number); }

// The requests of one step of a mix over a network protocol, built outside
// the timed step.
struct mix_requests {
    std::string read, write;  // a read_modify_write sends both
};

// Runs a mix: `build(op, key, requests)` writes the requests of a step,
// `exchange(op, requests)` makes them over the connection.
template <typename Build, typename Exchange>
double network_mix(std::uint64_t keys, std::uint64_t steps,
                   const unsigned (&weights)[operation_count], Build build, Exchange exchange) {
    mix_requests requests;
    for (std::uint64_t key = 0; key < keys; ++key) {
        build(put_op, mix_key(key), requests);
        exchange(put_op, requests);
    }
    mix_chooser chooser(keys, weights);
    operation op = get_op;
    return mean_step(
        steps,
        [&](std::uint64_t) {
            op = chooser.next_operation();
            build(op, mix_key(chooser.next_key()), requests);
        },
        [&] { exchange(op, requests); });
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s memcached|resp HOST PORT STEPS SIZE [MIX] | local STEPS SIZE [MIX]\n"
                     "  MIX: KEYS GET PUT UPDATE REMOVE READ_MODIFY_WRITE\n",
                     argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    // A mix's six numbers end the command line.
    const int plain_arguments = mode == "local" ? 4 : 6;
    const bool mix = argc == plain_arguments + 1 + operation_count;
    std::uint64_t keys = 0;
    unsigned weights[operation_count] = {};
    if (mix) {
        keys = std::strtoull(argv[plain_arguments], nullptr, 10);
        for (int i = 0; i < operation_count; ++i)
            weights[i] = static_cast<unsigned>(std::strtoul(argv[plain_arguments + 1 + i], nullptr, 10));
        argc = plain_arguments;
    }
    double mean = 0;
    if (mode == "local" && argc == 4 && mix) {
        std::uint64_t steps = std::strtoull(argv[2], nullptr, 10);
        std::string value(std::strtoull(argv[3], nullptr, 10), 'x');
        std::mutex mutex;
        std::unordered_map<std::string, std::string> map;
        map.max_load_factor(1.0f);
        for (std::uint64_t key = 0; key < keys; ++key) map.emplace(mix_key(key), value);
        mix_chooser chooser(keys, weights);
        operation op = get_op;
        std::string key, out;
        const auto read = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = map.find(key);
            if (found != map.end()) out = found->second;
        };
        const auto write = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            map.insert_or_assign(key, value);
        };
        mean = mean_step(
            steps,
            [&](std::uint64_t) {
                op = chooser.next_operation();
                key = mix_key(chooser.next_key());
                out.clear();
            },
            [&] {
                switch (op) {
                case get_op: read(); break;
                case put_op: write(); break;
                case update_op: {
                    std::lock_guard<std::mutex> lock(mutex);
                    const auto found = map.find(key);
                    if (found != map.end()) found->second = value;
                    break;
                }
                case remove_op: {
                    std::lock_guard<std::mutex> lock(mutex);
                    map.erase(key);
                    break;
                }
                default: read(); write(); break;
                }
            });
    } else if ((mode == "memcached" || mode == "resp") && argc == 6 && mix) {
        connection c(argv[2], std::atoi(argv[3]));
        std::uint64_t steps = std::strtoull(argv[4], nullptr, 10);
        std::string value(std::strtoull(argv[5], nullptr, 10), 'x');
        if (mode == "memcached") {
            const std::string length = std::to_string(value.size());
            mean = network_mix(
                keys, steps, weights,
                [&](operation op, const std::string& key, mix_requests& r) {
                    const auto store = [&](const char* command) {
                        return command + (" " + key) + " 0 0 " + length + "\r\n" + value + "\r\n";
                    };
                    switch (op) {
                    case get_op: r.read = "get " + key + "\r\n"; break;
                    case put_op: r.write = store("set"); break;
                    case update_op: r.write = store("replace"); break;
                    case remove_op: r.write = "delete " + key + "\r\n"; break;
                    default:
                        r.read = "get " + key + "\r\n";
                        r.write = store("set");
                        break;
                    }
                },
                [&](operation op, const mix_requests& r) {
                    if (op == get_op || op == read_modify_write_op) {
                        c.send(r.read);
                        c.read_until_tail("END\r\n");
                    }
                    if (op != get_op) {
                        c.send(r.write);
                        c.read_until_tail("\r\n");
                    }
                });
        } else {
            const std::string set_word = "SET", get_word = "GET", del_word = "DEL", xx = "XX";
            mean = network_mix(
                keys, steps, weights,
                [&](operation op, const std::string& key, mix_requests& r) {
                    switch (op) {
                    case get_op: r.read = resp_command({&get_word, &key}); break;
                    case put_op: r.write = resp_command({&set_word, &key, &value}); break;
                    case update_op: r.write = resp_command({&set_word, &key, &value, &xx}); break;
                    case remove_op: r.write = resp_command({&del_word, &key}); break;
                    default:
                        r.read = resp_command({&get_word, &key});
                        r.write = resp_command({&set_word, &key, &value});
                        break;
                    }
                },
                [&](operation op, const mix_requests& r) {
                    if (op == get_op || op == read_modify_write_op) {
                        c.send(r.read);
                        c.read_bulk();
                    }
                    if (op != get_op) {
                        c.send(r.write);
                        c.read_until_tail("\r\n");
                    }
                });
        }
    } else if (mode == "local" && argc == 4) {
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
