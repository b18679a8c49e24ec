// Once a connection has taken its first replies, commands that succeed
// allocate nothing, and neither does a miss that try_apply reports; nor does
// the pipeline once its buffer has grown. The global allocation functions of
// this test binary are replaced by counting ones.

#include <memcache/client.hpp>
#include <memcache/commands.hpp>
#include <memcache/pipeline.hpp>

#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {
thread_local std::size_t allocations = 0;  // made by this thread so far
}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

TEST(steady_state, commands_that_succeed_allocate_nothing) {
    const kvtest::server_process server = kvtest::server_process::memcached();
    memcache::client client;
    client.add_server("127.0.0.1", std::to_string(server.port()));
    client.connect(500);
    const std::string key = "allocation/k", value(1024, 'v'), other(1024, 'w');
    std::string fetched;
    fetched.reserve(value.size());

    // Each row returns what it expects its command to report: the raising
    // forms true, try_apply whether the key is there. A miss costs no more
    // than a hit.
    struct row {
        const char* name;
        std::function<bool()> apply;
        std::size_t allocations;
        std::size_t unexpected;  // results other than the row's own
    };
    std::vector<row> rows = {
        {"add", [&] { memcache::add_command(key, value, 0, 0)(client); return true; }, 0, 0},
        {"get", [&] { memcache::get_command(key, &fetched)(client); return true; }, 0, 0},
        {"replace", [&] { memcache::replace_command(key, other, 0, 0)(client); return true; }, 0, 0},
        {"get_replaced", [&] { memcache::get_command(key, &fetched)(client); return true; }, 0, 0},
        {"set", [&] { memcache::set_command(key, other, 0, 0)(client); return true; }, 0, 0},
        {"delete", [&] { memcache::delete_command{key}(client); return true; }, 0, 0},
        {"try_get_miss", [&] { return !memcache::get_command(key, &fetched).try_apply(client); }, 0, 0},
        {"try_replace_miss",
         [&] { return !memcache::replace_command(key, value, 0, 0).try_apply(client); }, 0, 0},
        {"try_delete_miss", [&] { return !memcache::delete_command{key}.try_apply(client); }, 0, 0},
        {"set_absent", [&] { memcache::set_command(key, value, 0, 0)(client); return true; }, 0, 0},
        {"try_replace_hit",
         [&] { return memcache::replace_command(key, other, 0, 0).try_apply(client); }, 0, 0},
        {"try_get_hit", [&] { return memcache::get_command(key, &fetched).try_apply(client); }, 0, 0},
        {"try_delete_hit", [&] { return memcache::delete_command{key}.try_apply(client); }, 0, 0},
    };
    for (int round = 0; round < 10; ++round) {
        for (row& r : rows) {
            const std::size_t before = allocations;
            const bool expected = r.apply();
            if (round > 0) r.allocations += allocations - before;  // round 0 warms the connection up
            if (!expected) ++r.unexpected;
        }
    }
    for (const row& r : rows) {
        EXPECT_EQ(r.allocations, 0u) << r.name;
        EXPECT_EQ(r.unexpected, 0u) << r.name;
    }
    EXPECT_EQ(fetched, other);
}

}  // namespace

namespace {

// The pipeline, once its buffer and the caller's strings have grown: a
// round of requests written, their replies fed in pieces and taken.
TEST(steady_state, pipeline_allocates_nothing) {
    const std::string key = "allocation/p", value(1024, 'v');
    const std::string data_line = "VALUE allocation/p 0 1024\r\n" + value + "\r\nEND\r\n";
    const std::string replies_text = "STORED\r\n" + data_line + "END\r\nNOT_STORED\r\nDELETED\r\n" +
                                     "NOT_FOUND\r\n" + data_line;
    memcache::pipeline replies;
    std::string out, fetched;
    std::size_t pending = 0, unexpected = 0;
    std::size_t counted = 0;
    replies.feed(replies_text.data(), 100);
    for (int round = 0; round < 10; ++round) {
        const std::size_t before = allocations;
        out.clear();
        memcache::pipeline::set(key, value, out);
        memcache::pipeline::get(key, out);
        memcache::pipeline::get(key, out);
        memcache::pipeline::replace(key, value, out);
        memcache::pipeline::remove(key, out);
        memcache::pipeline::remove(key, out);
        memcache::pipeline::get(key, out);
        // Three rounds' replies, and the start of the next round's: the
        // buffer never drains, so it is compacted as well as refilled.
        replies.feed(replies_text.data() + 100, replies_text.size() - 100);
        replies.feed(replies_text.data(), replies_text.size());
        replies.feed(replies_text.data(), replies_text.size());
        replies.feed(replies_text.data(), 100);
        for (int copy = 0; copy < 3; ++copy) {
            using reply = memcache::pipeline::reply;
            const reply taken[] = {replies.take_set(key),     replies.take_get(key, fetched),
                                   replies.take_get(key, fetched), replies.take_replace(key),
                                   replies.take_remove(key),  replies.take_remove(key),
                                   replies.take_get(key, fetched)};
            const reply expected[] = {reply::hit,  reply::hit,  reply::miss, reply::miss,
                                      reply::hit,  reply::miss, reply::hit};
            for (std::size_t i = 0; i < 7; ++i) {
                if (taken[i] == reply::pending) ++pending;
                if (taken[i] != expected[i]) ++unexpected;
            }
        }
        if (round > 0) counted += allocations - before;  // round 0 grows the buffers
    }
    EXPECT_EQ(counted, 0u);
    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(unexpected, 0u);
    EXPECT_EQ(fetched, value);
    EXPECT_EQ(replies.buffered(), 100u);
}

}  // namespace
