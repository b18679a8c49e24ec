#include <support/redis_cluster.hpp>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <unistd.h>

namespace kvtest {

namespace {

// redis-cli as found on PATH (run_process takes a path).
const std::string& redis_cli() {
    static const std::string path = [] {
        const char* variable = std::getenv("PATH");
        std::istringstream dirs(variable ? variable : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');) {
            const std::string candidate = (dir.empty() ? "." : dir) + "/redis-cli";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        return std::string("redis-cli");
    }();
    return path;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace

redis_cluster::redis_cluster(std::size_t masters, std::string password)
    : password_(std::move(password)) {
    for (std::size_t i = 0; i < masters; ++i) {
        std::vector<std::string> args = {"--cluster-enabled", "yes", "--cluster-config-file",
                                         dir_.path() + "/nodes-" + std::to_string(i) + ".conf",
                                         "--dir", dir_.path(), "--cluster-node-timeout", "5000"};
        if (!password_.empty())
            args.insert(args.end(), {"--requirepass", password_, "--masterauth", password_});
        nodes_.emplace_back(server_process::redis(args));
    }
    std::vector<std::string> create = {"--cluster", "create"};
    if (!password_.empty()) create.insert(create.begin(), {"-a", password_, "--no-auth-warning"});
    for (std::size_t i = 0; i < masters; ++i) create.push_back(endpoint(i));
    create.push_back("--cluster-yes");
    const process_result created = run_process(redis_cli(), create, {},
                                               std::chrono::milliseconds(60000));
    if (created.exit_status != 0)
        throw std::runtime_error("redis-cli --cluster create failed: " + created.out +
                                 created.err);
    const bool ok = eventually(
        [&] {
            for (std::size_t i = 0; i < masters; ++i) {
                if (cli(i, {"CLUSTER", "INFO"}).find("cluster_state:ok") == std::string::npos)
                    return false;
            }
            return true;
        },
        std::chrono::milliseconds(30000));
    if (!ok) throw std::runtime_error("the redis cluster did not reach cluster_state:ok");
}

std::string redis_cluster::cli(std::size_t node, const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"-h", "127.0.0.1", "-p", std::to_string(port(node))};
    if (!password_.empty()) all.insert(all.end(), {"-a", password_, "--no-auth-warning"});
    all.insert(all.end(), args.begin(), args.end());
    const process_result result = run_process(redis_cli(), all, {},
                                              std::chrono::milliseconds(20000));
    if (result.exit_status != 0)
        throw std::runtime_error("redis-cli failed: " + result.out + result.err);
    return result.out;
}

std::string redis_cluster::node_id(std::size_t node) const {
    return trimmed(cli(node, {"CLUSTER", "MYID"}));
}

long long redis_cluster::dbsize(std::size_t node) const {
    return std::stoll(cli(node, {"DBSIZE"}));
}

void redis_cluster::begin_move(int slot, std::size_t from, std::size_t to) const {
    const std::string text = std::to_string(slot);
    cli(to, {"CLUSTER", "SETSLOT", text, "IMPORTING", node_id(from)});
    cli(from, {"CLUSTER", "SETSLOT", text, "MIGRATING", node_id(to)});
}

void redis_cluster::migrate_keys(int slot, std::size_t from, std::size_t to,
                                 std::size_t count) const {
    std::istringstream lines(
        cli(from, {"CLUSTER", "GETKEYSINSLOT", std::to_string(slot), std::to_string(count)}));
    std::vector<std::string> migrate = {"MIGRATE", "127.0.0.1", std::to_string(port(to)), "",
                                        "0", "5000", "KEYS"};
    const std::size_t fixed = migrate.size();
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        if (!line.empty()) migrate.push_back(line);
    }
    if (migrate.size() == fixed) return;
    const std::string reply = trimmed(cli(from, migrate));
    if (reply != "OK") throw std::runtime_error("MIGRATE failed: " + reply);
}

void redis_cluster::finish_move(int slot, std::size_t to) const {
    const std::string id = node_id(to);
    // The new owner first, so that it never forgets the slot it took.
    cli(to, {"CLUSTER", "SETSLOT", std::to_string(slot), "NODE", id});
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (i != to && nodes_[i]) cli(i, {"CLUSTER", "SETSLOT", std::to_string(slot), "NODE", id});
    }
}

}  // namespace kvtest
