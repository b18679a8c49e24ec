#ifndef KVTEST_RECORDING_CLIENT_HPP
#define KVTEST_RECORDING_CLIENT_HPP

// A bench::client for the kind and runner tests: keeps entries in a map,
// logs every call, and can be told to throw on a chosen call, to hand back a
// changed value, or to take a while.

#include <bench/client.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

struct client_call {
    std::string operation;  // "put", "update", "remove", "get", "set", "try_get", ...
    std::string key;
    std::size_t value_size = 0;     // length of the value written (put, update, set, try_update)
    std::size_t expected_size = 0;  // what get was told to expect
};

class recording_client final : public bench::client {
public:
    // untouched: the get returns without writing the destination at all.
    enum class damage { none, changed_byte, shorter, untouched };

    recording_client() : bench::client("recording") {}

    // The nth call (from 1, counted over all operations) throws after being logged.
    void fail_at(std::size_t nth, std::string message)
    {
        fail_at_ = nth;
        fail_message_ = std::move(message);
    }
    // The nth get (from 1) hands back the stored (non-empty) value damaged this way.
    void damage_get(std::size_t nth, damage how)
    {
        damaged_get_ = nth;
        damage_ = how;
    }
    // Every put takes at least this long.
    void slow_put(std::chrono::milliseconds delay) { put_delay_ = delay; }

    // Counts redirections from `start` on, one MOVED for each put, as a
    // Redis Cluster's client would whose puts all went to the wrong node.
    void count_redirections(bench::redirection_counts start) { redirected_ = start; }
    std::optional<bench::redirection_counts> redirections() const noexcept override
    {
        return redirected_;
    }

    void put(const std::string& key, const std::string& value) override
    {
        if (redirected_) ++redirected_->moved;
        log({"put", key, value.size(), 0});
        std::this_thread::sleep_for(put_delay_);
        entries.emplace(key, value);
    }
    void update(const std::string& key, const std::string& value) override
    {
        log({"update", key, value.size(), 0});
        entries[key] = value;
    }
    void remove(const std::string& key) override
    {
        log({"remove", key, 0, 0});
        entries.erase(key);
    }
    void get(const std::string& key, std::string& value, std::size_t expected_size) override
    {
        log({"get", key, 0, expected_size});
        const auto found = entries.find(key);
        if (found == entries.end()) {
            throw std::runtime_error("entry not found");
        }
        if (++gets_ == damaged_get_ && damage_ == damage::untouched) return;
        value = found->second;
        if (gets_ == damaged_get_) {
            if (damage_ == damage::shorter) {
                value.resize(value.size() - 1);
            } else if (damage_ == damage::changed_byte) {
                value.back() = value.back() == 'x' ? 'y' : 'x';
            }
        }
    }

    void set(const std::string& key, const std::string& value) override
    {
        log({"set", key, value.size(), 0});
        entries[key] = value;
    }
    bool try_get(const std::string& key, std::string& value) override
    {
        log({"try_get", key, 0, 0});
        const auto found = entries.find(key);
        if (found == entries.end()) return false;
        value = found->second;
        return true;
    }
    bool try_update(const std::string& key, const std::string& value) override
    {
        log({"try_update", key, value.size(), 0});
        const auto found = entries.find(key);
        if (found == entries.end()) return false;
        found->second = value;
        return true;
    }
    bool try_remove(const std::string& key) override
    {
        log({"try_remove", key, 0, 0});
        return entries.erase(key) != 0;
    }

    // The operations in call order, joined by blanks: "put get remove".
    std::string operations() const
    {
        std::string text;
        for (const client_call& call : calls) {
            text += (text.empty() ? "" : " ") + call.operation;
        }
        return text;
    }

    std::vector<client_call> calls;
    std::map<std::string, std::string> entries;

private:
    void log(client_call call)
    {
        calls.push_back(std::move(call));
        if (calls.size() == fail_at_) {
            throw std::runtime_error(fail_message_);
        }
    }

    std::size_t fail_at_ = 0;
    std::string fail_message_;
    std::size_t damaged_get_ = 0;
    std::size_t gets_ = 0;
    damage damage_ = damage::none;
    std::chrono::milliseconds put_delay_{0};
    std::optional<bench::redirection_counts> redirected_;
};

}  // namespace kvtest

#endif
