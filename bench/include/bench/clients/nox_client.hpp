#ifndef BENCH_CLIENTS_NOX_CLIENT_HPP
#define BENCH_CLIENTS_NOX_CLIENT_HPP

#include <bench/client.hpp>

struct nox_handle;  // libnox_api's opaque connection handle

namespace bench {

struct thread_context;

// Client of the nox store through its library libnox_api: one handle, and so
// one connection, per client. Every failed library call throws
// std::runtime_error with a message naming the operation.
class nox_client final : public client {
public:
    // Opens a handle, connects it to the context's daemon and sets a 10 s
    // time limit; throws (and releases the handle) when one of them fails.
    explicit nox_client(const thread_context& context);
    ~nox_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    // Reads into a buffer of exactly expected_size bytes: a longer content
    // fails, a shorter one leaves value holding just that content.
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

private:
    void release() noexcept;

    nox_handle* handle = nullptr;  // owned; null until nox_open made it
};

}  // namespace bench

#endif
