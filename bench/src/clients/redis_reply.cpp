#include <bench/clients/detail/redis_reply.hpp>

#include <hiredis/read.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <string>

namespace bench::detail {

namespace {

constexpr const char* past_reply = "bytes past the reply";
constexpr const char* refused_by_hiredis = "a reply that breaks the protocol";

}  // namespace

redis_reply_reader::redis_reply_reader() {
    static redisReplyObjectFunctions functions = {create_string, create_array, create_integer,
                                                  create_nil, free_object};
    reader_ = redisReaderCreateWithFunctions(&functions);
    if (reader_ == nullptr) throw std::bad_alloc();
    // The buffer is kept whatever its size, rather than made again for
    // every reply once it has grown past 16 KiB.
    reader_->maxbuf = 0;
    // What redisReaderSetPrivdata sets (its cast of the pointer to int does
    // not compile as C++): the reply functions' way back to this reader.
    reader_->privdata = this;
}

redis_reply_reader::~redis_reply_reader() { redisReaderFree(reader_); }

void redis_reply_reader::start(std::string* value) noexcept {
    if (state_ == progress::failed) return;
    state_ = progress::incomplete;
    type_ = kind::none;
    integer_ = 0;
    value_ = value;
    type_byte_ = 0;
    line_bytes_ = 0;
    after_cr_ = false;
    head_done_ = false;
    length_form_ = length_form::empty;
    bulk_length_ = 0;
    taken_ = 0;
    size_ = 0;
}

const char* redis_reply_reader::take_head(const char* bytes, std::size_t size) noexcept {
    constexpr const char* bad_length = "a malformed bulk length";
    std::size_t at = 0;
    if (type_byte_ == 0) {
        switch (bytes[0]) {
        case '+':
        case '-':
        case ':':
        case '$': break;
        case '*': return "an array reply";  // none of the commands is answered with one
        default: return "a byte that begins no reply";
        }
        type_byte_ = bytes[at++];
    }
    const bool bulk = type_byte_ == '$';
    for (; at < size; ++at) {
        const char c = bytes[at];
        if (after_cr_) {
            if (c == '\n') {
                head_done_ = true;
                ++at;
                break;
            }
            if (bulk) return bad_length;  // a CR inside the length
        }
        after_cr_ = c == '\r';
        if (++line_bytes_ > max_line_bytes + 1) return "a reply line over 64 KiB";
        if (!bulk || after_cr_) continue;
        // The length as hiredis takes it: -1 (nil), 0, or digits without a
        // leading zero.
        const bool digit = c >= '0' && c <= '9';
        switch (length_form_) {
        case length_form::empty:
            if (c == '-') {
                length_form_ = length_form::minus;
            } else if (c == '0') {
                length_form_ = length_form::zero;
            } else if (digit) {
                length_form_ = length_form::digits;
                bulk_length_ = static_cast<std::uint64_t>(c - '0');
            } else {
                return bad_length;
            }
            break;
        case length_form::minus:
            if (c != '1') return bad_length;
            length_form_ = length_form::minus_one;
            break;
        case length_form::digits:
            if (!digit) return bad_length;
            bulk_length_ = bulk_length_ * 10 + static_cast<std::uint64_t>(c - '0');
            if (bulk_length_ > max_bulk_bytes) return "a bulk string over 512 MiB";
            break;
        default: return bad_length;  // more after -1 or 0
        }
    }
    if (!head_done_) return nullptr;
    // The type byte, the line with its CR, the LF; a bulk string's bytes and
    // their CR LF.
    size_ = 1 + line_bytes_ + 1;
    if (!bulk) return nullptr;
    switch (length_form_) {
    case length_form::minus_one: return nullptr;
    case length_form::zero:
    case length_form::digits: size_ += bulk_length_ + 2; return nullptr;
    default: return bad_length;  // no length, or a lone minus
    }
}

redis_reply_reader::progress redis_reply_reader::feed(const char* bytes,
                                                      std::size_t size) noexcept {
    if (size == 0 || state_ == progress::failed) return state_;
    if (state_ == progress::whole) return fail(past_reply);
    std::size_t used = 0;
    return take(bytes, size, used, true);
}

redis_reply_reader::progress redis_reply_reader::feed_reply(const char* bytes, std::size_t size,
                                                            std::size_t& used) noexcept {
    used = 0;
    if (size == 0 || state_ != progress::incomplete) return state_;
    return take(bytes, size, used, false);
}

redis_reply_reader::progress redis_reply_reader::take(const char* bytes, std::size_t size,
                                                      std::size_t& used,
                                                      bool trailing_fails) noexcept {
    if (!head_done_) {
        if (const char* reason = take_head(bytes, size)) return fail(reason);
    }
    // Once the first line is whole, the reply's size is known: the bytes
    // past it belong to the next reply.
    std::size_t length = size;
    if (head_done_ && taken_ + size > size_) {
        if (trailing_fails) return fail(past_reply);
        length = static_cast<std::size_t>(size_ - taken_);
    }
    taken_ += length;
    used = length;
    if (redisReaderFeed(reader_, bytes, length) != REDIS_OK) return fail(refused_by_hiredis);
    if (!head_done_ || taken_ < size_) return state_;
    // All of the reply is there: hiredis must come to it too.
    void* reply = nullptr;
    if (redisReaderGetReply(reader_, &reply) != REDIS_OK || reply == nullptr)
        return fail(refused_by_hiredis);
    return state_ = progress::whole;
}

void* redis_reply_reader::create_string(const redisReadTask* task, char* text,
                                        std::size_t length) noexcept {
    auto& self = *static_cast<redis_reply_reader*>(task->privdata);
    try {
        switch (task->type) {
        case REDIS_REPLY_STRING:
            self.type_ = kind::string;
            if (self.value_ != nullptr) self.value_->assign(text, length);
            break;
        case REDIS_REPLY_STATUS: self.type_ = kind::status; break;
        case REDIS_REPLY_ERROR:
            self.type_ = kind::error;
            self.error_text_.assign(text, length);
            break;
        default: return nullptr;
        }
    } catch (...) {
        return nullptr;  // out of memory, for the reader as for the caller
    }
    return &self;
}

void* redis_reply_reader::create_array(const redisReadTask*, int) noexcept {
    return nullptr;  // refused before hiredis sees one
}

void* redis_reply_reader::create_integer(const redisReadTask* task, long long value) noexcept {
    auto& self = *static_cast<redis_reply_reader*>(task->privdata);
    self.type_ = kind::integer;
    self.integer_ = value;
    return &self;
}

void* redis_reply_reader::create_nil(const redisReadTask* task) noexcept {
    auto& self = *static_cast<redis_reply_reader*>(task->privdata);
    self.type_ = kind::nil;
    return &self;
}

void redis_reply_reader::free_object(void*) noexcept {}  // the reply is the reader's own

}  // namespace bench::detail
