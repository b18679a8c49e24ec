#ifndef BENCH_CLIENTS_LOCAL_CLIENT_HPP
#define BENCH_CLIENTS_LOCAL_CLIENT_HPP

#include <bench/client.hpp>

#include <mutex>
#include <string>
#include <unordered_map>

namespace bench {

// An in-process hash map: measures the benchmark itself, without a server.
class local_client final : public client {
public:
    local_client();

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

    void set(const std::string& key, const std::string& value) override;
    bool try_get(const std::string& key, std::string& value) override;
    bool try_update(const std::string& key, const std::string& value) override;
    bool try_remove(const std::string& key) override;

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> entries_;
};

}  // namespace bench

#endif
