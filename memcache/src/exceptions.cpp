#include <memcache/exceptions.hpp>

namespace memcache {

namespace {

// The argument may hold NUL bytes (reply text); the message stops at the first.
std::string joined(const char* prefix, const std::string& argument) {
    std::string text(prefix);
    text += argument;
    return std::string(text.c_str());
}

// The joined message, then " (" + cause + ")" unless the cause is empty.
std::string with_cause(const char* prefix, const std::string& argument, std::string_view cause) {
    std::string text = joined(prefix, argument);
    cause = cause.substr(0, cause.find('\0'));
    if (!cause.empty()) {
        text += " (";
        text += cause;
        text += ')';
    }
    return text;
}

}  // namespace

exception::exception(const std::string& message) : std::runtime_error(message) {}
exception::exception(const char* message) : std::runtime_error(message) {}

key_not_found::key_not_found(const std::string& key) : exception(joined("Key not found: ", key)) {}

key_not_found::key_not_found(const std::string& key, std::string_view cause)
    : exception(with_cause("Key not found: ", key, cause)) {}

key_not_stored::key_not_stored(const std::string& key)
    : exception(joined("Key not stored: ", key)) {}

key_not_stored::key_not_stored(const std::string& key, std::string_view cause)
    : exception(with_cause("Key not stored: ", key, cause)) {}

invalid_key::invalid_key(const std::string& key) : exception(joined("Invalid key: ", key)) {}

offset_out_of_bounds::offset_out_of_bounds(std::uint64_t index)
    : exception(joined("Offset out of bounds: ", std::to_string(index))) {}

no_available_servers::no_available_servers() : exception("No available servers.") {}

invalid_response_found::invalid_response_found(const std::string& reply)
    : exception(joined("Invalid response found for key: ", reply)) {}

malformed_data::malformed_data(const std::string& exchange)
    : exception(joined("Malformed data: ", exchange)) {}

}  // namespace memcache
