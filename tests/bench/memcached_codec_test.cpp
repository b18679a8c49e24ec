// The memcached pipelined codec: each request kind's command, its replies,
// failures as plain runtime errors with the library's messages, no login.

#include <bench/pipeline/codec.hpp>

#include <memcache/exceptions.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using bench::request_kind;

TEST(memcached_codec, sends_each_kind_as_its_command_and_takes_its_reply) {
    struct row {
        request_kind kind;
        std::string request;  // for key "k" and value "v"
        std::string reply;
        bool hit;
        std::string value;  // after a get
    };
    const std::vector<row> rows = {
        {request_kind::get, "get k\r\n", "VALUE k 0 1\r\nv\r\nEND\r\n", true, "v"},
        {request_kind::get, "get k\r\n", "END\r\n", false, "unchanged"},
        {request_kind::set, "set k 0 0 1\r\nv\r\n", "STORED\r\n", true, "unchanged"},
        {request_kind::update, "replace k 0 0 1\r\nv\r\n", "STORED\r\n", true, "unchanged"},
        {request_kind::update, "replace k 0 0 1\r\nv\r\n", "NOT_STORED\r\n", false, "unchanged"},
        {request_kind::remove, "delete k\r\n", "DELETED\r\n", true, "unchanged"},
        {request_kind::remove, "delete k\r\n", "NOT_FOUND\r\n", false, "unchanged"},
    };
    const auto codec = bench::make_memcached_codec();
    for (const row& r : rows) {
        std::string out;
        codec->write(r.kind, "k", "v", out);
        EXPECT_EQ(out, r.request);
        bool hit = !r.hit;
        std::string value = "unchanged";
        codec->feed(r.reply.data(), r.reply.size() - 1);
        EXPECT_FALSE(codec->take(r.kind, "k", hit, value)) << r.reply;
        codec->feed(r.reply.data() + r.reply.size() - 1, 1);
        ASSERT_TRUE(codec->take(r.kind, "k", hit, value)) << r.reply;
        EXPECT_EQ(hit, r.hit) << r.reply;
        EXPECT_EQ(value, r.value) << r.reply;
    }
}

TEST(memcached_codec, failures_are_runtime_errors_with_the_library_messages) {
    const auto codec = bench::make_memcached_codec();
    std::string out;
    std::string value;
    bool hit = false;
    const std::string reply = "SERVER_ERROR out of memory storing object\r\n";
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { codec->write(request_kind::set, "a b", "v", out); }, "Invalid key: a b"},
        {[&] {
             codec->feed(reply.data(), reply.size());
             codec->take(request_kind::set, "k", hit, value);
         },
         "Key not stored: k (SERVER_ERROR out of memory storing object)"},
        {[&] {
             codec->feed(reply.data(), reply.size());
             codec->take(request_kind::remove, "k", hit, value);
         },
         "Key not found: k (SERVER_ERROR out of memory storing object)"},
    };
    for (const auto& r : rows) {
        try {
            r.first();
            ADD_FAILURE() << r.second << ": nothing raised";
        } catch (const memcache::exception&) {
            ADD_FAILURE() << r.second << ": a library exception passed through";
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(failure.what(), r.second);
        }
    }
    EXPECT_EQ(out, "");
}

TEST(memcached_codec, has_no_login_and_reset_forgets_a_reply_begun) {
    const auto codec = bench::make_memcached_codec();
    std::string out, value;
    bool hit = false;
    EXPECT_THROW(codec->write(request_kind::auth, "", "secret", out), std::logic_error);
    EXPECT_THROW(codec->take(request_kind::auth, "", hit, value), std::logic_error);
    codec->feed("VALUE k 0 1\r\n", 13);
    codec->reset();
    codec->feed("END\r\n", 5);
    ASSERT_TRUE(codec->take(request_kind::get, "k", hit, value));
    EXPECT_FALSE(hit);
}

}  // namespace
