#ifndef MEMCACHE_DETAIL_REPLY_HPP
#define MEMCACHE_DETAIL_REPLY_HPP

// The reply side of the protocol as functions over bytes: when a reply is
// complete, how the get reply text is collected, parsed and classified.
// Nothing here touches a socket.

#include <boost/asio/streambuf.hpp>
#include <boost/function.hpp>
#include <boost/regex_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace memcache {
namespace detail {

// One VALUE block of a get reply.
struct value_block {
    std::string key;          // the key the block belongs to
    std::uint32_t flags = 0;  // client flags stored with the value
    std::uint64_t bytes = 0;  // declared length of data
    std::uint64_t cas = 0;    // cas unique; 0 when the reply has none
    std::string data;         // exactly `bytes` bytes
};

// Where each key's data block goes: key -> receiver of the data text.
using value_handlers = std::map<std::string, boost::function<void(const std::string&)>>;

// Stores a fetched data block into the caller's destination, decoded by Policy.
template <typename T, typename Policy>
class deserializer {
public:
    explicit deserializer(T* destination) noexcept : destination_(destination) {}
    void operator()(const std::string& data) const { Policy::deserialize(data, *destination_); }

private:
    T* destination_;  // owned by the caller of the get
};

// Terminators, compiled on first use and shared read-only afterwards.
// get: "(END\r\n)|(SERVER_ERROR\S)|(CLIENT_ERROR\S)|(ERROR\r\n)"
const boost::regex& get_terminator();
// add and replace: "\r\n"
const boost::regex& storage_terminator();
// delete: "\r\n"
const boost::regex& delete_terminator();

// Tells a timed read when a reply is complete and how much to ask for next.
class reply_condition {
public:
    // 0 when data[0, size) holds a complete reply, otherwise the number of
    // bytes worth reading next (a hint: fewer may arrive).
    virtual std::size_t more_wanted(const char* data, std::size_t size) const = 0;

protected:
    ~reply_condition() = default;
};

// Complete once the terminator matches anywhere in what has arrived.
class terminator_condition final : public reply_condition {
public:
    explicit terminator_condition(const boost::regex& terminator) noexcept
        : terminator_(terminator) {}
    std::size_t more_wanted(const char* data, std::size_t size) const override;

private:
    const boost::regex& terminator_;
};

// Complete once find_get_reply_end finds the end of the reply.
class get_reply_condition final : public reply_condition {
public:
    std::size_t more_wanted(const char* data, std::size_t size) const override;
};

// How far the bytes received for a get go towards a whole reply.
enum class reply_shape {
    incomplete,  // a prefix of a well-formed reply: more bytes are due
    complete,    // VALUE blocks with all their data, then END; or an error line
    broken,      // cannot be the start of a well-formed reply
};

struct reply_scan {
    reply_shape shape = reply_shape::incomplete;
    std::size_t length = 0;  // complete: bytes up to the end of the reply
    std::size_t missing = 0; // incomplete inside a data block: bytes still due for it
};

// Walks the VALUE blocks by their declared lengths, so data holding "END\r\n"
// or CR LF is never taken for the end of the reply.
reply_scan scan_get_reply(const char* data, std::size_t size);

// Bytes up to the end of a get reply, or 0 while more must be read. A
// well-formed reply ends after its END line once every block has its bytes;
// an error line ends at its CR LF; anything else ends where the get
// terminator first matches.
std::size_t find_get_reply_end(const char* data, std::size_t size);

// The reply text up to and including its last line feed (a trailing piece
// without one is left out).
std::string collect_reply(const char* data, std::size_t size);
std::string collect_reply(const boost::asio::streambuf& reply);

// Parses `text` with the get reply grammar: zero or more VALUE blocks, then
// END CR LF (bytes after it are ignored). False when the grammar rejects it.
bool parse_get_response(const std::string& text, std::list<value_block>& blocks);

// Parses a collected get reply and hands every block's data to the handler of
// its key, then stores its cas in *cas. False when the grammar rejects the
// text or it holds no block. A block for a key without a handler raises
// boost::bad_function_call.
bool parse_get_reply(const std::string& text, value_handlers& handlers, std::uint64_t* cas);

// What a get reply that parse_get_reply refused means, by its first word.
enum class reply_class {
    miss,         // "END": no value for the key
    error_reply,  // "ERROR", "CLIENT_ERROR" or "SERVER_ERROR"
    other,        // anything else, nothing at all included
};

reply_class classify_get_reply(const std::string& text);

}  // namespace detail
}  // namespace memcache

#endif
