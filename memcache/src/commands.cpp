#include <memcache/commands.hpp>

#include "exchange.hpp"
#include "protocol.hpp"

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>
#include <memcache/policies.hpp>

#include <string_view>

namespace memcache {

namespace {

using string_policy = policies::string_preserve_impl<policies::tags::default_tag>;
using detail::line_end;

boost::asio::const_buffer piece(std::string_view bytes) {
    return boost::asio::const_buffer(bytes.data(), bytes.size());
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
        switch (detail::read_get_reply(text, key_, value_)) {
        case detail::get_outcome::hit: return true;
        case detail::get_outcome::miss: return false;
        case detail::get_outcome::malformed: break;
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

    static constexpr std::string_view verb_ = detail::get_verb;
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
        const std::size_t head = put_storage_head(head_, verb_, key_, flags_, exptime_, data_.size());
        return {piece(std::string_view(head_, head)), piece(data_), piece(line_end)};
    }

    [[noreturn]] void fail(std::string_view cause) const override {
        throw key_not_stored(std::string(key_), cause);
    }

    bool take(std::string_view received, client&, connection&) override {
        return read_store_reply(received, key_);
    }

private:
    std::string_view verb_;
    std::string_view key_;
    std::string_view data_;
    std::uint32_t flags_;
    std::uint64_t exptime_;
    char head_[storage_head_size];
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
        return detail::read_delete_reply(received, key_);
    }

private:
    static constexpr std::string_view verb_ = detail::delete_verb;
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
