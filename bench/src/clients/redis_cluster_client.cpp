#include <bench/clients/redis_cluster_client.hpp>

#include <bench/interrupt.hpp>

#include "stream_connect.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::array<std::uint16_t, 256> crc16_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[byte] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> crc16_bytes = crc16_table();

// The most redirections one operation follows before it fails: a slot
// moves from one node to one other, so a few are plenty.
constexpr int max_redirections = 16;

#ifdef MSG_NOSIGNAL
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;
#endif

// A socket closed when the scope ends.
struct owned_socket {
    int fd;
    ~owned_socket() { ::close(fd); }
};

// A reply made by hiredis's own reader functions, freed when the scope ends.
struct reply_deleter {
    void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using owned_reply = std::unique_ptr<redisReply, reply_deleter>;

void append_command(std::string& out, std::initializer_list<std::string_view> words) {
    out += '*' + std::to_string(words.size()) + "\r\n";
    for (const std::string_view word : words) {
        out += '$' + std::to_string(word.size()) + "\r\n";
        out.append(word.data(), word.size());
        out += "\r\n";
    }
}

// The endpoint of a node as CLUSTER SLOTS or a redirection names it: an
// address (IPv6 without brackets) or a host name, and a port. An empty host
// is the one of `asked`, the node that gave the answer.
endpoint node_endpoint(std::string_view host, std::string_view port, const endpoint& asked) {
    std::string text;
    if (host.empty() || host == "?") {
        if (asked.is_unix_socket()) throw std::runtime_error("a node without an address");
        text = endpoint_text(endpoint(asked.tcp().address(), 0));
        text.resize(text.rfind(':') + 1);
    } else if (host.find(':') != std::string_view::npos) {
        text.append("[").append(host).append("]:");
    } else {
        text.append(host).append(":");
    }
    text.append(port);
    auto [where, error] = parse_endpoint(text);
    if (error) throw std::runtime_error("a node at " + text + ": " + error.message());
    return where;
}

// Sends AUTH (with a login) and CLUSTER SLOTS to the node at `where` over a
// connection of its own and returns the ranges. This is no operation of the
// benchmark: hiredis's reader builds the reply, allocations and all. Throws
// std::runtime_error with the reason.
std::vector<redis_slot_range> read_slot_map(const endpoint& where, const client_options& options,
                                      std::chrono::milliseconds connect_limit,
                                      std::chrono::milliseconds operation_limit) {
    int fd = -1;
    try {
        fd = connect_stream_socket(where, clock_type::now() + connect_limit);
    } catch (const interrupted_error&) {
        throw;
    } catch (const std::system_error& error) {
        throw std::runtime_error(error.code().message());
    }
    const owned_socket socket{fd};
    const auto us = std::max<long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(operation_limit).count(), 1000);
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(us / 1000000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us % 1000000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#if !defined(MSG_NOSIGNAL)
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif

    std::string request;
    int replies = 1;
    if (const auto& login = options.redis_login) {
        if (login->user.empty())
            append_command(request, {"AUTH", login->password});
        else
            append_command(request, {"AUTH", login->user, login->password});
        ++replies;
    }
    append_command(request, {"CLUSTER", "SLOTS"});
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, send_flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }

    const std::unique_ptr<redisReader, void (*)(redisReader*)> reader(redisReaderCreate(),
                                                                      &redisReaderFree);
    if (!reader) throw std::bad_alloc();
    const auto deadline = clock_type::now() + operation_limit;
    owned_reply reply;
    char input[16 * 1024];
    while (replies > 0) {
        void* next = nullptr;
        if (redisReaderGetReply(reader.get(), &next) != REDIS_OK)
            throw std::runtime_error("a reply that breaks the protocol");
        if (next != nullptr) {
            reply.reset(static_cast<redisReply*>(next));
            if (--replies > 0 && reply->type == REDIS_REPLY_ERROR)
                throw std::runtime_error("redis authentication failed: " +
                                         std::string(reply->str, reply->len));
            continue;
        }
        if (clock_type::now() >= deadline) throw std::runtime_error("no reply in time");
        const ssize_t got = ::recv(fd, input, sizeof input, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) throw std::runtime_error("connection closed");
        if (got < 0) throw std::runtime_error(std::strerror(errno));
        if (redisReaderFeed(reader.get(), input, static_cast<std::size_t>(got)) != REDIS_OK)
            throw std::runtime_error("a reply that breaks the protocol");
    }

    if (reply->type == REDIS_REPLY_ERROR)
        throw std::runtime_error(std::string(reply->str, reply->len));
    const auto malformed = [] { return std::runtime_error("a malformed CLUSTER SLOTS reply"); };
    if (reply->type != REDIS_REPLY_ARRAY) throw malformed();
    std::vector<redis_slot_range> ranges;
    for (std::size_t i = 0; i < reply->elements; ++i) {
        const redisReply& range = *reply->element[i];
        if (range.type != REDIS_REPLY_ARRAY || range.elements < 3 ||
            range.element[0]->type != REDIS_REPLY_INTEGER ||
            range.element[1]->type != REDIS_REPLY_INTEGER)
            throw malformed();
        const redisReply& master = *range.element[2];
        if (master.type != REDIS_REPLY_ARRAY || master.elements < 2 ||
            master.element[0]->type != REDIS_REPLY_STRING ||
            master.element[1]->type != REDIS_REPLY_INTEGER)
            throw malformed();
        const long long first = range.element[0]->integer;
        const long long last = range.element[1]->integer;
        if (first < 0 || last < first ||
            last >= static_cast<long long>(redis_cluster_client::slot_count))
            throw malformed();
        const std::string port = std::to_string(master.element[1]->integer);
        ranges.push_back({first, last,
                          node_endpoint({master.element[0]->str, master.element[0]->len}, port,
                                        where)});
    }
    return ranges;
}

}  // namespace

std::vector<redis_slot_range> read_redis_cluster_map(const std::vector<endpoint>& sources,
                                       const client_options& options,
                                       std::chrono::milliseconds connect_limit,
                                       std::chrono::milliseconds operation_limit) {
    std::string reasons;
    for (const endpoint& source : sources) {
        std::vector<redis_slot_range> ranges;
        try {
            ranges = read_slot_map(source, options, connect_limit, operation_limit);
        } catch (const interrupted_error&) {
            throw;
        } catch (const std::runtime_error& error) {
            reasons += (reasons.empty() ? "" : "; ") + endpoint_text(source) + ": " + error.what();
            continue;
        }
        std::vector<bool> covered(redis_cluster_client::slot_count);
        for (const redis_slot_range& range : ranges) {
            for (long long slot = range.first; slot <= range.last; ++slot)
                covered[static_cast<std::size_t>(slot)] = true;
        }
        if (std::find(covered.begin(), covered.end(), false) == covered.end()) return ranges;
        reasons += (reasons.empty() ? "" : "; ") + endpoint_text(source) +
                   ": not every slot is served";
    }
    throw std::runtime_error("Cannot connect to redis cluster: " + reasons);
}

namespace {

// A redirection a node answered with: "MOVED 3999 127.0.0.1:6381" or
// "ASK 3999 127.0.0.1:6381".
struct redirection {
    bool moved;
    std::string_view host;
    std::string_view port;
};

bool parse_redirection(std::string_view text, redirection& out) {
    if (text.rfind("MOVED ", 0) == 0) {
        out.moved = true;
        text.remove_prefix(6);
    } else if (text.rfind("ASK ", 0) == 0) {
        out.moved = false;
        text.remove_prefix(4);
    } else {
        return false;
    }
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) return false;
    text.remove_prefix(space + 1);
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size()) return false;
    out.host = text.substr(0, colon);
    out.port = text.substr(colon + 1);
    return true;
}

}  // namespace

bool parse_redis_redirection(std::string_view error, const endpoint& asked, bool& moved,
                             endpoint& where) {
    redirection found{};
    if (!parse_redirection(error, found)) return false;
    where = node_endpoint(found.host, found.port, asked);
    moved = found.moved;
    return true;
}

std::uint16_t crc16_xmodem(std::string_view bytes) noexcept {
    unsigned crc = 0;
    for (const char c : bytes)
        crc = ((crc << 8) ^ crc16_bytes[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xff]) &
              0xffff;
    return static_cast<std::uint16_t>(crc);
}

std::uint16_t redis_cluster_slot(std::string_view key) noexcept {
    const std::size_t open = key.find('{');
    if (open != std::string_view::npos) {
        const std::size_t close = key.find('}', open + 1);
        // "{}" is no tag: the whole key is hashed.
        if (close != std::string_view::npos && close != open + 1)
            key = key.substr(open + 1, close - open - 1);
    }
    return static_cast<std::uint16_t>(crc16_xmodem(key) % redis_cluster_client::slot_count);
}

redis_cluster_client::redis_cluster_client(const endpoint& daemon, const client_options& options,
                                           std::chrono::milliseconds connect_limit,
                                           std::chrono::milliseconds operation_limit)
    : client("redis"),
      options_(options),
      connect_limit_(connect_limit),
      operation_limit_(operation_limit),
      seeds_(options.servers.empty() ? std::vector<endpoint>{daemon} : options.servers) {
    refresh_map();
    std::vector<bool> connected(nodes_.size());
    for (const std::uint16_t owner : owner_) {
        if (connected[owner]) continue;
        connected[owner] = true;
        nodes_[owner].connection = std::make_unique<redis_client>(
            nodes_[owner].where, options_, connect_limit_, operation_limit_);
    }
}

redis_cluster_client::~redis_cluster_client() = default;

std::size_t redis_cluster_client::node_at(const endpoint& where) {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].where == where) return i;
    }
    nodes_.push_back({where, nullptr});
    return nodes_.size() - 1;
}

void redis_cluster_client::refresh_map() {
    // The servers first, then the nodes met since.
    std::vector<endpoint> sources = seeds_;
    for (const node& known : nodes_) {
        if (std::find(sources.begin(), sources.end(), known.where) == sources.end())
            sources.push_back(known.where);
    }
    const std::vector<redis_slot_range> ranges =
        read_redis_cluster_map(sources, options_, connect_limit_, operation_limit_);
    for (const redis_slot_range& range : ranges) {
        const auto master = static_cast<std::uint16_t>(node_at(range.master));
        for (long long slot = range.first; slot <= range.last; ++slot)
            owner_[static_cast<std::size_t>(slot)] = master;
    }
}

std::size_t count_redis_cluster_masters(const endpoint& daemon, const client_options& options) {
    const std::vector<redis_slot_range> ranges =
        read_redis_cluster_map(options.servers.empty() ? std::vector<endpoint>{daemon} : options.servers,
                       options, redis_client::default_limit, redis_client::default_limit);
    std::vector<endpoint> masters;
    for (const redis_slot_range& range : ranges) {
        if (std::find(masters.begin(), masters.end(), range.master) == masters.end())
            masters.push_back(range.master);
    }
    return masters.size();
}

redis_client& redis_cluster_client::connection_of(std::size_t index, const char* failure) {
    node& target = nodes_[index];
    if (target.connection && target.connection->connected()) return *target.connection;
    // Not made yet, or broken by its last operation: made again.
    target.connection.reset();
    try {
        target.connection = std::make_unique<redis_client>(target.where, options_, connect_limit_,
                                                           operation_limit_);
    } catch (const interrupted_error&) {
        throw;
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(std::string(failure) + ": " + error.what());
    }
    return *target.connection;
}

template <class Operation>
auto redis_cluster_client::route(const std::string& key, const char* failure,
                                 Operation&& operation) {
    const std::uint16_t slot = redis_cluster_slot(key);
    std::size_t target = owner_[slot];
    bool asking = false;
    for (int redirected = 0;; ++redirected) {
        redis_client& connection = connection_of(target, failure);
        try {
            if (asking) connection.asking(failure);
            return operation(connection);
        } catch (const std::runtime_error&) {
            if (!connection.connected())
                throw std::runtime_error(std::string(failure) + ": no reply from redis node " +
                                         endpoint_text(nodes_[target].where));
            const std::string* error = connection.error_reply();
            redirection next{};
            if (error == nullptr || !parse_redirection(*error, next)) throw;
            if (redirected == max_redirections)
                throw std::runtime_error(std::string(failure) + ": more than " +
                                         std::to_string(max_redirections) + " redirections");
            const endpoint where = node_endpoint(next.host, next.port, nodes_[target].where);
            if (next.moved) {
                ++redirections_.moved;
                // The whole map is likely stale; the node that answered
                // MOVED is right about this slot whatever the map says.
                try {
                    refresh_map();
                } catch (const interrupted_error&) {
                    throw;
                } catch (const std::runtime_error&) {
                }
                target = node_at(where);
                owner_[slot] = static_cast<std::uint16_t>(target);
                asking = false;
            } else {
                ++redirections_.ask;
                target = node_at(where);
                asking = true;
            }
        }
    }
}

void redis_cluster_client::put(const std::string& key, const std::string& value) {
    route(key, "could not put entry", [&](redis_client& master) { master.put(key, value); });
}

void redis_cluster_client::update(const std::string& key, const std::string& value) {
    route(key, "could not update entry", [&](redis_client& master) { master.update(key, value); });
}

void redis_cluster_client::remove(const std::string& key) {
    route(key, "could not delete entry", [&](redis_client& master) { master.remove(key); });
}

void redis_cluster_client::get(const std::string& key, std::string& value,
                               std::size_t expected_size) {
    route(key, "could not get entry",
          [&](redis_client& master) { master.get(key, value, expected_size); });
}

void redis_cluster_client::set(const std::string& key, const std::string& value) {
    route(key, "could not set entry", [&](redis_client& master) { master.set(key, value); });
}

bool redis_cluster_client::try_get(const std::string& key, std::string& value) {
    return route(key, "could not get entry",
                 [&](redis_client& master) { return master.try_get(key, value); });
}

bool redis_cluster_client::try_update(const std::string& key, const std::string& value) {
    return route(key, "could not update entry",
                 [&](redis_client& master) { return master.try_update(key, value); });
}

bool redis_cluster_client::try_remove(const std::string& key) {
    return route(key, "could not delete entry",
                 [&](redis_client& master) { return master.try_remove(key); });
}

std::size_t redis_cluster_client::masters() const {
    std::size_t count = 0;
    std::vector<bool> seen(nodes_.size());
    for (const std::uint16_t owner : owner_) {
        if (!seen[owner]) {
            seen[owner] = true;
            ++count;
        }
    }
    return count;
}

const endpoint& redis_cluster_client::master_of(std::uint16_t slot) const noexcept {
    return nodes_[owner_[slot % slot_count]].where;
}

}  // namespace bench
