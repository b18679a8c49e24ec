#include "resp_reader.hpp"

#include <cstring>

namespace nox_api::detail {

namespace {

constexpr std::uint64_t int64_max = 9223372036854775807ULL;

std::size_t smaller(std::uint64_t a, std::size_t b) noexcept {
    return a < b ? static_cast<std::size_t>(a) : b;
}

}  // namespace

void resp_reader::start(char* sink, std::size_t capacity) noexcept {
    step_ = step::type;
    progress_ = progress::incomplete;
    failure_ = nullptr;
    reply_ = reply{};
    sink_ = sink;
    capacity_ = sink ? capacity : 0;
    remaining_ = 0;
    magnitude_ = 0;
    negative_ = false;
    digits_ = 0;
    overflow_ = false;
}

std::size_t resp_reader::fail(const char* why, std::size_t consumed) noexcept {
    progress_ = progress::failed;
    failure_ = why;
    step_ = step::done;
    return consumed;
}

bool resp_reader::line_byte(char c) noexcept {
    switch (reply_.type) {
    case reply_type::status:
    case reply_type::error:
        if (reply_.text_length + 1 < reply::text_capacity) {
            reply_.text[reply_.text_length++] = c;
        }
        return true;
    default:  // integer or bulk length
        if (c == '-' && digits_ == 0 && !negative_) {
            negative_ = true;
            return true;
        }
        if (c < '0' || c > '9') return false;
        {
            const auto digit = static_cast<std::uint64_t>(c - '0');
            const std::uint64_t limit = negative_ ? int64_max + 1 : int64_max;
            if (magnitude_ > (limit - digit) / 10) overflow_ = true;
            else magnitude_ = magnitude_ * 10 + digit;
        }
        ++digits_;
        return true;
    }
}

bool resp_reader::finish_line() noexcept {
    switch (reply_.type) {
    case reply_type::status:
    case reply_type::error:
        reply_.text[reply_.text_length] = '\0';
        step_ = step::done;
        progress_ = progress::complete;
        return true;
    default:
        break;
    }
    if (digits_ == 0) {
        failure_ = "number expected";
        return false;
    }
    if (overflow_) {
        failure_ = "number out of range";
        return false;
    }
    const std::int64_t value =
        negative_ ? (magnitude_ == int64_max + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude_))
                  : static_cast<std::int64_t>(magnitude_);
    if (reply_.type == reply_type::integer) {
        reply_.integer = value;
        step_ = step::done;
        progress_ = progress::complete;
        return true;
    }
    // Bulk length.
    if (value == -1) {
        reply_.type = reply_type::nil;
        step_ = step::done;
        progress_ = progress::complete;
        return true;
    }
    if (value < 0) {
        failure_ = "invalid bulk length";
        return false;
    }
    reply_.length = static_cast<std::uint64_t>(value);
    remaining_ = reply_.length;
    step_ = remaining_ == 0 ? step::payload_cr : step::payload;
    return true;
}

std::size_t resp_reader::feed(const char* data, std::size_t size) noexcept {
    std::size_t i = 0;
    while (i < size) {
        switch (step_) {
        case step::done:
            return i;
        case step::type:
            switch (data[i]) {
            case '+': reply_.type = reply_type::status; break;
            case '-': reply_.type = reply_type::error; break;
            case ':': reply_.type = reply_type::integer; break;
            case '$': reply_.type = reply_type::bulk; break;
            default: return fail("unexpected reply type", i);
            }
            ++i;
            step_ = step::line;
            break;
        case step::line: {
            // Take the line's bytes up to its CR in one sweep.
            const char* begin = data + i;
            const char* end = data + size;
            const char* cr = static_cast<const char*>(std::memchr(begin, '\r', size - i));
            const char* stop = cr ? cr : end;
            for (const char* p = begin; p != stop; ++p) {
                if (*p == '\n') return fail("line feed inside a line", i + (p - begin));
                if (!line_byte(*p)) return fail("invalid number", i + (p - begin));
            }
            i = static_cast<std::size_t>(stop - data);
            if (cr) {
                ++i;
                step_ = step::line_lf;
            }
            break;
        }
        case step::line_lf:
            if (data[i] != '\n') return fail("carriage return without line feed", i);
            ++i;
            if (!finish_line()) return fail(failure_, i);
            if (progress_ == progress::complete) return i;
            break;
        case step::payload: {
            const std::size_t available = smaller(remaining_, size - i);
            const std::size_t copied = smaller(available, capacity_ - reply_.stored);
            if (copied > 0) {
                std::memcpy(sink_ + reply_.stored, data + i, copied);
                reply_.stored += copied;
            }
            remaining_ -= available;
            i += available;
            if (remaining_ == 0) step_ = step::payload_cr;
            break;
        }
        case step::payload_cr:
            if (data[i] != '\r') return fail("bulk string longer than its length", i);
            ++i;
            step_ = step::payload_lf;
            break;
        case step::payload_lf:
            if (data[i] != '\n') return fail("carriage return without line feed", i);
            ++i;
            step_ = step::done;
            progress_ = progress::complete;
            return i;
        }
    }
    return i;
}

char* resp_reader::payload_window(std::size_t& room) noexcept {
    room = 0;
    if (step_ != step::payload) return nullptr;
    const std::size_t free_space = capacity_ - reply_.stored;
    room = smaller(remaining_, free_space);
    return room > 0 ? sink_ + reply_.stored : nullptr;
}

void resp_reader::payload_written(std::size_t n) noexcept {
    reply_.stored += n;
    remaining_ -= n;
    if (remaining_ == 0) step_ = step::payload_cr;
}

}  // namespace nox_api::detail
