// The Redis pipeline codec: the requests it writes, the replies it takes
// from bytes split anywhere, its failures, and a pipeline against a real
// redis-server.

#include <bench/pipeline/codec.hpp>

#include "allocation_meter.hpp"

#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using bench::request_kind;

// One request and the reply the server gives it.
struct exchange {
    request_kind kind;
    std::string key, value;  // value: what is written, or what a get reads
    std::string reply;
    bool hit;
};

// Feeds `replies` in the pieces that end at `cuts` (then the rest), taking
// every reply as soon as it can; returns each reply's hit and value.
std::vector<std::pair<bool, std::string>> take_all(bench::pipeline_codec& codec,
                                                   const std::vector<exchange>& script,
                                                   const std::string& replies,
                                                   std::vector<std::size_t> cuts) {
    cuts.push_back(replies.size());
    std::vector<std::pair<bool, std::string>> answers;
    std::size_t from = 0;
    std::string value = "stale";
    for (const std::size_t cut : cuts) {
        codec.feed(replies.data() + from, cut - from);
        from = cut;
        bool hit = false;
        while (answers.size() < script.size()) {
            const exchange& e = script[answers.size()];
            if (!codec.take(e.kind, e.key, hit, value)) break;
            answers.emplace_back(hit, e.kind == request_kind::get && hit ? value : "");
        }
    }
    return answers;
}

std::string reply_text(const std::vector<exchange>& script) {
    std::string text;
    for (const exchange& e : script) text += e.reply;
    return text;
}

TEST(RedisCodecTest, WritesEachRequestAsAnArrayOfBulkStrings) {
    const std::string key("k\r\n\0y", 5);  // binary safe: sent by length
    const std::vector<std::tuple<request_kind, std::string, std::string>> cases = {
        {request_kind::get, "*2\r\n$3\r\nGET\r\n$5\r\n" + key + "\r\n", ""},
        {request_kind::set, "*3\r\n$3\r\nSET\r\n$5\r\n" + key + "\r\n$3\r\nabc\r\n", "abc"},
        {request_kind::set, "*3\r\n$3\r\nSET\r\n$5\r\n" + key + "\r\n$0\r\n\r\n", ""},
        {request_kind::update, "*4\r\n$3\r\nSET\r\n$5\r\n" + key + "\r\n$3\r\nabc\r\n$2\r\nXX\r\n",
         "abc"},
        {request_kind::remove, "*2\r\n$3\r\nDEL\r\n$5\r\n" + key + "\r\n", ""},
        {request_kind::auth, "*3\r\n$4\r\nAUTH\r\n$5\r\n" + key + "\r\n$6\r\nsecret\r\n",
         "secret"},
    };
    auto codec = bench::make_redis_codec();
    std::string out = "earlier;", all = out;
    for (const auto& [kind, expected, value] : cases) {
        codec->write(kind, key, value, out);
        all += expected;
    }
    // A login without a user name.
    codec->write(request_kind::auth, "", "secret", out);
    all += "*2\r\n$4\r\nAUTH\r\n$6\r\nsecret\r\n";
    EXPECT_EQ(out, all);  // appended, back to back
}

TEST(RedisCodecTest, RepliesSplitAnywhereGiveTheSameAnswers) {
    const std::string large(3000, 'L');  // past the 1 KiB hiredis keeps before trimming
    const std::vector<exchange> script = {
        {request_kind::auth, "", "pw", "+OK\r\n", true},
        {request_kind::set, "a", "1", "+OK\r\n", true},
        {request_kind::get, "a", "one", "$3\r\none\r\n", true},
        {request_kind::get, "b", "", "$-1\r\n", false},
        {request_kind::get, "e", "", "$0\r\n\r\n", true},
        {request_kind::get, "l", large, "$3000\r\n" + large + "\r\n", true},
        {request_kind::get, "crlf", "x\r\n$-1\r\n", "$8\r\nx\r\n$-1\r\n\r\n", true},
        {request_kind::update, "a", "2", "+OK\r\n", true},
        {request_kind::update, "b", "2", "$-1\r\n", false},
        {request_kind::remove, "a", "", ":1\r\n", true},
        {request_kind::remove, "b", "", ":0\r\n", false},
        {request_kind::get, "a", "two", "$3\r\ntwo\r\n", true},
    };
    const std::string replies = reply_text(script);
    std::vector<std::pair<bool, std::string>> expected;
    for (const exchange& e : script)
        expected.emplace_back(e.hit, e.kind == request_kind::get ? e.value : "");

    std::vector<std::pair<std::string, std::vector<std::size_t>>> splits = {{"whole", {}}};
    std::vector<std::size_t> bytewise, sevens;
    for (std::size_t at = 1; at < replies.size(); ++at) {
        bytewise.push_back(at);
        if (at % 7 == 0) sevens.push_back(at);
        splits.push_back({"cut at " + std::to_string(at), {at}});
    }
    splits.push_back({"byte by byte", bytewise});
    splits.push_back({"7 bytes at a time", sevens});
    // One codec through every split: each leaves it ready for the next.
    auto codec = bench::make_redis_codec();
    for (const auto& [name, cuts] : splits)
        ASSERT_EQ(take_all(*codec, script, replies, cuts), expected) << name;
}

TEST(RedisCodecTest, FailedRepliesThrowWithTheOperationsMessageUntilReset) {
    const std::string long_line = "+" + std::string(64 * 1024 + 2, 'x');
    const std::vector<std::tuple<request_kind, std::string, std::string>> cases = {
        // Errors from the server, quoted.
        {request_kind::get, "-ERR no\r\n", "could not get entry: ERR no"},
        {request_kind::set, "-OOM full\r\n", "could not set entry: OOM full"},
        {request_kind::update, "-ERR x\r\n", "could not update entry: ERR x"},
        {request_kind::remove, "-ERR\r\n", "could not delete entry: ERR"},
        {request_kind::auth, "-WRONGPASS bad\r\n", "redis authentication failed: WRONGPASS bad"},
        // Replies the command does not answer with.
        {request_kind::get, "+OK\r\n", "could not get entry: unexpected status reply"},
        {request_kind::set, "$-1\r\n", "could not set entry: unexpected nil reply"},
        {request_kind::update, "$1\r\nx\r\n", "could not update entry: unexpected bulk string reply"},
        {request_kind::remove, ":-1\r\n", "could not delete entry: unexpected integer reply -1"},
        {request_kind::auth, ":1\r\n", "redis authentication failed: unexpected integer reply 1"},
        // Broken bytes, and replies past the bounds.
        {request_kind::get, "*1\r\n$1\r\nx\r\n", "could not get entry: an array reply"},
        {request_kind::get, "OK\r\n", "could not get entry: a byte that begins no reply"},
        {request_kind::get, "$01\r\nx\r\n", "could not get entry: a malformed bulk length"},
        {request_kind::get, "$536870913\r\n", "could not get entry: a bulk string over 512 MiB"},
        {request_kind::set, long_line, "could not set entry: a reply line over 64 KiB"},
    };
    for (const auto& [kind, reply, message] : cases) {
        for (const std::size_t piece : {reply.size(), std::size_t(1)}) {
            auto codec = bench::make_redis_codec();
            std::string value = "kept";
            bool hit = false;
            std::string thrown;
            try {
                for (std::size_t at = 0; at < reply.size() && thrown.empty(); at += piece) {
                    codec->feed(reply.data() + at, std::min(piece, reply.size() - at));
                    codec->take(kind, "k", hit, value);
                }
            } catch (const std::runtime_error& error) {
                thrown = error.what();
            }
            EXPECT_EQ(thrown, message) << reply.substr(0, 20) << " in pieces of " << piece;
            EXPECT_EQ(value, "kept") << message;
            // A new connection: the codec starts clean.
            codec->reset();
            codec->feed("$2\r\nok\r\n", 8);
            ASSERT_TRUE(codec->take(request_kind::get, "k", hit, value)) << message;
            EXPECT_TRUE(hit && value == "ok") << message;
        }
    }
}

// A cluster's codec writes ASKING and takes MOVED and ASK as replies that
// say where to go; other errors, and MOVED for a codec that does not follow
// redirections, still fail.
TEST(RedisCodecTest, AClustersCodecTakesRedirectionsAsReplies) {
    std::string out;
    auto follows = bench::make_redis_codec(true);
    follows->write(request_kind::asking, "k", "", out);
    EXPECT_EQ(out, "*1\r\n$6\r\nASKING\r\n");
    const std::string replies =
        "+OK\r\n-MOVED 3999 127.0.0.1:7001\r\n-ASK 3999 127.0.0.1:7002\r\n$1\r\nv\r\n-ERR x\r\n";
    follows->feed(replies.data(), replies.size());
    bool hit = true;
    std::string value = "kept";
    ASSERT_TRUE(follows->take(request_kind::asking, "", hit, value));
    EXPECT_TRUE(hit);
    EXPECT_EQ(follows->redirection(), "");
    ASSERT_TRUE(follows->take(request_kind::get, "k", hit, value));
    EXPECT_FALSE(hit);
    EXPECT_EQ(follows->redirection(), "MOVED 3999 127.0.0.1:7001");
    ASSERT_TRUE(follows->take(request_kind::set, "k", hit, value));
    EXPECT_EQ(follows->redirection(), "ASK 3999 127.0.0.1:7002");
    ASSERT_TRUE(follows->take(request_kind::get, "k", hit, value));
    EXPECT_TRUE(hit && value == "v");
    EXPECT_EQ(follows->redirection(), "");
    EXPECT_THROW(follows->take(request_kind::remove, "k", hit, value), std::runtime_error);

    auto plain = bench::make_redis_codec();
    const std::string moved = "-MOVED 3999 127.0.0.1:7001\r\n";
    plain->feed(moved.data(), moved.size());
    try {
        plain->take(request_kind::get, "k", hit, value);
        ADD_FAILURE() << "MOVED was taken";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "could not get entry: MOVED 3999 127.0.0.1:7001");
    }
}

TEST(RedisCodecTest, ResetDropsAReplyBegun) {
    auto codec = bench::make_redis_codec();
    bool hit = false;
    std::string value;
    codec->feed("$10\r\nabc", 8);
    EXPECT_FALSE(codec->take(request_kind::get, "k", hit, value));
    codec->reset();
    codec->feed(":0\r\n", 4);
    ASSERT_TRUE(codec->take(request_kind::remove, "k", hit, value));
    EXPECT_FALSE(hit);
}

TEST(RedisCodecTest, WritingAndTakingAllocateNothingOnceWarm) {
    const std::string key = "alloc/k", value(2000, 'v');
    const std::vector<exchange> script = {
        {request_kind::set, key, value, "+OK\r\n", true},
        {request_kind::get, key, value, "$2000\r\n" + value + "\r\n", true},
        {request_kind::update, key, value, "+OK\r\n", true},
        {request_kind::remove, key, "", ":1\r\n", true},
        {request_kind::get, key, "", "$-1\r\n", false},
        {request_kind::update, key, value, "$-1\r\n", false},
        {request_kind::remove, key, "", ":0\r\n", false},
    };
    std::string replies;
    for (int copy = 0; copy < 8; ++copy) replies += reply_text(script);
    auto codec = bench::make_redis_codec();
    std::string out, read;
    std::size_t wrong = 0;
    const auto round = [&] {
        out.clear();
        for (int copy = 0; copy < 8; ++copy)
            for (const exchange& e : script) codec->write(e.kind, e.key, e.value, out);
        // Fed in reads of 1000 bytes, each reply taken as soon as it can be.
        std::size_t fed = 0, taken = 0;
        while (taken < 8 * script.size()) {
            const std::size_t piece = std::min<std::size_t>(1000, replies.size() - fed);
            codec->feed(replies.data() + fed, piece);
            fed += piece;
            bool hit = false;
            while (taken < 8 * script.size()) {
                const exchange& e = script[taken % script.size()];
                if (!codec->take(e.kind, e.key, hit, read)) break;
                if (hit != e.hit || (e.kind == request_kind::get && hit && read != e.value))
                    ++wrong;
                ++taken;
            }
        }
    };
    for (int warm = 0; warm < 3; ++warm) round();
    const kvtest::allocation_meter meter;
    for (int steady = 0; steady < 20; ++steady) round();
    EXPECT_EQ(meter.peak(), 0u);
    EXPECT_EQ(wrong, 0u);
}

// A blocking TCP connection to 127.0.0.1:port, each read limited to 5 s.
int connect_loopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{5, 0};
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("cannot connect: ") + std::strerror(errno));
    return fd;
}

// Sends the requests of `script` in one write and takes their replies as
// they arrive in reads of 512 bytes; returns hits and values as take_all.
std::vector<std::pair<bool, std::string>> run_pipeline(std::uint16_t port,
                                                       const std::vector<exchange>& script) {
    auto codec = bench::make_redis_codec();
    std::string out;
    for (const exchange& e : script) codec->write(e.kind, e.key, e.value, out);
    const int fd = connect_loopback(port);
    std::vector<std::pair<bool, std::string>> answers;
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    char input[512];
    std::string value;
    try {
        while (answers.size() < script.size()) {
            const ssize_t n = ::recv(fd, input, sizeof input, 0);
            if (n <= 0) break;
            codec->feed(input, static_cast<std::size_t>(n));
            bool hit = false;
            while (answers.size() < script.size()) {
                const exchange& e = script[answers.size()];
                if (!codec->take(e.kind, e.key, hit, value)) break;
                answers.emplace_back(hit, e.kind == request_kind::get && hit ? value : "");
            }
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return answers;
}

TEST(RedisCodecServerTest, AHundredPipelinedRequestsInOneWrite) {
    const auto server = kvtest::server_process::redis();
    // For each of 20 keys: set it, read it, update a key that is missing,
    // remove it, read it again.
    std::vector<exchange> script;
    std::vector<std::pair<bool, std::string>> expected;
    for (int i = 0; i < 20; ++i) {
        const std::string key = "pipe/" + std::to_string(i), missing = "missing/" + key;
        const std::string value = std::string(i * 50, 'v') + std::to_string(i);
        script.push_back({request_kind::set, key, value, "", true});
        script.push_back({request_kind::get, key, value, "", true});
        script.push_back({request_kind::update, missing, value, "", false});
        script.push_back({request_kind::remove, key, "", "", true});
        script.push_back({request_kind::get, key, "", "", false});
        for (const auto& e : std::vector<exchange>(script.end() - 5, script.end()))
            expected.emplace_back(e.hit, e.kind == request_kind::get && e.hit ? e.value : "");
    }
    ASSERT_EQ(script.size(), 100u);
    EXPECT_EQ(run_pipeline(server.port(), script), expected);
}

TEST(RedisCodecServerTest, LogsInAheadOfThePipelineOrSaysWhyNot) {
    const auto server = kvtest::server_process::redis({"--requirepass", "secret"});
    const std::vector<exchange> logged_in = {
        {request_kind::auth, "", "secret", "", true},
        {request_kind::set, "k", "v", "", true},
        {request_kind::get, "k", "v", "", true},
    };
    const std::vector<std::pair<bool, std::string>> expected = {{true, ""}, {true, ""}, {true, "v"}};
    EXPECT_EQ(run_pipeline(server.port(), logged_in), expected);
    try {
        run_pipeline(server.port(), {{request_kind::auth, "", "wrong", "", true}});
        ADD_FAILURE() << "a wrong password was taken";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("redis authentication failed: ", 0), 0u)
            << error.what();
        EXPECT_GT(std::string(error.what()).size(), 30u) << "no server text";
    }
}

}  // namespace
