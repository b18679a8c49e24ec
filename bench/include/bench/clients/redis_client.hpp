#ifndef BENCH_CLIENTS_REDIS_CLIENT_HPP
#define BENCH_CLIENTS_REDIS_CLIENT_HPP

#include <bench/client.hpp>

namespace bench {

struct thread_context;

class redis_client final : public client {
public:
    explicit redis_client(const thread_context& context);
    ~redis_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;
};

}  // namespace bench

#endif
