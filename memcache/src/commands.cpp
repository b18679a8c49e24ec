#include <memcache/commands.hpp>

#include "exchange.hpp"

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>
#include <memcache/policies.hpp>

#include <boost/archive/archive_exception.hpp>

#include <charconv>
#include <initializer_list>
#include <string_view>

namespace memcache {

namespace {

using string_policy = policies::string_preserve_impl<policies::tags::default_tag>;
constexpr std::string_view line_end = "\r\n";

boost::asio::const_buffer piece(std::string_view bytes) {
    return boost::asio::const_buffer(bytes.data(), bytes.size());
}

// Writes the decimal digits of `number` at `out`; returns the end.
char* put_number(char* out, std::uint64_t number) {
    return std::to_chars(out, out + 20, number).ptr;
}

char* put_text(char* out, std::string_view text) {
    return std::copy(text.begin(), text.end(), out);
}

// The first line of a reply, up to but not including its line feed.
std::string_view first_line(std::string_view reply) { return reply.substr(0, reply.find('\n')); }

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view without_trailing_blanks(std::string_view line) {
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    return line;
}

// The cause a refused line reply adds to the command's message: nothing when
// the server refused by the command's own rule (one of `plain`, which the
// message already tells), else the server's line itself, so that an error
// reply (SERVER_ERROR object too large for cache, CLIENT_ERROR ...) or
// anything unexpected shows.
std::string_view refusal_cause(std::string_view line,
                               std::initializer_list<std::string_view> plain) {
    line = without_trailing_blanks(line);
    for (const std::string_view word : plain) {
        if (line == word) return {};
    }
    return line.empty() ? std::string_view("empty reply line") : line;
}

class get_exchange final : public detail::exchange {
public:
    get_exchange(std::string_view key, std::string* value) noexcept
        : exchange(detail::get_reply_end), key_(key), value_(value) {}

    request_pieces request() override { return {piece(verb_), piece(key_), piece(line_end)}; }

    [[noreturn]] void fail(std::string_view cause) const override {
        throw key_not_found(std::string(key_), cause);
    }

    bool take(std::string_view received, client& owner, connection& server) override {
        const std::string_view text = detail::collect_reply(received.data(), received.size());
        std::uint64_t cas = 0;
        try {
            if (detail::parse_get_reply(text, key_, detail::string_deserializer(value_), &cas))
                return true;
        } catch (const boost::archive::archive_exception&) {
            throw malformed_data(request_text() + std::string(text));
        }
        switch (detail::classify_get_reply(text)) {
        case detail::reply_class::miss: return false;
        case detail::reply_class::error_reply: throw invalid_response_found(std::string(text));
        case detail::reply_class::other: break;
        }
        // A whole reply that breaks the protocol: where the next reply starts
        // on this stream is unknown, so the connection is not used again.
        owner.mark_down(server);
        throw malformed_data(request_text() + std::string(text));
    }

private:
    std::string request_text() const {
        return std::string(verb_) + std::string(key_) + std::string(line_end);
    }

    static constexpr std::string_view verb_ = "get ";
    std::string_view key_;
    std::string* value_;
};

}  // namespace

get_command::get_command(std::string_view key, std::string* value) noexcept
    : key_(key), value_(value) {}

void get_command::operator()(client& target) const {
    if (!try_apply(target)) throw key_not_found(std::string(key_));
}

bool get_command::try_apply(client& target) const {
    get_exchange command(key_, value_);
    return target.exchange(key_, command);
}

namespace detail {

namespace {

class store_exchange final : public exchange {
public:
    store_exchange(std::string_view verb, std::string_view key, std::string_view data,
                   std::uint32_t flags, std::uint64_t exptime) noexcept
        : exchange(line_reply_end),
          verb_(verb),
          key_(key),
          data_(data),
          flags_(flags),
          exptime_(exptime) {}

    // "<verb> key flags exptime bytes" CR LF, then the data and CR LF.
    request_pieces request() override {
        char* out = put_text(head_, verb_);
        *out++ = ' ';
        out = put_text(out, key_);
        *out++ = ' ';
        out = put_number(out, flags_ & 0xFFFFu);
        *out++ = ' ';
        out = put_number(out, exptime_);
        *out++ = ' ';
        out = put_number(out, data_.size());
        out = put_text(out, line_end);
        return {piece(std::string_view(head_, static_cast<std::size_t>(out - head_))), piece(data_),
                piece(line_end)};
    }

    [[noreturn]] void fail(std::string_view cause) const override {
        throw key_not_stored(std::string(key_), cause);
    }

    bool take(std::string_view received, client&, connection&) override {
        const std::string_view line = first_line(received);
        if (line == "STORED\r") return true;
        if (without_trailing_blanks(line) == "NOT_STORED") return false;
        fail(refusal_cause(line, {"EXISTS", "NOT_FOUND"}));
    }

private:
    std::string_view verb_;
    std::string_view key_;
    std::string_view data_;
    std::uint32_t flags_;
    std::uint64_t exptime_;
    // The longest verb, a key of the longest length, three numbers of up to
    // 20 digits, the spaces and the CR LF.
    char head_[7 + 1 + client::max_key_length + 3 * (1 + 20) + 2];
};

}  // namespace

storage_command::storage_command(std::string_view key, std::string_view value,
                                 std::uint64_t exptime, std::uint32_t flags) noexcept
    : key_(key), value_(value), flags_(flags), exptime_(exptime) {}

bool storage_command::try_store(client& target, std::string_view verb) const {
    store_exchange command(verb, key_, string_policy::serialize(value_), flags_, exptime_);
    return target.exchange(key_, command);
}

void storage_command::store(client& target, std::string_view verb) const {
    if (!try_store(target, verb)) throw key_not_stored(std::string(key_));
}

}  // namespace detail

add_command::add_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                         std::uint32_t flags) noexcept
    : storage_command(key, value, exptime, flags) {}

void add_command::operator()(client& target) const { store(target, "add"); }

replace_command::replace_command(std::string_view key, std::string_view value,
                                 std::uint64_t exptime, std::uint32_t flags) noexcept
    : storage_command(key, value, exptime, flags) {}

void replace_command::operator()(client& target) const { store(target, "replace"); }

bool replace_command::try_apply(client& target) const { return try_store(target, "replace"); }

set_command::set_command(std::string_view key, std::string_view value, std::uint64_t exptime,
                         std::uint32_t flags) noexcept
    : storage_command(key, value, exptime, flags) {}

void set_command::operator()(client& target) const { store(target, "set"); }

namespace {

class delete_exchange final : public detail::exchange {
public:
    explicit delete_exchange(std::string_view key) noexcept
        : exchange(detail::line_reply_end), key_(key) {}

    request_pieces request() override {
        return {piece(verb_), piece(key_), piece(line_end)};
    }

    [[noreturn]] void fail(std::string_view cause) const override {
        throw key_not_found(std::string(key_), cause);
    }

    bool take(std::string_view received, client&, connection&) override {
        const std::string_view line = without_trailing_blanks(first_line(received));
        if (line == "DELETED") return true;
        if (line == "NOT_FOUND") return false;
        fail(refusal_cause(line, {}));
    }

private:
    static constexpr std::string_view verb_ = "delete ";
    std::string_view key_;
};

}  // namespace

delete_command::delete_command(std::string_view key) noexcept : key_(key) {}

void delete_command::operator()(client& target) const {
    if (!try_apply(target)) throw key_not_found(std::string(key_));
}

bool delete_command::try_apply(client& target) const {
    delete_exchange command(key_);
    return target.exchange(key_, command);
}

}  // namespace memcache
