#ifndef BENCH_CLIENTS_DETAIL_REDIS_REPLY_HPP
#define BENCH_CLIENTS_DETAIL_REDIS_REPLY_HPP

#include <cstddef>
#include <cstdint>
#include <string>

struct redisReader;
struct redisReadTask;

namespace bench::detail {

// Reads one Redis reply at a time from the bytes of a connection, with
// hiredis's reader and reply functions of its own: the reply's type, its
// integer and an error's text are kept here, and a bulk string's bytes are
// copied straight into the string the caller named. Once its buffers have
// grown to the size of the replies, reading a reply allocates nothing (the
// reader keeps its buffer however large it grew).
//
// The bytes are checked as they come, before hiredis sees them, so that a
// hostile or broken server cannot make the client hold more than the bounds
// below: a reply fails when its first line (a status, an error, an integer,
// a bulk length) grows past max_line_bytes without its end, when it
// announces a bulk string over max_bulk_bytes or a length hiredis would
// refuse, when it is an array (none of the commands the client sends is
// answered with one) or of no type at all, and, fed with feed(), when bytes
// follow it: with one command outstanding at a time they mean that the
// stream is out of step. With several commands in flight, feed_reply()
// takes the bytes up to the reply's end and leaves the rest for the next
// reply; hiredis only ever sees the bytes of the reply begun.
class redis_reply_reader {
public:
    enum class progress {
        incomplete,  // more bytes are needed
        whole,       // the reply is complete (with feed(), the bytes ended with it)
        failed,      // see the class comment; for good
    };
    enum class kind { none, status, error, integer, string, nil };

    // The longest first line accepted, after its type byte and before its
    // CR LF. Redis' own lines are far shorter.
    static constexpr std::size_t max_line_bytes = 64 * 1024;
    // The longest bulk string accepted: Redis' default proto-max-bulk-len,
    // the longest value a server with default settings stores at all.
    static constexpr std::uint64_t max_bulk_bytes = 512ULL * 1024 * 1024;

    // Throws std::bad_alloc when hiredis cannot make its reader.
    redis_reply_reader();
    ~redis_reply_reader();
    redis_reply_reader(const redis_reply_reader&) = delete;
    redis_reply_reader& operator=(const redis_reply_reader&) = delete;

    // Begins the next reply. A bulk string's bytes replace the content of
    // *value (a reused string keeps its capacity); they are dropped when
    // value is null.
    void start(std::string* value) noexcept;

    // Takes the next bytes of the stream.
    progress feed(const char* bytes, std::size_t size) noexcept;
    // Takes the next bytes of the stream up to the end of the reply, and
    // sets `used` to how many it took: the bytes past the reply are left
    // for the next one, which start() begins. Takes nothing once the reply
    // is whole or has failed.
    progress feed_reply(const char* bytes, std::size_t size, std::size_t& used) noexcept;
    // Names another string for the bulk string of the reply begun, in place
    // of the one start() named; it is written only once the reply is whole.
    void redirect(std::string* value) noexcept { value_ = value; }

    progress state() const noexcept { return state_; }
    // What the whole reply is.
    kind type() const noexcept { return type_; }
    long long integer() const noexcept { return integer_; }
    // An error reply's text (without its '-').
    const std::string& error_text() const noexcept { return error_text_; }
    // Why the reply failed ("a bulk string over 512 MiB", ...), once it has.
    const char* failure() const noexcept { return failure_; }

private:
    // How the length of a bulk string reads so far.
    enum class length_form { empty, minus, minus_one, zero, digits, refused };

    // Takes bytes of the first line, up to its end; says why when they pass
    // the bounds or hiredis would refuse the line, else null.
    const char* take_head(const char* bytes, std::size_t size) noexcept;
    // Takes the bytes of the reply among the next `size`, and sets `used`
    // to their count; when `trailing_fails`, bytes past the reply fail it
    // before hiredis sees any of them.
    progress take(const char* bytes, std::size_t size, std::size_t& used,
                  bool trailing_fails) noexcept;
    progress fail(const char* reason) noexcept {
        failure_ = reason;
        return state_ = progress::failed;
    }

    // hiredis's reply functions; their private data is this reader.
    static void* create_string(const redisReadTask* task, char* text, std::size_t length) noexcept;
    static void* create_array(const redisReadTask* task, int elements) noexcept;
    static void* create_integer(const redisReadTask* task, long long value) noexcept;
    static void* create_nil(const redisReadTask* task) noexcept;
    static void free_object(void* reply) noexcept;

    redisReader* reader_;
    progress state_ = progress::incomplete;
    kind type_ = kind::none;
    long long integer_ = 0;
    std::string error_text_;
    std::string* value_ = nullptr;  // where a bulk string goes
    const char* failure_ = "";     // why it failed

    // The first line as it arrives.
    char type_byte_ = 0;            // 0 until it came
    std::size_t line_bytes_ = 0;    // after the type byte, its CR included
    bool after_cr_ = false;         // the last byte of the line was a CR
    bool head_done_ = false;        // the line's LF came
    length_form length_form_ = length_form::empty;
    std::uint64_t bulk_length_ = 0;
    std::uint64_t taken_ = 0;       // bytes of the reply taken so far
    std::uint64_t size_ = 0;        // the whole reply's, once head_done_
};

}  // namespace bench::detail

#endif
