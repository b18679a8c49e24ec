#ifndef KVTEST_FAKE_SERVER_HPP
#define KVTEST_FAKE_SERVER_HPP

// A scripted TCP server on 127.0.0.1 for faults a real server won't produce
// on demand: replies that never come, come slowly or in pieces, closed
// connections, error lines, garbage.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

using namespace std::chrono_literals;

// One accepted connection, handed to the server's script.
class fake_connection {
public:
    fake_connection(int fd, const std::atomic<bool>& stopping);
    ~fake_connection();  // closes the socket unless close() did
    fake_connection(const fake_connection&) = delete;
    fake_connection& operator=(const fake_connection&) = delete;

    // Reads until the bytes received since the last consume hold `text`;
    // returns everything up to and including the first occurrence and keeps
    // the rest for the next read. Returns what arrived so far (without
    // throwing) when the peer closes, the limit passes or the server stops.
    std::string read_until(const std::string& text, std::chrono::milliseconds limit = 5s);
    // Reads exactly n bytes (or fewer on close, time-out or stop).
    std::string read_bytes(std::size_t n, std::chrono::milliseconds limit = 5s);

    void send(const std::string& bytes);
    // Sends the bytes in pieces of `chunk` bytes with `gap` between them.
    void send_slowly(const std::string& bytes, std::size_t chunk, std::chrono::milliseconds gap);
    // Sends `piece` again and again, as fast as the peer takes it, until the
    // peer closes or resets the connection, the server stops or `limit`
    // passes (so that a client that never lets go fails its test instead of
    // holding it).
    void send_until_closed(const std::string& piece,
                           std::chrono::milliseconds limit = std::chrono::hours(24));
    // Waits, returning early when the server stops.
    void stall(std::chrono::milliseconds how_long);
    // Waits until the peer closes its side (true) or the limit passes (false).
    bool wait_for_peer_close(std::chrono::milliseconds limit = 5s);
    void close();

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_;
    const std::atomic<bool>& stopping_;
    std::string pending_;  // received and not yet consumed
};

class fake_server {
public:
    using script = std::function<void(fake_connection&)>;

    // Listens on 127.0.0.1 on a free port and runs `each` on its own thread
    // for every accepted connection; the connection is closed when it returns.
    explicit fake_server(script each);
    ~fake_server();  // stops accepting, wakes stalled scripts, joins every thread
    fake_server(const fake_server&) = delete;
    fake_server& operator=(const fake_server&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    std::size_t accepted() const noexcept { return accepted_.load(); }

private:
    void accept_loop();

    int listener_ = -1;
    std::uint16_t port_ = 0;
    script script_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> accepted_{0};
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// Answers the Redis commands SET, GET and DEL (arrays of bulk strings, as
// hiredis sends them) from a map of its own, until the peer closes or the
// server stops; any other command gets an error reply. before_reply, when
// given, runs with each command's name and its number on the connection
// (from 1) before the reply goes out, for a script to stall it.
void serve_resp(fake_connection& connection,
                const std::function<void(const std::string& command, std::size_t number)>&
                    before_reply = {});

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t closed_port();

// A listener on 127.0.0.1 that never accepts, its queue filled: a connect
// to it gets no answer at all and hangs until its own time limit.
class unanswering_listener {
public:
    unanswering_listener();
    ~unanswering_listener();
    unanswering_listener(const unanswering_listener&) = delete;
    unanswering_listener& operator=(const unanswering_listener&) = delete;

    std::uint16_t port() const noexcept { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;  // the connections that fill the queue
};

}  // namespace kvtest

#endif
