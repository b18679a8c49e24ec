#include <bench/pipeline/codec.hpp>

#include <memcache/exceptions.hpp>
#include <memcache/pipeline.hpp>

#include <stdexcept>

namespace bench {

namespace {

// memcached's text protocol through the memcache library's pipeline: update
// is replace, remove is delete, and failures carry the library's messages,
// as the blocking memcached client's operations raise them ("Key not found:
// k (reply line longer than 64 KiB)", "Invalid response found for key:
// SERVER_ERROR ...").
class memcached_codec final : public pipeline_codec {
public:
    void write(request_kind kind, std::string_view key, std::string_view value,
               std::string& out) override {
        try {
            switch (kind) {
            case request_kind::get: memcache::pipeline::get(key, out); return;
            case request_kind::set: memcache::pipeline::set(key, value, out); return;
            case request_kind::update: memcache::pipeline::replace(key, value, out); return;
            case request_kind::remove: memcache::pipeline::remove(key, out); return;
            case request_kind::auth:
            case request_kind::asking: break;
            }
        } catch (const memcache::exception& failure) {
            throw std::runtime_error(failure.what());
        }
        throw std::logic_error("memcached has no login");
    }

    void feed(const char* data, std::size_t size) override { replies_.feed(data, size); }

    bool take(request_kind kind, std::string_view key, bool& hit, std::string& value) override {
        using reply = memcache::pipeline::reply;
        reply taken = reply::pending;
        try {
            switch (kind) {
            case request_kind::get: taken = replies_.take_get(key, value); break;
            case request_kind::set: taken = replies_.take_set(key); break;
            case request_kind::update: taken = replies_.take_replace(key); break;
            case request_kind::remove: taken = replies_.take_remove(key); break;
            case request_kind::auth:
            case request_kind::asking: throw std::logic_error("memcached has no login");
            }
        } catch (const memcache::exception& failure) {
            throw std::runtime_error(failure.what());
        }
        if (taken == reply::pending) return false;
        hit = taken == reply::hit;
        return true;
    }

    void reset() override { replies_.reset(); }

private:
    memcache::pipeline replies_;
};

}  // namespace

std::unique_ptr<pipeline_codec> make_memcached_codec() {
    return std::make_unique<memcached_codec>();
}

}  // namespace bench
