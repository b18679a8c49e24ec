#include <bench/clients/memcached_client.hpp>

#include <memcache/commands.hpp>

#include <boost/lexical_cast.hpp>

namespace bench {

namespace {

// Time limit of one connect attempt to the daemon.
constexpr std::uint64_t connect_limit_ms = 500;

}  // namespace

memcached_client::memcached_client(const endpoint& daemon)
    : memcached_client(daemon, client_options{}) {}

memcached_client::memcached_client(const endpoint& daemon, const client_options& options)
    : client("memcached") {
    const auto add = [this](const endpoint& server) {
        if (server.is_unix_socket()) {
            store_.add_local_server(server.path());
        } else {
            store_.add_server(server.tcp().address().to_string(),
                              boost::lexical_cast<std::string>(server.tcp().port()));
        }
    };
    if (options.servers.empty()) {
        add(daemon);
    } else {
        for (const endpoint& server : options.servers) add(server);
    }
    store_.connect(connect_limit_ms);
}

memcached_client::~memcached_client() = default;

void memcached_client::put(const std::string& key, const std::string& value) {
    memcache::add_command(key, value, 0, 0)(store_);
}

void memcached_client::update(const std::string& key, const std::string& value) {
    memcache::replace_command(key, value, 0, 0)(store_);
}

void memcached_client::remove(const std::string& key) {
    memcache::delete_command{key}(store_);
}

void memcached_client::get(const std::string& key, std::string& value, std::size_t) {
    memcache::get_command(key, &value)(store_);
}

void memcached_client::set(const std::string& key, const std::string& value) {
    memcache::set_command(key, value, 0, 0)(store_);
}

bool memcached_client::try_get(const std::string& key, std::string& value) {
    return memcache::get_command(key, &value).try_apply(store_);
}

bool memcached_client::try_update(const std::string& key, const std::string& value) {
    return memcache::replace_command(key, value, 0, 0).try_apply(store_);
}

bool memcached_client::try_remove(const std::string& key) {
    return memcache::delete_command{key}.try_apply(store_);
}

}  // namespace bench
