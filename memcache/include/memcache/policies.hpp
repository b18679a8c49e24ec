#ifndef MEMCACHE_POLICIES_HPP
#define MEMCACHE_POLICIES_HPP

#include <string>
#include <string_view>

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
    static std::string_view serialize(std::string_view value) noexcept { return value; }
    // Puts a fetched data block into `destination`, reusing its storage.
    static void deserialize(std::string_view data, std::string& destination) {
        destination.assign(data.data(), data.size());
    }
};

}  // namespace policies
}  // namespace memcache

#endif
