#include <memcache/pipeline.hpp>

#include "protocol.hpp"

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>
#include <memcache/policies.hpp>

#include <boost/function/function_base.hpp>

#include <algorithm>
#include <cstring>

namespace memcache {

namespace {

using string_policy = policies::string_preserve_impl<policies::tags::default_tag>;

void append_keyed(std::string_view verb, std::string_view key, std::string& out) {
    client::validate_key(key);
    out.append(verb).append(key).append(detail::line_end);
}

void append_storage(std::string_view verb, std::string_view key, std::string_view value,
                    std::uint64_t exptime, std::uint32_t flags, std::string& out) {
    client::validate_key(key);
    const std::string_view data = string_policy::serialize(value);
    char head[detail::storage_head_size];
    out.append(head, detail::put_storage_head(head, verb, key, flags, exptime, data.size()));
    out.append(data).append(detail::line_end);
}

}  // namespace

void pipeline::get(std::string_view key, std::string& out) {
    append_keyed(detail::get_verb, key, out);
}

void pipeline::set(std::string_view key, std::string_view value, std::string& out,
                   std::uint64_t exptime, std::uint32_t flags) {
    append_storage("set", key, value, exptime, flags, out);
}

void pipeline::replace(std::string_view key, std::string_view value, std::string& out,
                       std::uint64_t exptime, std::uint32_t flags) {
    append_storage("replace", key, value, exptime, flags, out);
}

void pipeline::remove(std::string_view key, std::string& out) {
    append_keyed(detail::delete_verb, key, out);
}

void pipeline::feed(const char* data, std::size_t size) {
    if (size == 0) return;
    if (buffer_.size() - end_ < size && begin_ != 0) {
        // Move what is left of the replies to the front before growing.
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buffer_.size() - end_ < size) buffer_.resize(std::max(buffer_.size() * 2, end_ + size));
    std::memcpy(buffer_.data() + end_, data, size);
    end_ += size;
}

// The bytes stay where they are until the next feed, so views of a consumed
// reply remain valid while it is read.
void pipeline::consume(std::size_t length) noexcept {
    begin_ += length;
    if (begin_ == end_) begin_ = end_ = 0;
}

pipeline::reply pipeline::take_get(std::string_view key, std::string& value) {
    const std::string_view bytes = received();
    const detail::reply_end end = detail::get_reply_end(bytes.data(), bytes.size());
    if (end.refused != detail::reply_refusal::none)
        throw key_not_found(std::string(key), detail::refusal_text(end.refused));
    if (end.length == 0) return reply::pending;
    consume(end.length);
    const std::string_view text = detail::collect_reply(bytes.data(), end.length);
    try {
        switch (detail::read_get_reply(text, key, &value)) {
        case detail::get_outcome::hit: return reply::hit;
        case detail::get_outcome::miss: return reply::miss;
        case detail::get_outcome::malformed: break;
        }
    } catch (const boost::bad_function_call&) {
        // A block for another key: the replies are out of step with the requests.
    }
    std::string exchange(detail::get_verb);
    exchange.append(key).append(detail::line_end).append(text);
    throw malformed_data(exchange);
}

pipeline::reply pipeline::take_stored(std::string_view key, bool miss_allowed) {
    const std::string_view bytes = received();
    const detail::reply_end end = detail::line_reply_end(bytes.data(), bytes.size());
    if (end.refused != detail::reply_refusal::none)
        throw key_not_stored(std::string(key), detail::refusal_text(end.refused));
    if (end.length == 0) return reply::pending;
    consume(end.length);
    if (detail::read_store_reply(bytes.substr(0, end.length), key)) return reply::hit;
    if (!miss_allowed) throw key_not_stored(std::string(key));
    return reply::miss;
}

pipeline::reply pipeline::take_set(std::string_view key) { return take_stored(key, false); }

pipeline::reply pipeline::take_replace(std::string_view key) { return take_stored(key, true); }

pipeline::reply pipeline::take_remove(std::string_view key) {
    const std::string_view bytes = received();
    const detail::reply_end end = detail::line_reply_end(bytes.data(), bytes.size());
    if (end.refused != detail::reply_refusal::none)
        throw key_not_found(std::string(key), detail::refusal_text(end.refused));
    if (end.length == 0) return reply::pending;
    consume(end.length);
    return detail::read_delete_reply(bytes.substr(0, end.length), key) ? reply::hit : reply::miss;
}

}  // namespace memcache
