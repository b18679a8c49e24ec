#ifndef MEMCACHE_POLICIES_HPP
#define MEMCACHE_POLICIES_HPP

#include <string>

namespace memcache {
namespace policies {

namespace tags {
// Selects the library's standard behaviour of a policy.
struct default_tag {};
}  // namespace tags

// Strings travel as their bytes: nothing is added on store and nothing is
// decoded on fetch, so line feeds, carriage returns and NUL bytes survive.
template <typename Tag>
struct string_preserve_impl {
    // The bytes a store command sends for `value`.
    static const std::string& serialize(const std::string& value) noexcept { return value; }
    // Puts a fetched data block into `destination`, reusing its storage.
    static void deserialize(const std::string& data, std::string& destination) {
        destination.assign(data);
    }
};

}  // namespace policies
}  // namespace memcache

#endif
