// libnox_api against a real redis-server, and against scripted fake servers
// for the faults a real one won't produce on demand.

#include <nox_api.h>

#include <support/fake_server.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

struct closer {
    void operator()(nox_handle* h) const { nox_close(h); }
};
using handle_ptr = std::unique_ptr<nox_handle, closer>;

handle_ptr connected(std::uint16_t port, int timeout_ms = 2000) {
    nox_handle* h = nullptr;
    EXPECT_EQ(nox_open(&h, 0), NOX_OK);
    handle_ptr owned(h);
    EXPECT_EQ(nox_set_option(h, NOX_OPTION_TIMEOUT, timeout_ms), NOX_OK);
    EXPECT_EQ(nox_connect(h, "127.0.0.1", port), NOX_OK);
    return owned;
}

int32_t put(nox_handle* h, const std::string& key, const std::string& value) {
    return nox_put(h, key.c_str(), value.data(), value.size(), 0);
}
int32_t update(nox_handle* h, const std::string& key, const std::string& value) {
    return nox_update(h, key.c_str(), value.data(), value.size(), 0);
}

// Reads key into a buffer of `capacity` bytes; `value` gets what the length
// says was stored (or the needed length's worth of nothing on failure).
int32_t get(nox_handle* h, const std::string& key, std::string& value, std::size_t capacity,
            std::size_t* length_out = nullptr) {
    value.assign(capacity, '\0');
    std::size_t length = capacity;
    const int32_t status = nox_get(h, key.c_str(), &value[0], &length);
    if (status == NOX_OK) value.resize(length);
    if (length_out) *length_out = length;
    return status;
}

class nox_api_redis : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<kvtest::server_process>(kvtest::server_process::redis());
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { h = connected(server->port()); }

    static std::string key(const char* what) {
        return std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "/" + what;
    }

    static std::unique_ptr<kvtest::server_process> server;
    handle_ptr h;
};
std::unique_ptr<kvtest::server_process> nox_api_redis::server;

TEST_F(nox_api_redis, put_stores_a_new_entry_and_keeps_an_existing_one) {
    std::string out;
    EXPECT_EQ(put(h.get(), key("k"), "first"), NOX_OK);
    EXPECT_EQ(put(h.get(), key("k"), "second"), NOX_EXISTS);
    ASSERT_EQ(get(h.get(), key("k"), out, 16), NOX_OK);
    EXPECT_EQ(out, "first");
}

TEST_F(nox_api_redis, update_replaces_an_entry_and_never_creates_one) {
    std::string out;
    EXPECT_EQ(update(h.get(), key("missing"), "x"), NOX_NOT_FOUND);
    EXPECT_EQ(get(h.get(), key("missing"), out, 16), NOX_NOT_FOUND);
    ASSERT_EQ(put(h.get(), key("k"), "first"), NOX_OK);
    EXPECT_EQ(update(h.get(), key("k"), "second!"), NOX_OK);
    ASSERT_EQ(get(h.get(), key("k"), out, 16), NOX_OK);
    EXPECT_EQ(out, "second!");
}

TEST_F(nox_api_redis, remove_deletes_an_entry_and_reports_a_missing_one) {
    std::string out;
    ASSERT_EQ(put(h.get(), key("k"), "v"), NOX_OK);
    EXPECT_EQ(nox_remove(h.get(), key("k").c_str()), NOX_OK);
    EXPECT_EQ(get(h.get(), key("k"), out, 16), NOX_NOT_FOUND);
    EXPECT_EQ(nox_remove(h.get(), key("k").c_str()), NOX_NOT_FOUND);
}

TEST_F(nox_api_redis, get_reports_the_length_and_refuses_a_buffer_too_small) {
    std::string out;
    std::size_t length = 0;
    ASSERT_EQ(put(h.get(), key("k"), "hello"), NOX_OK);
    ASSERT_EQ(put(h.get(), key("empty"), ""), NOX_OK);
    EXPECT_EQ(get(h.get(), key("k"), out, 100, &length), NOX_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(get(h.get(), key("k"), out, 5, &length), NOX_OK);
    EXPECT_EQ(out, "hello");
    EXPECT_EQ(get(h.get(), key("k"), out, 4, &length), NOX_TOO_SMALL);
    EXPECT_EQ(length, 5u);  // what it takes
    length = 0;
    EXPECT_EQ(nox_get(h.get(), key("k").c_str(), nullptr, &length), NOX_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    length = 0;
    EXPECT_EQ(nox_get(h.get(), key("empty").c_str(), nullptr, &length), NOX_OK);
    EXPECT_EQ(length, 0u);
    // The refused reply was read to its end: the stream is still in step.
    EXPECT_EQ(get(h.get(), key("k"), out, 5), NOX_OK);
    EXPECT_EQ(out, "hello");
}

TEST_F(nox_api_redis, values_and_keys_travel_byte_for_byte) {
    std::string every_byte;
    for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
    std::string large(3 << 20, '\0');  // several reads and writes, read straight into the buffer
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
    const std::vector<std::string> values = {
        "", "a\0b"s, "\r\n", "$-1\r\n", "*1\r\n+OK\r\n", "\0"s, every_byte, large};
    const std::vector<std::string> keys = {key("plain"), key("with space\r\n$3\r\n"), ""};
    for (const auto& k : keys) {
        for (const auto& v : values) {
            SCOPED_TRACE("key " + testing::PrintToString(k) + ", value of " + std::to_string(v.size()));
            std::string out;
            ASSERT_EQ(put(h.get(), k, v), NOX_OK);
            ASSERT_EQ(get(h.get(), k, out, v.size() + 1), NOX_OK);
            EXPECT_TRUE(out == v);
            ASSERT_EQ(update(h.get(), k, v + "!"), NOX_OK);
            ASSERT_EQ(get(h.get(), k, out, v.size() + 1), NOX_OK);
            EXPECT_TRUE(out == v + "!");
            ASSERT_EQ(nox_remove(h.get(), k.c_str()), NOX_OK);
        }
    }
}

TEST_F(nox_api_redis, an_error_reply_fails_the_call_and_keeps_the_connection) {
    std::string out;
    server->ask("RPUSH " + key("list") + " a\r\n", "\r\n");
    EXPECT_EQ(get(h.get(), key("list"), out, 16), NOX_SERVER_ERROR);  // WRONGTYPE
    EXPECT_EQ(put(h.get(), key("k"), "v"), NOX_OK);
}

TEST_F(nox_api_redis, bad_arguments_are_refused_without_harm) {
    nox_handle* none = reinterpret_cast<nox_handle*>(1);
    std::size_t length = 4, no_room = 0;
    char buffer[4];
    const std::vector<std::function<int32_t()>> calls = {
        [] { return nox_open(nullptr, 0); },
        [&] { return nox_open(&none, 1); },
        [] { return nox_connect(nullptr, "127.0.0.1", 1); },
        [&] { return nox_connect(h.get(), nullptr, server->port()); },
        [&] { return nox_set_option(nullptr, NOX_OPTION_TIMEOUT, 100); },
        [&] { return nox_set_option(h.get(), 1, 100); },
        [&] { return nox_set_option(h.get(), NOX_OPTION_TIMEOUT, 0); },
        [&] { return nox_set_option(h.get(), NOX_OPTION_TIMEOUT, -5); },
        [] { return nox_put(nullptr, "k", "v", 1, 0); },
        [&] { return nox_put(h.get(), nullptr, "v", 1, 0); },
        [&] { return nox_put(h.get(), "k", nullptr, 1, 0); },
        [&] { return nox_put(h.get(), "k", "v", 1, 1); },
        [] { return nox_update(nullptr, "k", "v", 1, 0); },
        [&] { return nox_update(h.get(), nullptr, "v", 1, 0); },
        [&] { return nox_update(h.get(), "k", nullptr, 1, 0); },
        [&] { return nox_update(h.get(), "k", "v", 1, 2); },
        [] { return nox_remove(nullptr, "k"); },
        [&] { return nox_remove(h.get(), nullptr); },
        [&] { return nox_get(nullptr, "k", buffer, &length); },
        [&] { return nox_get(h.get(), nullptr, buffer, &length); },
        [&] { return nox_get(h.get(), "k", buffer, nullptr); },
        [&] { return nox_get(h.get(), "k", nullptr, &length); },
        [] { return nox_close(nullptr); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i](), NOX_BAD_ARGUMENT) << "call " << i;
    EXPECT_EQ(none, nullptr);  // a refused open leaves no stale handle behind
    EXPECT_EQ(length, 4u);
    // Connection and time limit are as they were.
    EXPECT_EQ(put(h.get(), key("k"), "v"), NOX_OK);
    EXPECT_EQ(nox_get(h.get(), key("k").c_str(), nullptr, &no_room), NOX_TOO_SMALL);
}

TEST_F(nox_api_redis, a_handle_without_connection_fails_every_call) {
    nox_handle* raw = nullptr;
    ASSERT_EQ(nox_open(&raw, 0), NOX_OK);
    handle_ptr fresh(raw);
    std::string out;
    EXPECT_EQ(put(raw, "k", "v"), NOX_NOT_CONNECTED);
    EXPECT_EQ(update(raw, "k", "v"), NOX_NOT_CONNECTED);
    EXPECT_EQ(nox_remove(raw, "k"), NOX_NOT_CONNECTED);
    EXPECT_EQ(get(raw, "k", out, 4), NOX_NOT_CONNECTED);
    EXPECT_EQ(nox_connect(raw, "127.0.0.1", kvtest::closed_port()), NOX_IO_ERROR);
    EXPECT_EQ(put(raw, "k", "v"), NOX_NOT_CONNECTED);
    // The handle stays usable: it can still connect.
    EXPECT_EQ(nox_connect(raw, "localhost", server->port()), NOX_OK);
    EXPECT_EQ(put(raw, key("k"), "v"), NOX_OK);
}

// --- Fake servers -----------------------------------------------------------

// Reads one request (an array of bulk strings) and returns its raw bytes;
// empty when the connection ends first.
std::string read_request(kvtest::fake_connection& c) {
    std::string raw = c.read_until("\r\n");
    if (raw.size() < 3 || raw[0] != '*') return {};
    for (unsigned long n = std::stoul(raw.substr(1)); n > 0; --n) {
        const std::string length = c.read_until("\r\n");
        if (length.size() < 3 || length[0] != '$') return {};
        raw += length + c.read_bytes(std::stoul(length.substr(1)) + 2);
    }
    return raw;
}

// Records every request it gets and answers each with `reply`.
struct recording_server {
    explicit recording_server(std::string reply)
        : server([this, reply](kvtest::fake_connection& c) {
              for (std::string r = read_request(c); !r.empty(); r = read_request(c)) {
                  {
                      std::lock_guard<std::mutex> lock(mutex);
                      requests.push_back(r);
                  }
                  c.send(reply);
              }
          }) {}
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    std::mutex mutex;
    std::vector<std::string> requests;
    kvtest::fake_server server;
};

TEST(nox_api_wire, requests_are_resp_commands_and_replies_map_to_statuses) {
    struct wire_case {
        const char* call;
        std::string reply;
        int32_t status;
    };
    const std::string set = "*4\r\n$3\r\nSET\r\n$2\r\nk1\r\n$3\r\nv\0\n\r\n"s;
    const std::map<std::string, std::string> requests = {
        {"put", set + "$2\r\nNX\r\n"},
        {"update", set + "$2\r\nXX\r\n"},
        {"remove", "*2\r\n$3\r\nDEL\r\n$2\r\nk1\r\n"},
        {"get", "*2\r\n$3\r\nGET\r\n$2\r\nk1\r\n"},
    };
    const std::vector<wire_case> cases = {
        {"put", "+OK\r\n", NOX_OK},          {"put", "$-1\r\n", NOX_EXISTS},
        {"put", "-ERR no\r\n", NOX_SERVER_ERROR}, {"put", ":1\r\n", NOX_PROTOCOL_ERROR},
        {"update", "+OK\r\n", NOX_OK},       {"update", "$-1\r\n", NOX_NOT_FOUND},
        {"remove", ":1\r\n", NOX_OK},        {"remove", ":0\r\n", NOX_NOT_FOUND},
        {"remove", ":-1\r\n", NOX_PROTOCOL_ERROR}, {"remove", "+OK\r\n", NOX_PROTOCOL_ERROR},
        {"get", "$2\r\nab\r\n", NOX_OK},     {"get", "$-1\r\n", NOX_NOT_FOUND},
        {"get", "-WRONGTYPE x\r\n", NOX_SERVER_ERROR}, {"get", ":3\r\n", NOX_PROTOCOL_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " answered " + testing::PrintToString(c.reply));
        recording_server fake(c.reply);
        handle_ptr h = connected(fake.server.port());
        std::string out;
        const std::string call = c.call;
        const auto once = [&] {
            return call == "put"      ? put(h.get(), "k1", "v\0\n"s)
                   : call == "update" ? update(h.get(), "k1", "v\0\n"s)
                   : call == "remove" ? nox_remove(h.get(), "k1")
                                      : get(h.get(), "k1", out, 8);
        };
        EXPECT_EQ(once(), c.status);
        EXPECT_EQ(fake.taken(), std::vector<std::string>{requests.at(call)});
        // Each reply above is whole, so the connection stays in step for the next call.
        EXPECT_EQ(once(), c.status);
        EXPECT_EQ(fake.taken().size(), 2u);
    }
}

TEST(nox_api_faults, a_failed_exchange_fails_in_time_and_closes_the_connection) {
    using script = kvtest::fake_server::script;
    struct fault_case {
        const char* name;
        script each;
        int32_t status;
    };
    const std::vector<fault_case> cases = {
        {"never answers", [](kvtest::fake_connection& c) { read_request(c); c.stall(10s); },
         NOX_TIMEOUT},
        {"stops inside the reply",
         [](kvtest::fake_connection& c) { read_request(c); c.send("$5\r\nhe"); c.stall(10s); },
         NOX_TIMEOUT},
        // Each byte comes in time for a limit per read, but the reply as a whole is late.
        {"dribbles the reply",
         [](kvtest::fake_connection& c) { read_request(c); c.send_slowly("$5\r\nhello\r\n", 1, 100ms); },
         NOX_TIMEOUT},
        {"closes after the request", [](kvtest::fake_connection& c) { read_request(c); },
         NOX_IO_ERROR},
        {"answers twice",
         [](kvtest::fake_connection& c) { read_request(c); c.send("$1\r\na\r\n+OK\r\n"); c.stall(10s); },
         NOX_PROTOCOL_ERROR},
        {"speaks another protocol",
         [](kvtest::fake_connection& c) { read_request(c); c.send("HTTP/1.1 400 Bad\r\n"); c.stall(10s); },
         NOX_PROTOCOL_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::fake_server fake(c.each);
        handle_ptr h = connected(fake.port(), 300);
        std::string out;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(get(h.get(), "k", out, 8), c.status);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, 900ms);
        if (c.status == NOX_TIMEOUT) {
            EXPECT_GE(took, 290ms);
        }
        EXPECT_EQ(put(h.get(), "k", "v"), NOX_NOT_CONNECTED);
        EXPECT_EQ(get(h.get(), "k", out, 8), NOX_NOT_CONNECTED);
    }
}

TEST(nox_api_faults, a_connection_closed_by_the_server_is_an_error_not_a_signal) {
    ::signal(SIGPIPE, SIG_DFL);  // a write on the dead socket would end the test process
    kvtest::fake_server fake([](kvtest::fake_connection& c) { c.close(); });
    const std::string large(8 << 20, 'x');  // more than the socket buffers hold
    for (std::size_t i = 1; i <= 3; ++i) {
        handle_ptr h = connected(fake.port());
        ASSERT_TRUE(kvtest::eventually([&] { return fake.accepted() == i; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(put(h.get(), "k", large), NOX_IO_ERROR);
        EXPECT_EQ(put(h.get(), "k", large), NOX_NOT_CONNECTED);
    }
}

TEST(nox_api_faults, an_unreachable_port_fails_the_connect) {
    nox_handle* raw = nullptr;
    ASSERT_EQ(nox_open(&raw, 0), NOX_OK);
    handle_ptr h(raw);
    EXPECT_EQ(nox_connect(raw, "127.0.0.1", kvtest::closed_port()), NOX_IO_ERROR);
    EXPECT_EQ(nox_remove(raw, "k"), NOX_NOT_CONNECTED);
}

}  // namespace
