// The servers a connection set reaches and its connections to them: the
// daemon alone, every server of a memcached pool in the order of the memcache
// library's key hash, or every master of a Redis Cluster by its slot map,
// met again where MOVED and ASK send a step.

#include "connection_set_impl.hpp"

#include "../clients/stream_connect.hpp"

#include <bench/detail/wait.hpp>
#include <bench/interrupt.hpp>

#include <memcache/client.hpp>

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

using namespace pipeline_detail;

namespace {

// The servers of a run, in the order the steps' routing counts them: the
// daemon alone, or a memcached pool's servers in the order of the memcache
// library's key hashing (by name, as its client registers them). A Redis
// Cluster's masters come from its slot map instead.
std::vector<endpoint> servers_of(const run_settings& settings) {
    if (settings.clients.servers.empty() || settings.clients.redis_cluster)
        return {settings.daemon};
    if (settings.protocol != protocol_type::memcached)
        throw std::logic_error("only a memcached pool spreads pipelined steps over servers");
    // Registered as the memcached client registers them, under the names
    // its hashing orders them by.
    memcache::client pool;
    std::vector<std::string> names;
    for (const endpoint& where : settings.clients.servers) {
        if (where.is_unix_socket()) {
            pool.add_local_server(where.path());
            names.push_back(memcache::client::local_server_name(where.path()));
        } else {
            const std::string host = where.tcp().address().to_string();
            const std::string port = boost::lexical_cast<std::string>(where.tcp().port());
            pool.add_server(host, port);
            names.push_back(memcache::client::server_name(host, port));
        }
    }
    std::vector<endpoint> ordered;
    for (const auto& entry : pool.servers()) {
        const auto named = std::find(names.begin(), names.end(), entry.first);
        ordered.push_back(settings.clients.servers[static_cast<std::size_t>(named - names.begin())]);
    }
    return ordered;
}

// Sends the login on a connected blocking socket and waits for its answer,
// all by `deadline`; throws with the codec's message when it is refused.
void log_in(int fd, pipeline_codec& codec, const redis_credentials& login,
            clock::time_point deadline) {
    std::string request;
    codec.write(request_kind::auth, login.user, login.password, request);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category());
        sent += static_cast<std::size_t>(n);
    }
    char input[512];
    bool hit = false;
    std::string unused;
    while (!codec.take(request_kind::auth, {}, hit, unused)) {
        pollfd ready{fd, POLLIN, 0};
        // In slices, so that a stop request is seen within one.
        const auto wait = detail::milliseconds_left(deadline, tick);
        if (wait.count() == 0) throw std::system_error(ETIMEDOUT, std::generic_category());
        if (interrupt_requested()) throw interrupted_error();
        const int waited = ::poll(&ready, 1, static_cast<int>(wait.count()));
        if (waited < 0 && errno == EINTR) continue;
        if (waited < 0) throw std::system_error(errno, std::generic_category());
        if (waited == 0) continue;
        const ssize_t n = ::recv(fd, input, sizeof input, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category());
        if (n == 0) throw std::runtime_error("connection closed by the server");
        codec.feed(input, static_cast<std::size_t>(n));
    }
}

}  // namespace

connection_set::impl::impl(const run_settings& settings)
    : protocol(settings.protocol),
      cluster(settings.clients.redis_cluster && settings.protocol == protocol_type::redis),
      options(settings.clients),
      connections(settings.connections),
      depth(settings.pipeline),
      login(settings.clients.redis_login),
      terms(terms_of(settings.protocol)),
      io(1),
      ticker(io),
      waker(io) {
    if (cluster) {
        seeds = settings.clients.servers.empty() ? std::vector<endpoint>{settings.daemon}
                                                 : settings.clients.servers;
        owner.resize(redis_cluster_client::slot_count);
        read_map();
        counts.emplace();
        return;
    }
    for (const endpoint& daemon : servers_of(settings)) add_server(daemon);
}

std::size_t connection_set::impl::add_server(const endpoint& where) {
    server& s = servers.emplace_back();
    s.where = where;
    s.first = links.size();
    s.count = connections;
    const std::size_t index = servers.size() - 1;
    links.reserve(links.size() + connections);
    touched.reserve(links.size() + connections);
    for (std::uint32_t i = 0; i < connections; ++i) {
        links.push_back(std::make_unique<link>(io));
        link& l = *links.back();
        l.server = index;
        l.codec = codec_of(protocol, cluster);
        l.input.resize(read_size);
        l.ring.resize(depth);
        connect(l);
    }
    return index;
}

std::size_t connection_set::impl::server_at(const endpoint& where) {
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (servers[i].where == where) return i;
    }
    return add_server(where);
}

void connection_set::impl::read_map() {
    // The servers first, then the nodes met since.
    std::vector<endpoint> sources = seeds;
    for (const server& known : servers) {
        if (std::find(sources.begin(), sources.end(), known.where) == sources.end())
            sources.push_back(known.where);
    }
    for (const redis_slot_range& range :
         read_redis_cluster_map(sources, options, terms.limit, terms.limit)) {
        const auto master = static_cast<std::uint16_t>(server_at(range.master));
        for (long long slot = range.first; slot <= range.last; ++slot)
            owner[static_cast<std::size_t>(slot)] = master;
    }
}

void connection_set::impl::redirect(const link& l, slot& s, std::string_view reply) {
    // A read-modify-write's set is redirected as its get was: the step goes
    // again once, where the first said.
    if (s.redirected) return;
    bool moved = false;
    endpoint where;
    if (!parse_redis_redirection(reply, servers[l.server].where, moved, where))
        throw std::runtime_error(std::string(reply));
    if (s.redirections == max_redirections)
        throw std::runtime_error("more than " + std::to_string(max_redirections) +
                                 " redirections");
    s.redirected = true;
    s.ask = !moved;
    s.to = server_at(where);
    if (!moved) {
        ++counts->ask;
        return;
    }
    ++counts->moved;
    // The map is likely stale, unless an earlier step's MOVED read it
    // already; the node that answered is right about this slot either way.
    const std::uint16_t slot = redis_cluster_slot(reply_key);
    if (owner[slot] != s.to) {
        try {
            read_map();
        } catch (const interrupted_error&) {
            throw;
        } catch (const std::runtime_error&) {
        }
        owner[slot] = static_cast<std::uint16_t>(s.to);
    }
}

const server& connection_set::impl::server_of(const link& l) const noexcept {
    return servers[l.server];
}

void connection_set::impl::connect(link& l) {
    const endpoint& daemon = server_of(l).where;
    const clock::time_point deadline = clock::now() + terms.limit;
    int fd = -1;
    try {
        fd = connect_stream_socket(daemon, deadline);
        l.codec->reset();
        if (login) log_in(fd, *l.codec, *login, deadline);
        const asio::generic::stream_protocol kind =
            daemon.is_unix_socket()
                ? asio::generic::stream_protocol(AF_UNIX, 0)
                : asio::generic::stream_protocol(daemon.tcp().protocol().family(), IPPROTO_TCP);
        l.socket.assign(kind, fd);
        fd = -1;
        l.socket.non_blocking(true);
    } catch (const interrupted_error&) {
        if (fd >= 0) ::close(fd);
        throw;
    } catch (const std::system_error& error) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string("Cannot connect to ") + terms.server + " " +
                                 endpoint_text(daemon) + ": " + error.code().message());
    } catch (const std::exception&) {
        if (fd >= 0) ::close(fd);
        throw;
    }
}

}  // namespace bench
