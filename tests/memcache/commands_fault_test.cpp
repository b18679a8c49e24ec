// The commands against scripted servers: the exact request bytes, and the
// replies and faults a real memcached will not produce on demand.

#include <memcache/client.hpp>
#include <memcache/commands.hpp>
#include <memcache/exceptions.hpp>

#include <support/fake_server.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <boost/function.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// The wall clock of this test process can be stepped: the C library's wall
// clock entry points are interposed and return the real time shifted by
// wall_clock_step. The system clock itself is never touched, and the steady
// clock is left alone.
#ifndef __THROW
#define __THROW
#endif

namespace {
std::atomic<std::int64_t> wall_clock_step_us{0};

template <typename Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) __THROW {
    static const auto real = next_definition<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME) {
        const std::int64_t us = std::int64_t(now->tv_sec) * 1000000 + now->tv_nsec / 1000 +
                                wall_clock_step_us.load();
        now->tv_sec = static_cast<time_t>(us / 1000000);
        now->tv_nsec = static_cast<long>(us % 1000000) * 1000 + now->tv_nsec % 1000;
    }
    return result;
}

extern "C" int gettimeofday(struct timeval* __restrict now, void* __restrict zone) __THROW {
    static const auto real = next_definition<int (*)(struct timeval*, void*)>("gettimeofday");
    const int result = real(now, zone);
    if (result == 0) {
        const std::int64_t us =
            std::int64_t(now->tv_sec) * 1000000 + now->tv_usec + wall_clock_step_us.load();
        now->tv_sec = static_cast<time_t>(us / 1000000);
        now->tv_usec = static_cast<suseconds_t>(us % 1000000);
    }
    return result;
}

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using clock_type = std::chrono::steady_clock;

// What applying a command led to: "ok", the exception's message, or
// "bad_function_call".
std::string outcome_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const memcache::exception& e) {
        return e.what();
    } catch (const boost::bad_function_call&) {
        return "bad_function_call";
    }
    return "ok";
}

void connect_to(memcache::client& client, const kvtest::fake_server& server) {
    client.add_server("127.0.0.1", std::to_string(server.port()));
    client.connect(500);
    ASSERT_TRUE(client.select_server(0).connected);
}

TEST(request_bytes, are_exactly_the_protocol_lines) {
    struct row {
        const char* name;
        std::function<void(memcache::client&)> apply;
        std::string request;
        std::string reply;
    };
    std::string value;
    const std::vector<row> rows = {
        {"get", [&](memcache::client& c) { memcache::get_command("k1", &value)(c); }, "get k1\r\n",
         "VALUE k1 0 3\r\nabc\r\nEND\r\n"},
        {"add", [](memcache::client& c) { memcache::add_command("k1", "abc", 0, 0)(c); },
         "add k1 0 0 3\r\nabc\r\n", "STORED\r\n"},
        {"add_with_numbers",
         [](memcache::client& c) { memcache::add_command("k1", "a\r\nb", 18446744073709551615u, 0x1ffff)(c); },
         "add k1 65535 18446744073709551615 4\r\na\r\nb\r\n", "STORED\r\n"},
        {"add_empty", [](memcache::client& c) { memcache::add_command("k", "", 0, 0)(c); },
         "add k 0 0 0\r\n\r\n", "STORED\r\n"},
        {"replace", [](memcache::client& c) { memcache::replace_command("k1", "xyz", 7, 3)(c); },
         "replace k1 3 7 3\r\nxyz\r\n", "STORED\r\n"},
        {"set", [](memcache::client& c) { memcache::set_command("k1", "a\r\nb", 9, 0x10002)(c); },
         "set k1 2 9 4\r\na\r\nb\r\n", "STORED\r\n"},
        {"delete", [](memcache::client& c) { memcache::delete_command("k1")(c); }, "delete k1\r\n",
         "DELETED\r\n"},
    };
    for (const row& r : rows) {
        std::mutex mutex;
        std::string received;
        kvtest::fake_server server([&](kvtest::fake_connection& c) {
            const std::string bytes = c.read_bytes(r.request.size());
            {
                std::lock_guard<std::mutex> lock(mutex);
                received = bytes;
            }
            c.send(r.reply);
            c.wait_for_peer_close();
        });
        memcache::client client;
        connect_to(client, server);
        EXPECT_EQ(outcome_of([&] { r.apply(client); }), "ok") << r.name;
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(received, r.request) << r.name;
    }
    EXPECT_EQ(value, "abc");
}

enum class command { get, add, set, remove };

// One scripted exchange: what the server does after reading the request,
// and what the client must make of it.
struct fault_case {
    const char* name;
    command applied;
    std::function<void(kvtest::fake_connection&)> reply;
    std::string outcome;      // "ok", an exception message or "bad_function_call"
    std::string value;        // the get destination afterwards ("before" when untouched)
    bool stays_up;            // the connection is still usable afterwards
    bool waits_out_the_limit; // the command ends only by the 500 ms limit
};

std::function<void(kvtest::fake_connection&)> sends(const std::string& bytes) {
    return [bytes](kvtest::fake_connection& c) { c.send(bytes); };
}

// Failures name the case instead of dumping its bytes.
void PrintTo(const fault_case& c, std::ostream* out) { *out << c.name; }

class faults : public ::testing::TestWithParam<fault_case> {};

TEST_P(faults, end_in_the_documented_outcome) {
    const fault_case& f = GetParam();
    kvtest::fake_server server([&](kvtest::fake_connection& c) {
        c.read_until("\r\n");
        if (f.applied == command::add || f.applied == command::set) c.read_until("\r\n");
        f.reply(c);
        c.wait_for_peer_close();
    });
    memcache::client client;
    connect_to(client, server);

    std::string value = "before";
    const auto started = clock_type::now();
    const std::string outcome = outcome_of([&] {
        switch (f.applied) {
        case command::get: memcache::get_command("k1", &value)(client); break;
        case command::add: memcache::add_command("k1", "abc", 0, 0)(client); break;
        case command::set: memcache::set_command("k1", "abc", 0, 0)(client); break;
        case command::remove: memcache::delete_command("k1")(client); break;
        }
    });
    const auto took = clock_type::now() - started;

    EXPECT_EQ(outcome, f.outcome);
    EXPECT_EQ(value, f.value);
    if (f.waits_out_the_limit) {
        EXPECT_GE(took, 490ms);
        EXPECT_LT(took, 1500ms);
    } else {
        EXPECT_LT(took, 400ms);
    }
    const auto& server_state = client.servers().begin()->second;
    EXPECT_EQ(server_state.connected, f.stays_up);
    EXPECT_EQ(static_cast<bool>(server_state.socket), f.stays_up);
    if (!f.stays_up) {
        EXPECT_EQ(outcome_of([&] { memcache::get_command("k1", &value)(client); }),
                  "No available servers.");
    }
}

const std::string whole_reply = "VALUE k1 0 6\r\nEND\r\nX\r\nEND\r\n";

// Causes the failures name after their message.
const std::string late = " (no reply within 500 ms)";
const std::string closed = " (connection closed by the server)";

// A server that keeps sending `head` and then `piece` after piece as fast as
// the client takes them. It gives up after a few seconds, so that a client
// that never lets go fails its case instead of holding the test run.
std::function<void(kvtest::fake_connection&)> streams(const std::string& head,
                                                      const std::string& piece) {
    return [head, piece](kvtest::fake_connection& c) {
        c.send(head);
        c.send_until_closed(piece, 3s);
    };
}

const std::string no_line_end(64 * 1024, 'x');

std::string repeated(const std::string& piece, std::size_t times) {
    std::string all;
    for (std::size_t i = 0; i < times; ++i) all += piece;
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    scripted, faults,
    ::testing::Values(
        fault_case{"reply_slower_than_the_limit", command::get,
                   [](kvtest::fake_connection& c) {
                       c.stall(800ms);
                       c.send("VALUE k1 0 3\r\nabc\r\nEND\r\n");
                   },
                   "Key not found: k1" + late, "before", false, true},
        fault_case{"add_reply_slower_than_the_limit", command::add,
                   [](kvtest::fake_connection& c) {
                       c.stall(800ms);
                       c.send("STORED\r\n");
                   },
                   "Key not stored: k1" + late, "before", false, true},
        fault_case{"reply_a_byte_at_a_time_past_the_limit", command::get,
                   [](kvtest::fake_connection& c) {
                       c.send_slowly("VALUE k1 0 3\r\nabc\r\nEND\r\n", 1, 50ms);
                   },
                   "Key not found: k1" + late, "before", false, true},
        // The socket always holds more bytes, each a well-formed empty block:
        // only the time limit ends the reply.
        fault_case{"blocks_streamed_without_end", command::get,
                   streams("", repeated("VALUE k1 0 0\r\n\r\n", 4096)),
                   "Key not found: k1" + late, "before", false, true},
        fault_case{"get_streamed_without_a_line_end", command::get, streams("", no_line_end),
                   "Key not found: k1 (malformed reply with no end in 64 KiB)", "before",
                   false, false},
        fault_case{"add_streamed_without_a_line_end", command::add, streams("", no_line_end),
                   "Key not stored: k1 (reply line longer than 64 KiB)", "before", false, false},
        fault_case{"delete_streamed_without_a_line_end", command::remove,
                   streams("", no_line_end), "Key not found: k1 (reply line longer than 64 KiB)",
                   "before", false, false},
        fault_case{"value_line_streamed_without_a_line_end", command::get,
                   streams("VALUE k1 0 3 ", no_line_end),
                   "Key not found: k1 (reply line longer than 64 KiB)", "before", false, false},
        fault_case{"value_announced_past_the_limit_then_streamed", command::get,
                   streams("VALUE k1 0 4294967295\r\n", no_line_end),
                   "Key not found: k1 (announced value larger than 1 GiB)", "before", false,
                   false},
        fault_case{"peer_closes_on_get", command::get,
                   [](kvtest::fake_connection& c) { c.close(); }, "Key not found: k1" + closed,
                   "before", false, false},
        fault_case{"peer_closes_on_add", command::add,
                   [](kvtest::fake_connection& c) { c.close(); }, "Key not stored: k1" + closed,
                   "before", false, false},
        fault_case{"peer_closes_on_delete", command::remove,
                   [](kvtest::fake_connection& c) { c.close(); }, "Key not found: k1" + closed,
                   "before", false, false},
        fault_case{"peer_closes_inside_a_value", command::get,
                   [](kvtest::fake_connection& c) {
                       c.send("VALUE k1 0 6\r\nEND\r\n");
                       c.close();
                   },
                   "Key not found: k1" + closed, "before", false, false},
        fault_case{"reply_a_few_bytes_at_a_time", command::get,
                   [](kvtest::fake_connection& c) { c.send_slowly(whole_reply, 3, 5ms); }, "ok",
                   "END\r\nX", true, false},
        fault_case{"pause_after_data_that_looks_like_the_end", command::get,
                   [](kvtest::fake_connection& c) {
                       c.send("VALUE k1 0 6\r\nEND\r\n");
                       c.stall(100ms);
                       c.send("X\r\nEND\r\n");
                   },
                   "ok", "END\r\nX", true, false},
        fault_case{"error_line", command::get, sends("ERROR\r\n"),
                   "Invalid response found for key: ERROR\r\n", "before", true, false},
        fault_case{"client_error_with_message", command::get,
                   sends("CLIENT_ERROR bad command line format\r\n"),
                   "Invalid response found for key: CLIENT_ERROR bad command line format\r\n",
                   "before", true, false},
        fault_case{"server_error_with_message_in_pieces", command::get,
                   [](kvtest::fake_connection& c) {
                       c.send_slowly("SERVER_ERROR out of memory\r\n", 4, 5ms);
                   },
                   "Invalid response found for key: SERVER_ERROR out of memory\r\n", "before", true,
                   false},
        fault_case{"server_error_without_message", command::get, sends("SERVER_ERROR\r\n"),
                   "Invalid response found for key: SERVER_ERROR\r\n", "before", true, false},
        fault_case{"block_for_a_key_not_asked_for", command::get,
                   sends("VALUE k2 0 3\r\nabc\r\nEND\r\n"), "bad_function_call", "before", true,
                   false},
        fault_case{"garbage_without_terminator", command::get, sends("\x01\x02garbage"),
                   "Key not found: k1" + late, "before", false, true},
        fault_case{"garbage_then_end", command::get, sends("xyz\r\nEND\r\n"),
                   "Malformed data: get k1\r\nxyz\r\nEND\r\n", "before", false, false},
        fault_case{"declared_length_longer_than_data", command::get,
                   sends("VALUE k1 0 5\r\nabc\r\nEND\r\n"),
                   "Malformed data: get k1\r\nVALUE k1 0 5\r\nabc\r\nEND\r\n", "before", false,
                   false},
        fault_case{"broken_value_line", command::get, sends("VALUE k1  0 3\r\nabc\r\nEND\r\n"),
                   "Malformed data: get k1\r\nVALUE k1  0 3\r\nabc\r\nEND\r\n", "before", false,
                   false},
        fault_case{"miss", command::get, sends("END\r\n"), "Key not found: k1", "before", true,
                   false},
        fault_case{"cas_in_the_value_line", command::get, sends("VALUE k1 0 3 42\r\nabc\r\nEND\r\n"),
                   "ok", "abc", true, false},
        fault_case{"add_not_stored", command::add, sends("NOT_STORED\r\n"), "Key not stored: k1",
                   "before", true, false},
        fault_case{"add_server_error", command::add,
                   sends("SERVER_ERROR object too large for cache\r\n"),
                   "Key not stored: k1 (SERVER_ERROR object too large for cache)", "before", true,
                   false},
        fault_case{"add_error_line_longer_than_one_read", command::add,
                   sends("SERVER_ERROR " + std::string(3000, 'x') + "\r\n"),
                   "Key not stored: k1 (SERVER_ERROR " + std::string(3000, 'x') + ")", "before",
                   true, false},
        fault_case{"add_error", command::add, sends("ERROR\r\n"), "Key not stored: k1 (ERROR)",
                   "before", true, false},
        fault_case{"add_line_of_the_largest_length", command::add,
                   sends("SERVER_ERROR " + std::string(64 * 1024 - 13, 'x') + "\r\n"),
                   "Key not stored: k1 (SERVER_ERROR " + std::string(64 * 1024 - 13, 'x') + ")",
                   "before", true, false},
        fault_case{"set_server_error", command::set,
                   sends("SERVER_ERROR out of memory storing object\r\n"),
                   "Key not stored: k1 (SERVER_ERROR out of memory storing object)", "before", true,
                   false},
        fault_case{"set_reply_slower_than_the_limit", command::set,
                   [](kvtest::fake_connection& c) {
                       c.stall(800ms);
                       c.send("STORED\r\n");
                   },
                   "Key not stored: k1" + late, "before", false, true},
        fault_case{"add_stored_in_pieces", command::add,
                   [](kvtest::fake_connection& c) { c.send_slowly("STORED\r\n", 1, 5ms); }, "ok",
                   "before", true, false},
        fault_case{"delete_not_found", command::remove, sends("NOT_FOUND\r\n"), "Key not found: k1",
                   "before", true, false},
        fault_case{"delete_client_error", command::remove,
                   sends("CLIENT_ERROR bad command line format\r\n"),
                   "Key not found: k1 (CLIENT_ERROR bad command line format)", "before", true,
                   false},
        fault_case{"delete_with_trailing_blanks", command::remove, sends("DELETED \t\r\n"), "ok",
                   "before", true, false}),
    [](const ::testing::TestParamInfo<fault_case>& param) { return std::string(param.param.name); });

// try_apply tells the command's own miss by its result and nothing else: a
// broken, failing or foreign server must not pass for a key space of misses.
// The request is the one the raising form sends.
TEST(try_apply, returns_false_only_for_the_commands_own_miss) {
    enum class tried { get, replace, remove };
    struct row {
        tried applied;
        std::function<void(kvtest::fake_connection&)> reply;
        std::string outcome;  // "hit", "miss" or the exception's message
        bool stays_up;
    };
    const std::vector<row> rows = {
        {tried::get, sends("VALUE k1 0 3\r\nabc\r\nEND\r\n"), "hit", true},
        {tried::get, sends("END\r\n"), "miss", true},
        {tried::get, sends("ERROR\r\n"), "Invalid response found for key: ERROR\r\n", true},
        {tried::get, sends("SERVER_ERROR out of memory\r\n"),
         "Invalid response found for key: SERVER_ERROR out of memory\r\n", true},
        {tried::get, sends("xyz\r\nEND\r\n"), "Malformed data: get k1\r\nxyz\r\nEND\r\n", false},
        {tried::get, [](kvtest::fake_connection& c) { c.close(); }, "Key not found: k1" + closed,
         false},
        {tried::get,
         [](kvtest::fake_connection& c) {
             c.stall(800ms);
             c.send("END\r\n");
         },
         "Key not found: k1" + late, false},
        {tried::replace, sends("STORED\r\n"), "hit", true},
        {tried::replace, sends("NOT_STORED\r\n"), "miss", true},
        {tried::replace, sends("EXISTS\r\n"), "Key not stored: k1", true},
        {tried::replace, sends("SERVER_ERROR object too large for cache\r\n"),
         "Key not stored: k1 (SERVER_ERROR object too large for cache)", true},
        {tried::replace, sends("DELETED\r\n"), "Key not stored: k1 (DELETED)", true},
        {tried::replace, [](kvtest::fake_connection& c) { c.close(); },
         "Key not stored: k1" + closed, false},
        {tried::remove, sends("DELETED\r\n"), "hit", true},
        {tried::remove, sends("NOT_FOUND\r\n"), "miss", true},
        {tried::remove, sends("NOT_FOUND \t\r\n"), "miss", true},
        {tried::remove, sends("NOT_STORED\r\n"), "Key not found: k1 (NOT_STORED)", true},
        {tried::remove, sends("CLIENT_ERROR bad command line format\r\n"),
         "Key not found: k1 (CLIENT_ERROR bad command line format)", true},
        {tried::remove, [](kvtest::fake_connection& c) { c.close(); },
         "Key not found: k1" + closed, false},
    };
    const auto request_of = [](tried applied) -> std::string {
        switch (applied) {
        case tried::get: return "get k1\r\n";
        case tried::replace: return "replace k1 0 0 3\r\nabc\r\n";
        case tried::remove: return "delete k1\r\n";
        }
        return {};
    };
    for (const row& r : rows) {
        const std::string request = request_of(r.applied);
        std::mutex mutex;
        std::string received;
        kvtest::fake_server server([&](kvtest::fake_connection& c) {
            const std::string bytes = c.read_bytes(request.size());
            {
                std::lock_guard<std::mutex> lock(mutex);
                received = bytes;
            }
            r.reply(c);
            c.wait_for_peer_close();
        });
        memcache::client client;
        connect_to(client, server);
        std::string value = "before";
        bool found = false;
        std::string outcome = outcome_of([&] {
            switch (r.applied) {
            case tried::get: found = memcache::get_command("k1", &value).try_apply(client); break;
            case tried::replace:
                found = memcache::replace_command("k1", "abc", 0, 0).try_apply(client);
                break;
            case tried::remove: found = memcache::delete_command("k1").try_apply(client); break;
            }
        });
        if (outcome == "ok") outcome = found ? "hit" : "miss";
        SCOPED_TRACE(request + " expecting " + r.outcome);
        EXPECT_EQ(outcome, r.outcome);
        EXPECT_EQ(value, r.applied == tried::get && r.outcome == "hit" ? "abc" : "before");
        EXPECT_EQ(client.servers().begin()->second.connected, r.stays_up);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(received, request);
    }
}

// A server that stops reading must not hold a large request for ever.
TEST(request_to_a_server_that_reads_nothing, fails_once_the_limit_passes_without_progress) {
    kvtest::fake_server server([](kvtest::fake_connection& c) { c.stall(5s); });
    memcache::client client;
    connect_to(client, server);
    const std::string value(64 << 20, 'v');  // far more than the socket buffers hold

    const auto started = clock_type::now();
    EXPECT_EQ(outcome_of([&] { memcache::add_command("k1", value, 0, 0)(client); }),
              "Key not stored: k1 (request not taken within 500 ms)");
    const auto took = clock_type::now() - started;
    EXPECT_GE(took, 490ms);
    EXPECT_LT(took, 1500ms);
    EXPECT_FALSE(client.servers().begin()->second.connected);
}

// A reply that arrives after its request timed out must never be taken for
// the reply of the next request.
TEST(timed_out_request, never_hands_its_late_reply_to_the_next_request) {
    kvtest::fake_server server([](kvtest::fake_connection& c) {
        for (;;) {
            const std::string request = c.read_until("\r\n");
            if (request.empty()) return;
            if (request == "get slow\r\n") {
                c.stall(700ms);
                c.send("VALUE slow 0 4\r\nlate\r\nEND\r\n");
            } else {
                c.send("VALUE fast 0 5\r\nfresh\r\nEND\r\n");
            }
        }
    });
    memcache::client client;
    connect_to(client, server);
    std::string value;
    EXPECT_EQ(outcome_of([&] { memcache::get_command("slow", &value)(client); }),
              "Key not found: slow" + late);
    EXPECT_EQ(outcome_of([&] { memcache::get_command("fast", &value)(client); }),
              "No available servers.");
    std::this_thread::sleep_for(300ms);  // the late reply is on its way by now
    client.connect(500);
    EXPECT_EQ(outcome_of([&] { memcache::get_command("fast", &value)(client); }), "ok");
    EXPECT_EQ(value, "fresh");
    EXPECT_TRUE(kvtest::eventually([&] { return server.accepted() == 2; }));
}

// The reply limit is elapsed time: a step of the wall clock while a reply is
// due neither ends the wait early nor stretches it.
TEST(reply_limit, ignores_steps_of_the_wall_clock) {
    struct row {
        const char* name;
        std::function<void(kvtest::fake_connection&)> reply;
        std::string outcome;
        bool waits_out_the_limit;
    };
    const std::vector<row> rows = {
        {"forward_between_two_pieces",
         [](kvtest::fake_connection& c) {
             c.send("VALUE k1 0 3\r\na");
             c.stall(50ms);
             wall_clock_step_us = std::chrono::microseconds(std::chrono::hours(1)).count();
             c.stall(150ms);
             c.send("bc\r\nEND\r\n");
         },
         "ok", false},
        {"back_while_nothing_comes",
         [](kvtest::fake_connection&) {
             wall_clock_step_us = std::chrono::microseconds(-std::chrono::seconds(3)).count();
         },
         "Key not found: k1" + late, true},
    };
    for (const row& r : rows) {
        kvtest::fake_server server([&](kvtest::fake_connection& c) {
            c.read_until("\r\n");
            r.reply(c);
            c.wait_for_peer_close();
        });
        memcache::client client;
        connect_to(client, server);
        std::string value;
        const auto started = clock_type::now();
        const std::string outcome =
            outcome_of([&] { memcache::get_command("k1", &value)(client); });
        const auto took_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - started).count();
        wall_clock_step_us = 0;

        EXPECT_EQ(outcome, r.outcome) << r.name;
        if (r.waits_out_the_limit) {
            EXPECT_GE(took_ms, 490) << r.name;
            EXPECT_LT(took_ms, 1500) << r.name;
        } else {
            EXPECT_EQ(value, "abc") << r.name;
            EXPECT_LT(took_ms, 450) << r.name;
        }
    }
}

// A local server is held to the same reply limit, and one whose socket does
// not exist is down from the start.
TEST(local_server, waits_no_longer_than_the_limit_and_a_missing_socket_is_down) {
    kvtest::temp_dir dir;
    const std::string silent = dir.path() + "/silent.sock";
    // Listens, and never even accepts: the connect and the write succeed.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    silent.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    memcache::client client;
    client.add_local_server(silent);
    client.add_local_server(dir.path() + "/missing.sock");
    client.connect(500);
    EXPECT_TRUE(client.servers().at("unix:" + silent).connected);
    EXPECT_FALSE(client.servers().at("unix:" + dir.path() + "/missing.sock").connected);

    std::string value;
    const auto started = clock_type::now();
    EXPECT_EQ(outcome_of([&] { memcache::get_command("k1", &value)(client); }),
              "Key not found: k1" + late);
    const auto took_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - started).count();
    EXPECT_GE(took_ms, 490);
    EXPECT_LT(took_ms, 1500);
    EXPECT_EQ(outcome_of([&] { memcache::get_command("k1", &value)(client); }),
              "No available servers.");
    ::close(listener);
}

// After a failed exchange on its home server a key goes to the next one.
TEST(failover, moves_commands_to_the_next_connected_server) {
    std::mutex mutex;
    std::vector<std::uint16_t> answered_by;
    const auto script = [&](std::uint16_t* port) {
        return [&, port](kvtest::fake_connection& c) {
            for (;;) {
                if (c.read_until("\r\n").empty()) return;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    answered_by.push_back(*port);
                }
                c.send("END\r\n");
            }
        };
    };
    std::uint16_t first_port = 0, second_port = 0;
    kvtest::fake_server first(script(&first_port));
    kvtest::fake_server second(script(&second_port));
    first_port = first.port();
    second_port = second.port();

    memcache::client client;
    client.add_server("127.0.0.1", std::to_string(first_port));
    client.add_server("127.0.0.1", std::to_string(second_port));
    client.connect(500);
    // Find a key whose home is the first server in name order, then take that
    // server down; the key must go to the other one.
    std::string key = "k";
    while (client.server_index(key) != 0) key += "k";
    memcache::connection& home = client.select_server(0);
    client.mark_down(home);
    std::string value;
    EXPECT_EQ(outcome_of([&] { memcache::get_command(key, &value)(client); }), "Key not found: " + key);
    const std::uint16_t other =
        client.servers().begin()->first == "127.0.0.1:" + std::to_string(first_port) ? second_port
                                                                                      : first_port;
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(answered_by, std::vector<std::uint16_t>{other});
}

}  // namespace
