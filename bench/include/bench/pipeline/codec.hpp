#ifndef BENCH_PIPELINE_CODEC_HPP
#define BENCH_PIPELINE_CODEC_HPP

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace bench {

// The requests a pipelined connection sends: a mix's operations (a
// read-modify-write is a get and a set written back to back), and the login
// a Redis connection may need before them.
enum class request_kind : unsigned char {
    get,     // the entry's value; a miss when there is none
    set,     // writes the entry whether it exists or not
    update,  // overwrites an existing entry; a miss when there is none
    remove,  // deletes the entry; a miss when there is none
    auth,    // the login (Redis AUTH): its value is the password, its key the user or empty
    asking,  // Redis Cluster ASKING: the next request is for a slot being imported
};

// The wire side of one connection that keeps several requests in flight:
// requests are appended to an outgoing buffer, and the replies are taken
// from the received bytes in the order of the requests. It owns no socket:
// the caller moves the bytes, so that one event loop can drive many
// connections.
//
// Once its buffers have grown to the size of the requests and replies,
// writing a request and taking a reply allocate nothing.
class pipeline_codec {
public:
    virtual ~pipeline_codec() = default;

    // Appends one request to `out`. Throws std::runtime_error for a key the
    // protocol cannot carry, with the reason.
    virtual void write(request_kind kind, std::string_view key, std::string_view value,
                       std::string& out) = 0;

    // Takes received bytes; they may hold any number of replies, and a reply
    // may be split between calls.
    virtual void feed(const char* data, std::size_t size) = 0;

    // Takes the reply to the oldest request not yet answered, which was of
    // `kind` for `key`, from the bytes fed so far: false while they do not
    // hold all of it. Once true, `hit` is false for the protocol's miss (a
    // get, update or remove of a missing entry) and true otherwise; a get
    // that hit has replaced the content of `value` (a reused string keeps its
    // capacity). Throws std::runtime_error, whose message says what went
    // wrong and quotes the server where it answered with an error, for an
    // error reply, for bytes that break the protocol, and for a reply past
    // the codec's limits; the connection can then no longer be used.
    virtual bool take(request_kind kind, std::string_view key, bool& hit, std::string& value) = 0;

    // Forgets every byte fed and any reply begun, for a connection made anew.
    virtual void reset() = 0;

    // After a take that returned true: the redirection the reply was (a
    // Redis Cluster's "MOVED 3999 127.0.0.1:6381" or "ASK ..."), when the
    // codec was made to follow them, and empty otherwise. The text lasts
    // until the next take.
    virtual std::string_view redirection() const noexcept { return {}; }
};

// The codec of each protocol that can pipeline. A Redis codec that follows
// redirections takes a MOVED or ASK error reply as a reply (a miss, with
// redirection() its text) rather than a failure.
std::unique_ptr<pipeline_codec> make_redis_codec(bool follow_redirections = false);
std::unique_ptr<pipeline_codec> make_memcached_codec();

}  // namespace bench

#endif
