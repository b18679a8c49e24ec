#ifndef MEMCACHE_SRC_PROTOCOL_HPP
#define MEMCACHE_SRC_PROTOCOL_HPP

// The request texts and the meaning of the replies, shared by the blocking
// commands (commands.cpp) and the pipeline (pipeline.cpp), so that both send
// the same bytes and read a reply the same way. Private to the library.

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace memcache {
namespace detail {

constexpr std::string_view get_verb = "get ";        // "get key" CR LF
constexpr std::string_view delete_verb = "delete ";  // "delete key" CR LF
constexpr std::string_view line_end = "\r\n";

// The longest head of a storage request: the longest verb, a key of the
// longest length, three numbers of up to 20 digits, the spaces and the CR LF.
constexpr std::size_t storage_head_size = 7 + 1 + client::max_key_length + 3 * (1 + 20) + 2;

// Writes "<verb> key flags exptime bytes" CR LF at `out` (room for
// storage_head_size bytes) and returns its length. The data and its CR LF
// follow it on the wire. Only the low 16 bits of the flags are sent.
std::size_t put_storage_head(char* out, std::string_view verb, std::string_view key,
                             std::uint32_t flags, std::uint64_t exptime, std::size_t bytes);

// What a whole get reply (as collect_reply gives it) for `key` means.
enum class get_outcome : unsigned char {
    hit,        // *value took the key's value
    miss,       // END alone
    malformed,  // breaks the protocol: where the next reply starts is unknown
};

// Raises invalid_response_found for an error reply. A block for another key
// raises boost::bad_function_call, as parse_get_reply does.
get_outcome read_get_reply(std::string_view text, std::string_view key, std::string* value);

// The reply to add, replace or set (its first line and perhaps more): true
// for STORED, false for NOT_STORED. Raises key_not_stored for every other
// line, with the line as its cause unless it is a plain refusal (EXISTS,
// NOT_FOUND).
bool read_store_reply(std::string_view received, std::string_view key);

// The reply to delete: true for DELETED, false for NOT_FOUND. Raises
// key_not_found for every other line, with the line as its cause.
bool read_delete_reply(std::string_view received, std::string_view key);

// Why a reply was refused, as a failed command gives it after its message:
// "reply line longer than 64 KiB" and the like.
std::string refusal_text(reply_refusal refused);

}  // namespace detail
}  // namespace memcache

#endif
