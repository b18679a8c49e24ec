// The pipelined side of the memcache library: request texts, replies taken
// in request order from bytes split anywhere, failures, and a real memcached
// answering a hundred requests written at once.

#include <memcache/exceptions.hpp>
#include <memcache/pipeline.hpp>

#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using memcache::pipeline;

enum class kind { get, set, replace, remove };

void write(kind k, const std::string& key, const std::string& value, std::string& out) {
    switch (k) {
    case kind::get: pipeline::get(key, out); return;
    case kind::set: pipeline::set(key, value, out); return;
    case kind::replace: pipeline::replace(key, value, out); return;
    case kind::remove: pipeline::remove(key, out); return;
    }
}

pipeline::reply take(pipeline& replies, kind k, const std::string& key, std::string& value) {
    switch (k) {
    case kind::get: return replies.take_get(key, value);
    case kind::set: return replies.take_set(key);
    case kind::replace: return replies.take_replace(key);
    case kind::remove: return replies.take_remove(key);
    }
    return pipeline::reply::pending;
}

// One request and what taking its reply gives: "hit", "hit:<value>" for a
// get, "miss", or the message of what it raised.
struct step {
    kind request;
    std::string key;
    std::string value;     // the stored value
    std::string reply;     // the server's bytes
    std::string outcome;
};

std::string describe(pipeline::reply taken, kind k, const std::string& value) {
    if (taken == pipeline::reply::miss) return "miss";
    return k == kind::get ? "hit:" + value : "hit";
}

// Feeds the replies of `steps` in pieces of `piece` bytes and, after each
// piece, takes every reply they complete. Returns the outcomes in order.
std::vector<std::string> outcomes(const std::vector<step>& steps, std::size_t piece) {
    std::string bytes;
    for (const step& s : steps) bytes += s.reply;
    pipeline replies;
    std::vector<std::string> found;
    std::string value;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        replies.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
        while (found.size() < steps.size()) {
            const step& s = steps[found.size()];
            const pipeline::reply taken = take(replies, s.request, s.key, value);
            if (taken == pipeline::reply::pending) break;
            found.push_back(describe(taken, s.request, value));
        }
    }
    EXPECT_EQ(replies.buffered(), 0u);
    return found;
}

TEST(pipeline_requests, are_the_commands_text_and_refuse_bad_keys) {
    struct row {
        kind request;
        std::string key, value;
        std::string text;  // empty: invalid_key
    };
    const std::vector<row> rows = {
        {kind::get, "k1", "", "get k1\r\n"},
        {kind::set, "k1", "abc", "set k1 0 0 3\r\nabc\r\n"},
        {kind::set, "k1", "a\r\nEND\r\n\0"s, "set k1 0 0 9\r\na\r\nEND\r\n\0\r\n"s},
        {kind::replace, "k1", "", "replace k1 0 0 0\r\n\r\n"},
        {kind::remove, "k1", "", "delete k1\r\n"},
        {kind::get, std::string(250, 'k'), "", "get " + std::string(250, 'k') + "\r\n"},
        {kind::get, std::string(251, 'k'), "", ""},
        {kind::set, "a b", "v", ""},
        {kind::replace, "a\r\n", "v", ""},
        {kind::remove, "a\tb", "", ""},
        {kind::get, "a\0b"s, "", ""},
    };
    for (const row& r : rows) {
        std::string out = "before|";
        if (r.text.empty()) {
            EXPECT_THROW(write(r.request, r.key, r.value, out), memcache::invalid_key) << r.key;
            EXPECT_EQ(out, "before|");
        } else {
            write(r.request, r.key, r.value, out);
            EXPECT_EQ(out, "before|" + r.text);
        }
    }
}

TEST(pipeline_replies, every_split_gives_the_same_outcomes) {
    // The value holds what ends a reply, so a get that stopped at the first
    // "END\r\n" would hand the rest to the next request.
    const std::string tricky = "x\r\nEND\r\nVALUE k 0 1\r\n";
    const std::vector<step> round = {
        {kind::set, "k", "v", "STORED\r\n", "hit"},
        {kind::get, "k", "", "VALUE k 0 1\r\nv\r\nEND\r\n", "hit:v"},
        {kind::get, "k", "", "VALUE k 0 " + std::to_string(tricky.size()) + "\r\n" + tricky +
                                 "\r\nEND\r\n",
         "hit:" + tricky},
        {kind::get, "k", "", "VALUE k 5 0 77\r\n\r\nEND\r\n", "hit:"},
        {kind::get, "k", "", "END\r\n", "miss"},
        {kind::replace, "k", "w", "STORED\r\n", "hit"},
        {kind::replace, "k", "w", "NOT_STORED\r\n", "miss"},
        {kind::remove, "k", "", "DELETED\r\n", "hit"},
        {kind::remove, "k", "", "NOT_FOUND\r\n", "miss"},
    };
    std::vector<step> steps;
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        for (const step& s : round) {
            steps.push_back(s);
            expected.push_back(s.outcome);
        }
    }
    std::size_t all = 0;
    for (const step& s : steps) all += s.reply.size();
    for (const std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
                                    std::size_t(19), std::size_t(64), std::size_t(1000), all}) {
        EXPECT_EQ(outcomes(steps, piece), expected) << "pieces of " << piece << " bytes";
    }
}

TEST(pipeline_replies, get_waits_for_all_declared_data) {
    pipeline replies;
    std::string value = "old";
    const std::string reply = "VALUE k 0 11\r\nab\r\nEND\r\ncd\r\nEND\r\n";
    // Every prefix short of the whole reply holds no reply, "END\r\n" in the
    // data included.
    for (std::size_t n = 1; n < reply.size(); ++n) {
        replies.feed(reply.data() + n - 1, 1);
        ASSERT_EQ(replies.take_get("k", value), pipeline::reply::pending) << n << " bytes";
    }
    replies.feed(reply.data() + reply.size() - 1, 1);
    EXPECT_EQ(replies.take_get("k", value), pipeline::reply::hit);
    EXPECT_EQ(value, "ab\r\nEND\r\ncd");
}

TEST(pipeline_replies, failures_raise_with_what_the_server_sent) {
    struct row {
        const char* name;
        kind request;
        std::string reply;
        std::string message;
    };
    const std::string long_line(65 * 1024, 'x');
    const std::vector<row> rows = {
        {"get_server_error", kind::get, "SERVER_ERROR out of memory\r\n",
         "Invalid response found for key: SERVER_ERROR out of memory\r\n"},
        {"get_error", kind::get, "ERROR\r\n", "Invalid response found for key: ERROR\r\n"},
        {"get_stored", kind::get, "STORED\r\nEND\r\n",
         "Malformed data: get k\r\nSTORED\r\nEND\r\n"},
        {"get_other_key", kind::get, "VALUE q 0 1\r\nv\r\nEND\r\n",
         "Malformed data: get k\r\nVALUE q 0 1\r\nv\r\nEND\r\n"},
        {"get_data_without_crlf", kind::get, "VALUE k 0 1\r\nvxEND\r\n",
         "Malformed data: get k\r\nVALUE k 0 1\r\nvxEND\r\n"},
        {"get_value_too_large", kind::get, "VALUE k 0 2000000000\r\n",
         "Key not found: k (announced value larger than 1 GiB)"},
        {"get_long_line", kind::get, "VALUE k " + long_line,
         "Key not found: k (reply line longer than 64 KiB)"},
        {"set_not_stored", kind::set, "NOT_STORED\r\n", "Key not stored: k"},
        {"set_too_large", kind::set, "SERVER_ERROR object too large for cache\r\n",
         "Key not stored: k (SERVER_ERROR object too large for cache)"},
        {"set_deleted", kind::set, "DELETED\r\n", "Key not stored: k (DELETED)"},
        {"set_long_line", kind::set, long_line, "Key not stored: k (reply line longer than 64 KiB)"},
        {"replace_exists", kind::replace, "EXISTS\r\n", "Key not stored: k"},
        {"replace_client_error", kind::replace, "CLIENT_ERROR bad data chunk\r\n",
         "Key not stored: k (CLIENT_ERROR bad data chunk)"},
        {"replace_empty_line", kind::replace, "\r\n", "Key not stored: k (empty reply line)"},
        {"delete_error", kind::remove, "ERROR\r\n", "Key not found: k (ERROR)"},
        {"delete_stored", kind::remove, "STORED\r\n", "Key not found: k (STORED)"},
        {"delete_long_line", kind::remove, long_line,
         "Key not found: k (reply line longer than 64 KiB)"},
    };
    for (const row& r : rows) {
        pipeline replies;
        replies.feed(r.reply.data(), r.reply.size());
        std::string value;
        try {
            take(replies, r.request, "k", value);
            ADD_FAILURE() << r.name << ": nothing raised";
        } catch (const memcache::exception& failure) {
            EXPECT_EQ(failure.what(), r.message) << r.name;
        }
    }
}

// A socket connected to the server, which gives up reading after 5 s.
class connection {
public:
    explicit connection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to memcached");
    }
    ~connection() { ::close(fd_); }
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

TEST(pipeline_memcached, answers_a_hundred_requests_written_at_once) {
    const kvtest::server_process server = kvtest::server_process::memcached();
    const connection socket(server.port());

    std::vector<step> steps;
    const std::string tricky = "v\r\nEND\r\n";
    for (int i = 0; i < 10; ++i) {
        const std::string key = "pipe/" + std::to_string(i), v = "v" + std::to_string(i),
                          w = std::string(100 * i, 'w');
        const std::vector<step> round = {
            {kind::set, key, v, "", "hit"},          {kind::get, key, "", "", "hit:" + v},
            {kind::replace, key, w, "", "hit"},      {kind::get, key, "", "", "hit:" + w},
            {kind::remove, key, "", "", "hit"},      {kind::get, key, "", "", "miss"},
            {kind::replace, key, w, "", "miss"},     {kind::remove, key, "", "", "miss"},
            {kind::set, key, tricky, "", "hit"},     {kind::get, key, "", "", "hit:" + tricky},
        };
        steps.insert(steps.end(), round.begin(), round.end());
    }
    ASSERT_EQ(steps.size(), 100u);
    std::string requests;
    for (const step& s : steps) write(s.request, s.key, s.value, requests);
    ASSERT_EQ(::send(socket.fd(), requests.data(), requests.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(requests.size()));

    pipeline replies;
    std::vector<std::string> found;
    std::string value;
    char buffer[4096];
    while (found.size() < steps.size()) {
        const ssize_t got = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "after " << found.size() << " replies";
        replies.feed(buffer, static_cast<std::size_t>(got));
        while (found.size() < steps.size()) {
            const step& s = steps[found.size()];
            const pipeline::reply taken = take(replies, s.request, s.key, value);
            if (taken == pipeline::reply::pending) break;
            found.push_back(describe(taken, s.request, value));
        }
    }
    for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(found[i], steps[i].outcome) << i;
    EXPECT_EQ(replies.buffered(), 0u);
}

}  // namespace
