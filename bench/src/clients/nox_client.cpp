#include <bench/clients/nox_client.hpp>

#include "stream_connect.hpp"

#include <bench/detail/wait.hpp>
#include <bench/interrupt.hpp>

#include <nox_api.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include <unistd.h>

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int timeout_option = 0;
constexpr int timeout_value = 10000;
// Rounds of update and put a set makes while other clients keep removing and
// creating the entry between its calls.
constexpr int set_rounds = 3;
// The longest content try_get grows a value to: Redis' default limit for one
// value, which the stand-in library's daemons keep to as well.
constexpr std::size_t max_content = std::size_t(512) * 1024 * 1024;
// The library's connect cannot be woken, so the client connects in attempts
// within the time limit and looks for a stop between them: a stop waits for
// one attempt at most. The first allows a round trip across a continent;
// each later one is twice as long, up to a second, so that a slower network
// still gets through.
constexpr std::chrono::milliseconds first_attempt{100};
constexpr std::chrono::milliseconds longest_attempt{1000};

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// A failed connect: where to, and why. The library's status does not say
// why, so after a failure that is not a time-out the endpoint is tried once
// more with a socket of our own, whose error is the system's reason.
[[noreturn]] void cannot_connect(const endpoint& daemon, std::int32_t status) {
    std::string reason;
    if (status == NOX_TIMEOUT) {
        reason = std::generic_category().message(ETIMEDOUT);
    } else {
        try {
            ::close(connect_stream_socket(daemon, clock_type::now() + longest_attempt));
            reason = "the library's status " + std::to_string(status);
        } catch (const std::system_error& error) {
            reason = error.code().message();
        }
    }
    throw std::runtime_error("cannot connect to remote host " + endpoint_text(daemon) + ": " +
                             reason);
}

// The library takes keys as NUL-terminated text: a key holding a NUL byte
// would silently name a shorter, different key, so it is refused.
bool passable(const std::string& key) noexcept {
    return std::memchr(key.data(), '\0', key.size()) == nullptr;
}

}  // namespace

void nox_client::handle_release::operator()(nox_handle* handle) const noexcept {
    nox_close(handle);
}

nox_client::nox_client(const endpoint& daemon) : client("nox") {
    if (daemon.is_unix_socket()) fail("the nox protocol needs a host:port endpoint");
    nox_handle* opened = nullptr;
    if (nox_open(&opened, 0) != 0) fail("cannot create nox handle");
    handle_.reset(opened);
    const std::string host = daemon.tcp().address().to_string();
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_value);
    for (auto attempt = first_attempt;; attempt = std::min(attempt * 2, longest_attempt)) {
        const auto wait = detail::milliseconds_left(deadline, attempt);
        if (nox_set_option(handle_.get(), timeout_option,
                           static_cast<int>(std::max<long long>(wait.count(), 1))) != 0)
            fail("cannot set the timeout");
        const std::int32_t status =
            nox_connect(handle_.get(), host.c_str(), static_cast<int>(daemon.tcp().port()));
        if (status == 0) break;
        if (interrupt_requested()) throw interrupted_error();
        if (status != NOX_TIMEOUT || clock_type::now() >= deadline) cannot_connect(daemon, status);
    }
    if (nox_set_option(handle_.get(), timeout_option, timeout_value) != 0)
        fail("cannot set the timeout");
}

nox_client::~nox_client() = default;

void nox_client::put(const std::string& key, const std::string& value) {
    if (!passable(key) || nox_put(handle_.get(), key.c_str(), value.data(), value.size(), 0) != 0)
        fail("cannot put entry");
}

void nox_client::update(const std::string& key, const std::string& value) {
    if (!passable(key) || nox_update(handle_.get(), key.c_str(), value.data(), value.size(), 0) != 0)
        fail("cannot update entry");
}

void nox_client::remove(const std::string& key) {
    if (!passable(key) || nox_remove(handle_.get(), key.c_str()) != 0) fail("cannot remove entry");
}

void nox_client::get(const std::string& key, std::string& value, std::size_t expected_size) {
    value.resize(expected_size);
    std::size_t length = expected_size;
    if (!passable(key) || nox_get(handle_.get(), key.c_str(), &value[0], &length) != 0)
        fail("cannot get entry");
    // A library that reports more than the buffer held has cut the content.
    if (length > expected_size) fail("cannot get entry");
    value.resize(length);
}

void nox_client::set(const std::string& key, const std::string& value) {
    if (!passable(key)) fail("cannot set entry");
    // Update first: the keys of a loaded key space mostly exist.
    for (int round = 0; round < set_rounds; ++round) {
        std::int32_t status = nox_update(handle_.get(), key.c_str(), value.data(), value.size(), 0);
        if (status == NOX_OK) return;
        if (status != NOX_NOT_FOUND) break;
        status = nox_put(handle_.get(), key.c_str(), value.data(), value.size(), 0);
        if (status == NOX_OK) return;
        if (status != NOX_EXISTS) break;
    }
    fail("cannot set entry");
}

bool nox_client::try_get(const std::string& key, std::string& value) {
    if (!passable(key)) fail("cannot get entry");
    // Growing within the capacity allocates nothing.
    value.resize(value.capacity());
    for (;;) {
        std::size_t length = value.size();
        const std::int32_t status = nox_get(handle_.get(), key.c_str(), &value[0], &length);
        if (status == NOX_NOT_FOUND) return false;
        if (status == NOX_OK && length <= value.size()) {
            value.resize(length);
            return true;
        }
        // A longer content: the library has told its length. Ask again with
        // room for it (another client may have written a longer one
        // meanwhile); every round grows the value, up to max_content.
        if (status != NOX_TOO_SMALL || length <= value.size() || length > max_content)
            fail("cannot get entry");
        value.resize(length);
    }
}

bool nox_client::try_update(const std::string& key, const std::string& value) {
    if (!passable(key)) fail("cannot update entry");
    const std::int32_t status =
        nox_update(handle_.get(), key.c_str(), value.data(), value.size(), 0);
    if (status == NOX_NOT_FOUND) return false;
    if (status != NOX_OK) fail("cannot update entry");
    return true;
}

bool nox_client::try_remove(const std::string& key) {
    if (!passable(key)) fail("cannot remove entry");
    const std::int32_t status = nox_remove(handle_.get(), key.c_str());
    if (status == NOX_NOT_FOUND) return false;
    if (status != NOX_OK) fail("cannot remove entry");
    return true;
}

}  // namespace bench
