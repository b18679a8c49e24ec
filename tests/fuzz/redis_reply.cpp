// The Redis client's reply reader: hiredis's reader behind the client's own
// bounds. The first byte chooses how the rest is split; the rest is the
// stream. Fed in those pieces, or a byte at a time, the reader must come to
// the same outcome as when the bytes it took are fed in one piece. A reply
// it accepts must be the one hiredis's own reply objects make of the same
// bytes, and within the bounds; and while it waits for more, hiredis must
// not have a whole reply either, or the client would wait for nothing.
// Read as a pipeline, reply after reply with one reader, each reply must be
// the one a reader of its own comes to from where the previous one ended.

#include "targets.hpp"

#include <bench/clients/detail/redis_reply.hpp>

#include <hiredis/hiredis.h>

#include <string>

namespace kvfuzz {

namespace {

using reader_type = bench::detail::redis_reply_reader;

struct outcome {
    reader_type::progress state;
    reader_type::kind type;
    long long integer = 0;
    std::string value;
    std::string error_text;
    std::size_t taken = 0;
};

bool same(const outcome& a, const outcome& b) {
    return a.state == b.state && a.type == b.type && a.integer == b.integer &&
           a.value == b.value && a.error_text == b.error_text && a.taken == b.taken;
}

// Feeds `stream` in pieces of the sizes `next_piece` gives (0: the rest in
// one piece) until the reader stops taking them.
template <typename Pieces>
outcome feed(const char* stream, std::size_t size, Pieces next_piece) {
    reader_type reader;
    outcome out;
    reader.start(&out.value);
    while (out.taken < size && reader.state() == reader_type::progress::incomplete) {
        std::size_t piece = next_piece();
        if (piece == 0 || piece > size - out.taken) piece = size - out.taken;
        reader.feed(stream + out.taken, piece);
        out.taken += piece;
    }
    out.state = reader.state();
    out.type = reader.type();
    out.integer = reader.integer();
    out.error_text = reader.error_text();
    return out;
}

outcome feed_whole(const char* stream, std::size_t size) {
    return feed(stream, size, [] { return std::size_t(0); });
}

// hiredis with its own reply objects, on the same bytes.
void check_with_hiredis(const char* stream, std::size_t size, const outcome& read) {
    redisReader* reader = redisReaderCreate();
    require(reader != nullptr, "hiredis could not make a reader");
    redisReaderFeed(reader, stream, size);
    void* object = nullptr;
    const int status = redisReaderGetReply(reader, &object);
    const auto* reply = static_cast<const redisReply*>(object);
    if (read.state == reader_type::progress::incomplete) {
        require(status == REDIS_OK && reply == nullptr,
                "the reader waits for more while hiredis has come to an end");
    } else if (read.state == reader_type::progress::whole) {
        require(status == REDIS_OK && reply != nullptr, "a reply that hiredis does not see");
        using kind = reader_type::kind;
        switch (reply->type) {
        case REDIS_REPLY_STRING:
            require(read.type == kind::string && read.value == std::string(reply->str, reply->len),
                    "a bulk string other than hiredis's");
            require(read.value.size() <= reader_type::max_bulk_bytes, "a bulk string too long");
            break;
        case REDIS_REPLY_STATUS: require(read.type == kind::status, "not a status"); break;
        case REDIS_REPLY_ERROR:
            require(read.type == kind::error &&
                        read.error_text == std::string(reply->str, reply->len),
                    "an error text other than hiredis's");
            require(read.error_text.size() <= reader_type::max_line_bytes, "an error line too long");
            break;
        case REDIS_REPLY_INTEGER:
            require(read.type == kind::integer && read.integer == reply->integer,
                    "an integer other than hiredis's");
            break;
        case REDIS_REPLY_NIL: require(read.type == kind::nil, "not a nil"); break;
        default: require(false, "a reply of a type the reader refuses"); break;
        }
    }
    if (reply != nullptr) freeReplyObject(object);
    redisReaderFree(reader);
}

// The stream as replies to pipelined commands: one reader takes reply after
// reply with feed_reply() in the pieces `next_piece` gives, and must come to
// what a reader of its own comes to byte by byte on the rest of the stream.
template <typename Pieces>
void check_pipelined(const char* stream, std::size_t size, Pieces next_piece) {
    reader_type reader;
    std::size_t at = 0;
    for (int reply = 0; at < size && reply < 64; ++reply) {
        const outcome own = feed(stream + at, size - at, [] { return std::size_t(1); });
        outcome piped;
        reader.start(&piped.value);
        while (piped.taken < size - at && reader.state() == reader_type::progress::incomplete) {
            std::size_t piece = next_piece(), used = 0;
            if (piece == 0 || piece > size - at - piped.taken) piece = size - at - piped.taken;
            reader.feed_reply(stream + at + piped.taken, piece, used);
            require(used <= piece, "the reader took more than it was given");
            piped.taken += used;
        }
        piped.state = reader.state();
        if (own.state == reader_type::progress::failed) {
            require(piped.state == own.state, "pipelined, the reader took a reply that fails");
            return;
        }
        piped.type = reader.type();
        piped.integer = reader.integer();
        // An error's text stays until the next error.
        if (piped.type == reader_type::kind::error) piped.error_text = reader.error_text();
        require(same(piped, own), "pipelined, the reader came to another reply");
        if (own.state != reader_type::progress::whole) return;
        at += own.taken;
    }
}

}  // namespace

int redis_reply(const std::uint8_t* bytes, std::size_t size) {
    if (size < 1) return 0;
    unsigned seed = bytes[0] | 1u;
    const char* stream = reinterpret_cast<const char*>(bytes + 1);
    const std::size_t length = size - 1;

    const outcome whole = feed_whole(stream, length);
    const outcome pieces = feed(stream, length, [&seed] {
        seed = seed * 1103515245u + 12345u;  // the C library's example generator
        return std::size_t(1 + (seed >> 17) % 16);
    });
    const outcome bytewise = feed(stream, length, [] { return std::size_t(1); });
    require(same(pieces, feed_whole(stream, pieces.taken)),
            "fed in pieces, the reader came to another outcome");
    require(same(bytewise, feed_whole(stream, bytewise.taken)),
            "fed byte by byte, the reader came to another outcome");
    // Byte by byte, the reader stops where the reply ends: in one piece, any
    // byte past it fails the reply.
    if (bytewise.state == reader_type::progress::whole)
        require(whole.state == (bytewise.taken == length ? reader_type::progress::whole
                                                         : reader_type::progress::failed),
                "bytes past the reply went unnoticed");
    check_with_hiredis(stream, bytewise.taken, bytewise);
    // Pieces of up to 16 bytes, or all the rest at once.
    check_pipelined(stream, length, [&seed] {
        seed = seed * 1103515245u + 12345u;
        return std::size_t((seed >> 17) % 17);
    });
    return 0;
}

}  // namespace kvfuzz
