#include <memcache/commands.hpp>

#include <memcache/client.hpp>
#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>
#include <memcache/policies.hpp>

#include <boost/archive/archive_exception.hpp>
#include <boost/thread/lock_guard.hpp>

#include <charconv>
#include <string_view>

namespace memcache {

using boost::asio::ip::tcp;

namespace {

// How long a command waits for its reply once the request is written.
constexpr std::uint64_t reply_limit_ms = 500;

using string_policy = policies::string_preserve_impl<policies::tags::default_tag>;

void append_number(std::string& text, std::uint64_t number) {
    char digits[20];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    text.append(digits, written.ptr);
}

// The first line of a reply, up to but not including its line feed.
std::string_view first_line(const boost::asio::streambuf& reply) {
    const auto bytes = reply.data();
    const std::string_view text(static_cast<const char*>(bytes.data()), bytes.size());
    return text.substr(0, text.find('\n'));
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

get_command::get_command(std::string key, std::string* value)
    : key_(std::move(key)), value_(value) {}

void get_command::operator()(client& target) const {
    const std::uint64_t index = target.server_index(key_);
    boost::lock_guard<boost::mutex> lock(target.mutex());
    client::validate_key(key_);
    connection& server = target.select_server(index);

    std::string request;
    request.reserve(key_.size() + 6);
    request.append("get ").append(key_).append("\r\n");

    const std::shared_ptr<tcp::socket> socket = server.socket;
    boost::asio::streambuf reply;
    try {
        client::write_request(*socket, request);
        target.read_until_with_timeout(*socket, reply, detail::get_reply_end, reply_limit_ms);
    } catch (const boost::system::system_error&) {
        target.mark_down(server);
        throw key_not_found(key_);
    }

    const auto received = reply.data();
    const std::string_view text =
        detail::collect_reply(static_cast<const char*>(received.data()), received.size());
    std::uint64_t cas = 0;
    try {
        if (detail::parse_get_reply(text, key_, detail::string_deserializer(value_), &cas)) return;
    } catch (const boost::archive::archive_exception&) {
        throw malformed_data(request + std::string(text));
    }
    switch (detail::classify_get_reply(text)) {
    case detail::reply_class::miss: throw key_not_found(key_);
    case detail::reply_class::error_reply: throw invalid_response_found(std::string(text));
    case detail::reply_class::other: break;
    }
    // A whole reply that breaks the protocol: where the next reply starts on
    // this stream is unknown, so the connection is not used again.
    target.mark_down(server);
    throw malformed_data(request + std::string(text));
}

namespace detail {

storage_command::storage_command(std::string key, std::string value, std::uint64_t exptime,
                                 std::uint32_t flags)
    : key_(std::move(key)), value_(std::move(value)), flags_(flags), exptime_(exptime) {}

void storage_command::store(client& target, const char* verb) const {
    const std::uint64_t index = target.server_index(key_);
    boost::lock_guard<boost::mutex> lock(target.mutex());
    client::validate_key(key_);
    connection& server = target.select_server(index);

    const std::string_view data = string_policy::serialize(value_);
    std::string head;
    head.reserve(key_.size() + 64);
    head.append(verb).append(" ").append(key_).push_back(' ');
    append_number(head, flags_ & 0xFFFFu);
    head.push_back(' ');
    append_number(head, exptime_);
    head.push_back(' ');
    append_number(head, data.size());
    head.append("\r\n");

    const std::shared_ptr<tcp::socket> socket = server.socket;
    boost::asio::streambuf reply;
    try {
        client::write_request(*socket, head, data);
        target.read_until_with_timeout(*socket, reply, detail::line_reply_end, reply_limit_ms);
    } catch (const boost::system::system_error&) {
        target.mark_down(server);
        throw key_not_stored(key_);
    }
    if (first_line(reply) != "STORED\r") throw key_not_stored(key_);
}

}  // namespace detail

add_command::add_command(std::string key, std::string value, std::uint64_t exptime,
                         std::uint32_t flags)
    : storage_command(std::move(key), std::move(value), exptime, flags) {}

void add_command::operator()(client& target) const { store(target, "add"); }

replace_command::replace_command(std::string key, std::string value, std::uint64_t exptime,
                                 std::uint32_t flags)
    : storage_command(std::move(key), std::move(value), exptime, flags) {}

void replace_command::operator()(client& target) const { store(target, "replace"); }

delete_command::delete_command(std::string key) : key_(std::move(key)) {}

void delete_command::operator()(client& target) const {
    const std::uint64_t index = target.server_index(key_);
    boost::lock_guard<boost::mutex> lock(target.mutex());
    client::validate_key(key_);
    connection& server = target.select_server(index);

    std::string request;
    request.reserve(key_.size() + 11);
    request.append("delete ").append(key_).append(" 0\r\n");

    const std::shared_ptr<tcp::socket> socket = server.socket;
    boost::asio::streambuf reply;
    try {
        client::write_request(*socket, request);
        target.read_until_with_timeout(*socket, reply, detail::line_reply_end, reply_limit_ms);
    } catch (const boost::system::system_error&) {
        target.mark_down(server);
        throw key_not_found(key_);
    }
    std::string_view line = first_line(reply);
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    if (line != "DELETED") throw key_not_found(key_);
}

}  // namespace memcache
