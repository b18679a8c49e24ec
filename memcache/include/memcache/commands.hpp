#ifndef MEMCACHE_COMMANDS_HPP
#define MEMCACHE_COMMANDS_HPP

#include <cstdint>
#include <string>
#include <string_view>

namespace memcache {

class client;

// Commands are applied to a client by calling them. Applying one picks the
// key's server, writes one request and reads its whole reply within 500 ms;
// failures are raised as memcache exceptions. An exchange that fails on the
// network marks its connection down: an error, a closed connection, the time
// limit, or a reply past the limits of detail::default_limits (a line over
// 64 KiB, a value over 1 GiB). Its exception then carries the cause after
// the message, as in "Key not found: k1 (no reply within 500 ms)".
//
// get, replace and delete can also be applied with try_apply, which tells a
// missing key by returning false instead of raising: the same request, the
// same reply handling, and no exception on the way of a miss. Every other
// failure raises as when the command is called.
//
// A command holds views of its key and value, not copies: apply it while they
// live, as memcache::get_command(key, &value)(client) does. A command that
// succeeds allocates nothing once its connection's reply buffer has grown to
// the replies it receives (and a get's destination to the value it takes).

// get: copies the key's value into *value. Raises key_not_found for a miss
// or a failed exchange, invalid_response_found for an error reply and
// malformed_data for a reply that breaks the protocol.
class get_command {
public:
    get_command(std::string_view key, std::string* value) noexcept;
    void operator()(client& target) const;
    // As calling it, except that a miss (END without a VALUE block) returns
    // false and leaves *value alone; true when *value took the key's value.
    bool try_apply(client& target) const;

private:
    std::string_view key_;
    std::string* value_;  // the caller's destination
};

namespace detail {

// What add, replace and set share: the stored value and its request line.
class storage_command {
protected:
    storage_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                    std::uint32_t flags) noexcept;
    // Sends "<verb> key flags exptime bytes" and the data; true when the
    // server answers STORED, false when it answers NOT_STORED (the verb's
    // condition on the key does not hold). Raises key_not_stored for every
    // other answer, with the server's line as its cause unless that is a
    // plain refusal (EXISTS, NOT_FOUND).
    bool try_store(client& target, std::string_view verb) const;
    // As try_store, and NOT_STORED raises key_not_stored too.
    void store(client& target, std::string_view verb) const;

private:
    std::string_view key_;
    std::string_view value_;
    std::uint32_t flags_;    // only the low 16 bits go on the wire
    std::uint64_t exptime_;  // expiration as the protocol takes it
};

}  // namespace detail

// add: stores the value only if the key is absent.
class add_command : private detail::storage_command {
public:
    add_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                std::uint32_t flags) noexcept;
    void operator()(client& target) const;
};

// replace: stores the value only if the key is present.
class replace_command : private detail::storage_command {
public:
    replace_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                    std::uint32_t flags) noexcept;
    void operator()(client& target) const;
    // As calling it, except that NOT_STORED (the key is absent) returns false;
    // true when the value was stored.
    bool try_apply(client& target) const;
};

// set: stores the value whether or not the key is present.
class set_command : private detail::storage_command {
public:
    set_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                std::uint32_t flags) noexcept;
    void operator()(client& target) const;
};

// delete: removes the key; raises key_not_found unless the server answers
// DELETED, with the server's line as its cause unless that is NOT_FOUND.
class delete_command {
public:
    explicit delete_command(std::string_view key) noexcept;
    void operator()(client& target) const;
    // As calling it, except that NOT_FOUND returns false; true when the key
    // was deleted.
    bool try_apply(client& target) const;

private:
    std::string_view key_;
};

}  // namespace memcache

#endif
