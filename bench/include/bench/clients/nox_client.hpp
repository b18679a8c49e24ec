#ifndef BENCH_CLIENTS_NOX_CLIENT_HPP
#define BENCH_CLIENTS_NOX_CLIENT_HPP

#include <bench/client.hpp>
#include <bench/endpoint.hpp>

#include <memory>

struct nox_handle;  // libnox_api's opaque connection handle

namespace bench {

// Client of the nox store through its library libnox_api: one handle, and so
// one connection, per client. Every failed library call throws
// std::runtime_error with a message naming the operation, except that the
// try_ operations return false where the library reports the key missing
// (NOX_NOT_FOUND).
class nox_client final : public client {
public:
    // Opens a handle, connects it to the daemon within 10 s and sets a 10 s
    // time limit; throws (and closes the handle) when one of them fails. A
    // failed connect says where to and why ("cannot connect to remote host
    // 127.0.0.1:1: Connection refused"); a stop requested while the connect
    // is waited for throws interrupted_error. The library takes a host and a
    // port only: a UNIX socket is refused with "the nox protocol needs a
    // host:port endpoint".
    explicit nox_client(const endpoint& daemon);
    ~nox_client() override;

    void put(const std::string& key, const std::string& value) override;
    void update(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    // Reads into a buffer of exactly expected_size bytes: a longer content
    // fails, a shorter one leaves value holding just that content.
    void get(const std::string& key, std::string& value, std::size_t expected_size) override;

    // The library has no call that writes whether or not the key exists:
    // set updates, and puts when the update finds no entry. Writing an
    // existing key takes one round trip, writing a missing one two.
    void set(const std::string& key, const std::string& value) override;
    // Reads into the whole capacity of value. A content longer than that
    // makes value grow to it and costs one more round trip; a buffer reused
    // across calls grows to the longest content once.
    bool try_get(const std::string& key, std::string& value) override;
    bool try_update(const std::string& key, const std::string& value) override;
    bool try_remove(const std::string& key) override;

private:
    struct handle_release {
        void operator()(nox_handle* handle) const noexcept;
    };

    std::unique_ptr<nox_handle, handle_release> handle_;  // null until nox_open made it
};

}  // namespace bench

#endif
