#ifndef MEMCACHE_EXCEPTIONS_HPP
#define MEMCACHE_EXCEPTIONS_HPP

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace memcache {

// Root of everything the library raises for a command that did not succeed.
// Each subclass joins a fixed prefix and its argument; the message is taken as
// a C string, so it ends at the first NUL byte of the argument. A cause, where
// one is given, is cut at its first NUL byte and follows in parentheses.
class exception : public std::runtime_error {
public:
    explicit exception(const std::string& message);
    explicit exception(const char* message);
};

// get or delete found no entry for the key (or the exchange failed).
class key_not_found : public exception {
public:
    explicit key_not_found(const std::string& key);
    // The message followed by " (" + cause + ")": why the command failed when
    // the server did not simply answer that the key is absent.
    key_not_found(const std::string& key, std::string_view cause);
};

// add, replace or set did not store the value (or the exchange failed).
class key_not_stored : public exception {
public:
    explicit key_not_stored(const std::string& key);
    // The message followed by " (" + cause + ")": why the value was not
    // stored when the server did not simply refuse it by the command's rule.
    key_not_stored(const std::string& key, std::string_view cause);
};

// The key cannot be sent: empty of meaning on the wire (whitespace, control
// bytes) or longer than a server accepts.
class invalid_key : public exception {
public:
    explicit invalid_key(const std::string& key);
};

// A server index past the end of the server table.
class offset_out_of_bounds : public exception {
public:
    explicit offset_out_of_bounds(std::uint64_t index);
};

// No server is connected (or none was ever added).
class no_available_servers : public exception {
public:
    no_available_servers();
};

// The server answered a get with ERROR, CLIENT_ERROR or SERVER_ERROR.
class invalid_response_found : public exception {
public:
    explicit invalid_response_found(const std::string& reply);
};

// A complete reply that does not follow the protocol; carries the request
// followed by the reply.
class malformed_data : public exception {
public:
    explicit malformed_data(const std::string& exchange);
};

}  // namespace memcache

#endif
