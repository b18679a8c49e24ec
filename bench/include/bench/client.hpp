#ifndef BENCH_CLIENT_HPP
#define BENCH_CLIENT_HPP

#include <bench/redirections.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace bench {

// The store-client interface every test talks to. Keys and values are byte
// strings; every failure is reported by throwing an exception derived from
// std::runtime_error. Only the try_ operations tell of a missing entry
// through their return value.
class client {
public:
    virtual ~client() = default;

    // Stores a new entry.
    virtual void put(const std::string& key, const std::string& value) = 0;
    // Replaces the content of an entry.
    virtual void update(const std::string& key, const std::string& value) = 0;
    // Deletes an entry.
    virtual void remove(const std::string& key) = 0;
    // Fetches the content of an entry into value, replacing what it held.
    // expected_size is the length the caller expects; clients that can read
    // a content of any length ignore it.
    virtual void get(const std::string& key, std::string& value, std::size_t expected_size) = 0;

    // The operations of a test over a shared key space, where a missing key
    // is an outcome to count rather than a failure: a miss is reported by
    // the return value and costs no more than a hit (no exception, no extra
    // round trip); every other failure throws as above.

    // Writes the entry whether it exists or not.
    virtual void set(const std::string& key, const std::string& value) = 0;
    // Fetches the content of an entry into value, replacing what it held;
    // false when there is no entry (value is then unspecified). A buffer
    // reused from call to call is the norm: its capacity is kept.
    virtual bool try_get(const std::string& key, std::string& value) = 0;
    // Replaces the content of an existing entry; false, and nothing written,
    // when there is none.
    virtual bool try_update(const std::string& key, const std::string& value) = 0;
    // Deletes an entry; false when there was none.
    virtual bool try_remove(const std::string& key) = 0;

    // The redirections followed since the client was made, for a client of
    // a store that redirects (a Redis Cluster); none for the others.
    virtual std::optional<redirection_counts> redirections() const noexcept {
        return std::nullopt;
    }

    const char* protocol_name() const noexcept { return protocol_name_; }

    client(const client&) = delete;
    client& operator=(const client&) = delete;

protected:
    explicit client(const char* protocol_name) noexcept : protocol_name_(protocol_name) {}

private:
    const char* protocol_name_;  // static text naming the protocol, never freed
};

}  // namespace bench

#endif
