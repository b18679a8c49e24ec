#ifndef NOX_API_RESP_READER_HPP
#define NOX_API_RESP_READER_HPP

// Incremental reader of one RESP2 reply, independent of any socket: bytes are
// fed in whatever pieces they arrive in, and the reader says when the reply
// is complete. It allocates nothing. A bulk string's payload goes straight
// into a buffer the caller names before the reply starts; what does not fit
// is counted and dropped, so the stream stays in step either way.
//
// Replies understood: simple strings (+), errors (-), integers (:) and bulk
// strings ($, with $-1 as nil). Arrays and anything else are protocol
// errors: the requests this library sends never get one.

#include <cstddef>
#include <cstdint>

namespace nox_api::detail {

enum class reply_type {
    none,     // nothing parsed yet
    status,   // +text
    error,    // -text
    integer,  // :number
    bulk,     // $length, then length bytes
    nil       // $-1
};

struct reply {
    static constexpr std::size_t text_capacity = 64;

    reply_type type = reply_type::none;
    std::int64_t integer = 0;        // value of an integer reply
    std::uint64_t length = 0;        // payload length of a bulk reply, fitting or not
    std::size_t stored = 0;          // payload bytes written to the sink (<= its capacity)
    char text[text_capacity] = {};   // start of a status or error line, NUL-terminated
    std::size_t text_length = 0;     // bytes kept in text (longer lines are cut)

    bool fits() const noexcept { return length == stored; }
};

class resp_reader {
public:
    enum class progress { incomplete, complete, failed };

    // Starts a new reply whose bulk payload, if any, goes to sink (up to
    // capacity bytes; sink may be null when capacity is 0).
    void start(char* sink, std::size_t capacity) noexcept;

    // Consumes bytes of the reply and returns how many it took. It stops at
    // the end of the reply (the rest of the bytes are not part of it) and
    // takes nothing once the reply is complete or has failed.
    std::size_t feed(const char* data, std::size_t size) noexcept;

    // While the reader is inside a bulk payload that still has room in the
    // sink: where the next payload bytes go and how many of them may be
    // written there directly (0 otherwise). After writing n <= room bytes
    // there, call payload_written(n). This lets a large payload be read from
    // the socket into the sink without passing through another buffer.
    char* payload_window(std::size_t& room) noexcept;
    void payload_written(std::size_t n) noexcept;

    progress state() const noexcept { return progress_; }
    const reply& result() const noexcept { return reply_; }
    // What was wrong when state() is failed, as a short text.
    const char* failure() const noexcept { return failure_; }

private:
    enum class step { type, line, payload, payload_cr, payload_lf, line_lf, done };

    std::size_t fail(const char* why, std::size_t consumed) noexcept;
    bool line_byte(char c) noexcept;  // false when the byte is invalid
    bool finish_line() noexcept;      // false when the line is invalid

    step step_ = step::done;
    progress progress_ = progress::incomplete;
    const char* failure_ = nullptr;
    reply reply_;
    char* sink_ = nullptr;
    std::size_t capacity_ = 0;
    std::uint64_t remaining_ = 0;  // payload bytes still to come
    // Number being read from an integer or bulk-length line.
    std::uint64_t magnitude_ = 0;
    bool negative_ = false;
    std::size_t digits_ = 0;
    bool overflow_ = false;
};

}  // namespace nox_api::detail

#endif
