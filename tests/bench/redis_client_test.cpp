// bench::redis_client against a real redis-server, and against scripted
// fake servers for the replies and faults a real one won't give on demand.

#include <bench/clients/redis_client.hpp>
#include <bench/interrupt.hpp>
#include <bench/thread_context.hpp>

#include "allocation_meter.hpp"
#include "mix_operation_cases.hpp"

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// hiredis allocates with malloc, which the allocation meter does not see:
// with glibc, and without a sanitizer that has its own malloc, this test
// program's malloc family counts the calls each thread makes and hands them
// on to glibc's.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KVTEST_SANITIZER_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVTEST_SANITIZER_MALLOC 1
#endif
#if defined(__GLIBC__) && !defined(KVTEST_SANITIZER_MALLOC)
#define KVTEST_COUNTS_MALLOC 1
namespace {
thread_local std::size_t malloc_calls = 0;  // made by this thread so far
}  // namespace
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* malloc(std::size_t size) {
    ++malloc_calls;
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    ++malloc_calls;
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
    ++malloc_calls;
    return __libc_realloc(block, size);
}
}
#endif

namespace {

using namespace std::chrono_literals;
using bench::redis_client;
using args = std::vector<std::string>;

boost::asio::ip::tcp::endpoint loopback(std::uint16_t port) {
    return {boost::asio::ip::make_address_v4("127.0.0.1"), port};
}

std::unique_ptr<redis_client> connect_client(std::uint16_t port, std::chrono::milliseconds reply = 2s) {
    return std::make_unique<redis_client>(loopback(port), bench::client_options{}, 2s, reply);
}

// The message of the std::runtime_error `call` throws, "" when it returns.
std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Reads one command as hiredis sends it (an array of bulk strings); empty
// when the connection ends first.
args read_command(kvtest::fake_connection& connection) {
    const std::string head = connection.read_until("\r\n");
    if (head.size() < 3 || head[0] != '*') return {};
    args command(std::stoul(head.substr(1)));
    for (auto& arg : command) {
        const std::string length = connection.read_until("\r\n");
        if (length.size() < 3 || length[0] != '$') return {};
        const std::size_t n = std::stoul(length.substr(1));
        arg = connection.read_bytes(n + 2);
        if (arg.size() != n + 2) return {};
        arg.resize(n);
    }
    return command;
}

// A fake server script answering each command with `answer(command)`.
kvtest::fake_server::script answering(std::function<std::string(const args&)> answer) {
    return [answer](kvtest::fake_connection& connection) {
        for (args command = read_command(connection); !command.empty();
             command = read_command(connection))
            connection.send(answer(command));
    };
}

struct operation {
    const char* name;
    std::function<void(bench::client&)> call;
    const char* failure;
};

const std::vector<operation>& operations() {
    static const std::vector<operation> all = {
        {"put", [](bench::client& c) { c.put("k", "v"); }, "could not put entry"},
        {"update", [](bench::client& c) { c.update("k", "v"); }, "could not update entry"},
        {"remove", [](bench::client& c) { c.remove("k"); }, "could not delete entry"},
        {"get",
         [](bench::client& c) {
             std::string value;
             c.get("k", value, 1);
         },
         "could not get entry"},
        {"set", [](bench::client& c) { c.set("k", "v"); }, "could not set entry"},
        {"try_get",
         [](bench::client& c) {
             std::string value;
             c.try_get("k", value);
         },
         "could not get entry"},
        {"try_update", [](bench::client& c) { c.try_update("k", "v"); }, "could not update entry"},
        {"try_remove", [](bench::client& c) { c.try_remove("k"); }, "could not delete entry"},
    };
    return all;
}

class RedisClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<kvtest::server_process>(kvtest::server_process::redis());
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { server->ask("FLUSHALL\r\n", "\r\n"); }

    std::string ask(const std::string& command) const {
        return server->ask(command + "\r\n", "\r\n");
    }
    std::string connected_clients() const {
        const std::string info = server->ask("INFO clients\r\n", "\r\n\r\n");
        const auto at = info.find("connected_clients:");
        return at == std::string::npos ? "" : info.substr(at + 18, info.find('\r', at) - at - 18);
    }
    std::string read(redis_client& client, const std::string& key) const {
        std::string value = "stale content that must be replaced";
        client.get(key, value, 3);
        return value;
    }

    static std::unique_ptr<kvtest::server_process> server;
};

std::unique_ptr<kvtest::server_process> RedisClientTest::server;

TEST_F(RedisClientTest, StoresAndReadsBackEveryByteOfKeysAndValues) {
    std::string every_byte;
    for (int i = 0; i < 1024; ++i) every_byte += static_cast<char>(i % 256);
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"plain", "hello"},
        {"key with spaces", " a value  with spaces "},
        {"nul-in-value", std::string("ab\0cd\0", 6)},
        {std::string("k\0one", 5), "first"},  // keys differing only after a NUL
        {std::string("k\0two", 5), "second"},
        {"every-byte", every_byte},
        {"protocol\r\ntext", "*1\r\n$4\r\nPING\r\n"},
        {"empty", ""},
        {"large", std::string(1 << 20, 'x')},
    };
    auto client = connect_client(server->port());
    for (const auto& [key, value] : entries) client->put(key, value);
    for (const auto& [key, value] : entries) EXPECT_EQ(read(*client, key), value) << key;
    EXPECT_EQ(ask("DBSIZE"), ":" + std::to_string(entries.size()) + "\r\n");
}

TEST_F(RedisClientTest, PutAndUpdateBothOverwriteOrCreate) {
    auto client = connect_client(server->port());
    client->put("key", "one");
    client->put("key", "two");
    EXPECT_EQ(read(*client, "key"), "two");
    client->update("key", "three");
    EXPECT_EQ(read(*client, "key"), "three");
    client->update("new", "created");
    EXPECT_EQ(read(*client, "new"), "created");
}

TEST_F(RedisClientTest, MissingKeysFailOnlyForGet) {
    auto client = connect_client(server->port());
    EXPECT_EQ(failure_of([&] { read(*client, "never"); }), "could not get entry");
    EXPECT_EQ(failure_of([&] { client->remove("never"); }), "");
    client->put("gone", "soon");
    client->remove("gone");
    EXPECT_EQ(failure_of([&] { read(*client, "gone"); }), "could not get entry");
    EXPECT_EQ(ask("DBSIZE"), ":0\r\n");
}

TEST_F(RedisClientTest, MixOperationsTellAMissByTheirResult) {
    auto client = connect_client(server->port());
    kvtest::check_mix_operations(*client, "mix");
}

TEST_F(RedisClientTest, StepsAllocateNothingOnceTheConnectionIsWarm) {
    // Each operation on a hit and, for those that tell one, on a miss, with
    // a value written from the caller's string (1 KiB) and one copied into
    // the command (short). The first round lets the buffers grow.
    auto client = connect_client(server->port());
    const std::string key = "allocation/k", value(1024, 'v'), other(1024, 'w'), small = "small";
    std::string read;
    read.reserve(value.size());
    const auto holds = [&](const std::string& expected) { return read == expected; };
    struct row {
        const char* name;
        std::function<bool()> step;  // true when the step did what the row expects
        std::size_t allocated = 0;   // bytes from operator new at the peak
        std::size_t malloc_calls = 0;
        std::size_t unexpected = 0;
    };
    std::vector<row> rows = {
        {"put", [&] { client->put(key, value); return true; }},
        {"get", [&] { client->get(key, read, value.size()); return holds(value); }},
        {"update", [&] { client->update(key, other); return true; }},
        {"try_get hit", [&] { return client->try_get(key, read) && holds(other); }},
        {"try_update hit", [&] { return client->try_update(key, value); }},
        {"set", [&] { client->set(key, small); return true; }},
        {"get short", [&] { client->get(key, read, small.size()); return holds(small); }},
        {"remove", [&] { client->remove(key); return true; }},
        {"try_get miss", [&] { return !client->try_get(key, read); }},
        {"try_update miss", [&] { return !client->try_update(key, value); }},
        {"try_remove miss", [&] { return !client->try_remove(key); }},
        {"set absent", [&] { client->set(key, value); return true; }},
        {"try_remove hit", [&] { return client->try_remove(key); }},
    };
    for (int round = 0; round < 10; ++round) {
        for (row& r : rows) {
#ifdef KVTEST_COUNTS_MALLOC
            const std::size_t calls_before = malloc_calls;
#endif
            const kvtest::allocation_meter meter;
            const bool expected = r.step();
            if (round == 0) continue;
            r.allocated = std::max(r.allocated, meter.peak());
#ifdef KVTEST_COUNTS_MALLOC
            r.malloc_calls += malloc_calls - calls_before;
#endif
            if (!expected) ++r.unexpected;
        }
    }
    for (const row& r : rows) {
        EXPECT_EQ(r.allocated, 0u) << r.name;
        EXPECT_EQ(r.malloc_calls, 0u) << r.name;
        EXPECT_EQ(r.unexpected, 0u) << r.name;
    }
}

TEST_F(RedisClientTest, ServerErrorsFailTheOperationAndKeepTheConnection) {
    auto client = connect_client(server->port());
    client->put("kept", "value");
    ASSERT_EQ(ask("CONFIG SET maxmemory 1"), "+OK\r\n");
    const std::string put_failure = failure_of([&] { client->put("a", "b"); });
    const std::string update_failure = failure_of([&] { client->update("kept", "b"); });
    const std::string remove_failure = failure_of([&] { client->remove("kept"); });
    ask("CONFIG SET maxmemory 0");
    const std::string full = ": OOM command not allowed when used memory > 'maxmemory'.";
    EXPECT_EQ(put_failure, "could not put entry" + full);
    EXPECT_EQ(update_failure, "could not update entry" + full);
    EXPECT_EQ(remove_failure, "");  // DEL is allowed when memory is full

    ASSERT_EQ(ask("RPUSH list item"), ":1\r\n");
    EXPECT_EQ(failure_of([&] { read(*client, "list"); }),
              "could not get entry: WRONGTYPE Operation against a key holding the wrong kind of "
              "value");

    client->put("after", "errors");
    EXPECT_EQ(read(*client, "after"), "errors");
}

TEST_F(RedisClientTest, ContextBuildsAConnectedClientAndDestructionClosesIt) {
    bench::run_settings settings;
    settings.daemon = loopback(server->port());
    settings.protocol = bench::protocol_type::redis;
    settings.threads = 1;
    auto context = std::make_unique<bench::thread_context>(settings, 0);
    EXPECT_STREQ(context->client->protocol_name(), "redis");
    context->client->put("via", "context");
    std::string value;
    context->client->get("via", value, 0);
    EXPECT_EQ(value, "context");
    EXPECT_EQ(connected_clients(), "2");  // the client and this question
    context.reset();
    EXPECT_TRUE(kvtest::eventually([&] { return connected_clients() == "1"; }));
}

TEST(RedisClientFakeServerTest, SendsSetDelAndGetWithWholeArguments) {
    std::mutex mutex;
    std::vector<args> received;
    kvtest::fake_server fake(answering([&](const args& command) -> std::string {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(command);
        return command[0] == "GET" ? std::string("$3\r\nv\0w\r\n", 9) : "+OK\r\n";
    }));
    const std::string key("k e\0y", 5);
    const std::string value("v a\0l", 5);
    auto client = connect_client(fake.port());
    client->put(key, value);
    client->update(key, value);
    client->remove(key);
    std::string got;
    client->get(key, got, 100);
    EXPECT_EQ(got, std::string("v\0w", 3));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received, (std::vector<args>{{"SET", key, value}, {"SET", key, value},
                                           {"DEL", key}, {"GET", key}}));
}

TEST(RedisClientFakeServerTest, ErrorRepliesFailEachOperationWithItsMessageAndTheReply) {
    kvtest::fake_server fake(answering([](const args&) { return "-ERR refused\r\n"; }));
    auto client = connect_client(fake.port());
    for (const auto& op : operations())
        EXPECT_EQ(failure_of([&] { op.call(*client); }), op.failure + std::string(": ERR refused"))
            << op.name;
    EXPECT_EQ(fake.accepted(), 1u);
}

TEST(RedisClientPasswordTest, AServerThatWantsAPasswordSaysSoInEveryFailure) {
    const auto guarded = kvtest::server_process::redis({"--requirepass", "secret"});
    auto client = connect_client(guarded.port());
    for (const auto& op : operations())
        EXPECT_EQ(failure_of([&] { op.call(*client); }),
                  op.failure + std::string(": NOAUTH Authentication required."))
            << op.name;
}

TEST(RedisClientFakeServerTest, GetSucceedsOnlyOnAStringReply) {
    const std::vector<std::pair<std::string, const char*>> replies = {
        {"$3\r\nabc\r\n", ""},
        {"$-1\r\n", "could not get entry"},
        {":1\r\n", "could not get entry"},
        {"+OK\r\n", "could not get entry"},
        {"*1\r\n$3\r\nabc\r\n", "could not get entry"},
        {"-ERR no\r\n", "could not get entry: ERR no"},
    };
    for (const auto& [reply, failure] : replies) {
        kvtest::fake_server fake(answering([reply = reply](const args&) { return reply; }));
        auto client = connect_client(fake.port());
        std::string value;
        EXPECT_EQ(failure_of([&] { client->get("k", value, 3); }), failure) << reply;
        if (*failure == '\0') {
            EXPECT_EQ(value, "abc");
        }
    }
}

TEST(RedisClientFakeServerTest, MixOperationsCountOnlyTheirOwnMissAsAMiss) {
    // A reply of another kind than the command's hit or miss is a failure:
    // a broken or foreign server must not pass for a key space of misses.
    const std::string key("k e\0y", 5);
    const std::string value("v a\0l", 5);
    struct reply_case {
        const char* operation;
        std::string reply;
        const char* outcome;  // "hit", "miss" or the failure
    };
    const std::vector<reply_case> cases = {
        {"try_get", "$3\r\nabc\r\n", "hit"},
        {"try_get", "$-1\r\n", "miss"},
        {"try_get", ":0\r\n", "could not get entry"},
        {"try_update", "+OK\r\n", "hit"},
        {"try_update", "$-1\r\n", "miss"},
        {"try_update", ":1\r\n", "could not update entry"},
        {"try_remove", ":1\r\n", "hit"},
        {"try_remove", ":0\r\n", "miss"},
        {"try_remove", "$-1\r\n", "could not delete entry"},
        {"try_remove", "+OK\r\n", "could not delete entry"},
        {"set", "+OK\r\n", "hit"},
    };
    const std::map<std::string, args> commands = {
        {"try_get", {"GET", key}},
        {"try_update", {"SET", key, value, "XX"}},
        {"try_remove", {"DEL", key}},
        {"set", {"SET", key, value}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " answered " + c.reply);
        std::mutex mutex;
        args received;
        kvtest::fake_server fake(answering([&](const args& command) {
            std::lock_guard<std::mutex> lock(mutex);
            received = command;
            return c.reply;
        }));
        auto client = connect_client(fake.port());
        std::string read;
        bool found = true;
        const std::string failure = failure_of([&] {
            const std::string op = c.operation;
            if (op == "try_get") found = client->try_get(key, read);
            if (op == "try_update") found = client->try_update(key, value);
            if (op == "try_remove") found = client->try_remove(key);
            if (op == "set") client->set(key, value);
        });
        EXPECT_EQ(failure.empty() ? (found ? "hit" : "miss") : failure, c.outcome);
        if (found && failure.empty() && std::string(c.operation) == "try_get") {
            EXPECT_EQ(read, "abc");
        }
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(received, commands.at(c.operation));
    }
}

TEST(RedisClientFakeServerTest, LateReplyFailsTheCallAndEveryLaterOne) {
    // The first reply comes after the limit; later ones at once. A client
    // that kept using the connection would take the late reply for the
    // answer to its next command.
    kvtest::fake_server fake([](kvtest::fake_connection& connection) {
        read_command(connection);
        connection.stall(1500ms);
        connection.send("+OK\r\n");
        answering([](const args& command) {
            return command[0] == "GET" ? std::string("$1\r\nv\r\n") : std::string("+OK\r\n");
        })(connection);
    });
    auto client = connect_client(fake.port(), 200ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { client->put("k", "v"); }), "could not put entry");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1200ms);

    std::this_thread::sleep_for(1500ms);  // let the late reply arrive
    for (const auto& op : operations())
        EXPECT_EQ(failure_of([&] { op.call(*client); }), op.failure) << op.name;
    EXPECT_EQ(fake.accepted(), 1u);
}

// The most memory the process has held so far, in KiB.
long peak_memory_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(RedisClientFakeServerTest, HostileServersFailEachOperationWithinTheLimit) {
    // Each case on its own server at once, with the benchmark's own limit.
    // Memory must stay flat: unbounded, the floods would take gigabytes.
    using namespace std::chrono;
    const std::string large(32 << 20, 'v');  // more than a loopback connection holds
    const auto after_command = [](const std::string& reply, auto then) {
        return [reply, then](kvtest::fake_connection& connection) {
            read_command(connection);
            connection.send(reply);
            then(connection);
        };
    };
    const auto flood = [](const std::string& piece) {
        return [piece](kvtest::fake_connection& c) { c.send_until_closed(piece); };
    };
    const auto trickle = [](kvtest::fake_connection& c) {
        c.send_slowly("$20\r\n01234567890123456789\r\n", 1, 1s);
    };
    const auto& put = operations()[0];
    const auto& get = operations()[3];
    const operation put_large{"put", [&](bench::client& c) { c.put("k", large); }, put.failure};
    const std::vector<std::tuple<const char*, kvtest::fake_server::script, const operation&>> cases = {
        {"endless line", after_command("+", flood(std::string(65536, 'x'))), put},
        {"bulk over 512 MiB", after_command("$1099511627776\r\n", flood(std::string(65536, 'x'))), get},
        {"endless array", after_command("*2147483647\r\n", flood("$1\r\nx\r\n")), get},
        {"reply at a byte a second", after_command("", trickle), get},
        {"request never read", [](kvtest::fake_connection& c) { c.stall(30s); }, put_large},
    };
    const long memory_before = peak_memory_kib();
    std::vector<std::future<void>> runs;
    for (const auto& [name, script, op] : cases) {
        runs.push_back(std::async(std::launch::async, [name = name, &script = script, &op = op] {
            kvtest::fake_server fake(script);
            redis_client client(loopback(fake.port()), {}, 2s);
            const auto start = steady_clock::now();
            EXPECT_EQ(failure_of([&] { op.call(client); }), op.failure) << name;
            EXPECT_LT(steady_clock::now() - start, redis_client::default_limit + 2s) << name;
            // The connection is closed: later calls fail at once.
            const auto again = steady_clock::now();
            EXPECT_EQ(failure_of([&] { op.call(client); }), op.failure) << name;
            EXPECT_LT(steady_clock::now() - again, 100ms) << name;
            EXPECT_EQ(fake.accepted(), 1u) << name;
        }));
    }
    for (auto& run : runs) run.get();
    EXPECT_LT(peak_memory_kib() - memory_before, 256 * 1024);
}

TEST(RedisClientFakeServerTest, ClosedConnectionFailsEveryLaterCall) {
    // One reply, then the server goes away.
    kvtest::fake_server fake([](kvtest::fake_connection& connection) {
        read_command(connection);
        connection.send("+OK\r\n");
    });
    auto client = connect_client(fake.port());
    client->put("k", "v");
    ASSERT_TRUE(kvtest::eventually([&] { return fake.accepted() == 1u; }));
    for (const auto& op : operations())
        EXPECT_EQ(failure_of([&] { op.call(*client); }), op.failure) << op.name;
}

TEST(RedisClientFakeServerTest, ErrorAndCloseDoesNotEndTheProcess) {
    // What redis does when it is at its client limit: an error line, then
    // the connection is closed. Writing the next command into the reset
    // connection must fail the call, not raise SIGPIPE.
    kvtest::fake_server fake([](kvtest::fake_connection& connection) {
        connection.send("-ERR max number of clients reached\r\n");
    });
    auto client = connect_client(fake.port());
    std::this_thread::sleep_for(100ms);
    for (const auto& op : operations()) {
        // The error line answers the first command when it is read before
        // the reset is.
        const std::string failure = failure_of([&] { op.call(*client); });
        EXPECT_TRUE(failure == op.failure ||
                    failure == op.failure + std::string(": ERR max number of clients reached"))
            << op.name << ": " << failure;
    }
}

TEST(RedisClientConnectTest, AFailedConnectNamesTheEndpointAndTheReason) {
    const std::uint16_t port = kvtest::closed_port();
    const std::string refused =
        "Cannot connect to redis server 127.0.0.1:" + std::to_string(port) + ": Connection refused";
    EXPECT_EQ(failure_of([&] { connect_client(port); }), refused);

    bench::run_settings settings;
    settings.daemon = loopback(port);
    settings.protocol = bench::protocol_type::redis;
    settings.threads = 1;
    EXPECT_EQ(failure_of([&] { bench::thread_context context(settings, 0); }), refused);

    kvtest::temp_dir dir;
    const std::string missing = dir.path() + "/missing.sock";
    EXPECT_EQ(failure_of([&] { redis_client client(bench::endpoint::unix_socket(missing)); }),
              "Cannot connect to redis server unix:" + missing + ": No such file or directory");
}

TEST(RedisClientConnectTest, UnansweredConnectFailsAfterTheLimit) {
    const kvtest::unanswering_listener listener;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { redis_client client(loopback(listener.port()), {}, 300ms, 300ms); }),
              "Cannot connect to redis server 127.0.0.1:" + std::to_string(listener.port()) +
                  ": Connection timed out");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 2s);
}

TEST(RedisClientConnectTest, AStopEndsAConnectThatHangs) {
    const kvtest::unanswering_listener listener;
    auto connecting = std::async(std::launch::async, [&] {
        redis_client client(loopback(listener.port()));
    });
    std::this_thread::sleep_for(200ms);
    const auto stopped = std::chrono::steady_clock::now();
    bench::request_interrupt(SIGINT);
    ASSERT_EQ(connecting.wait_for(2s), std::future_status::ready) << "still connecting";
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 100ms);
    bench::detail::interrupt_signal = 0;
    EXPECT_THROW(connecting.get(), bench::interrupted_error);
}

}  // namespace
