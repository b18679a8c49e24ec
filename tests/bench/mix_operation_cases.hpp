#ifndef KVTEST_MIX_OPERATION_CASES_HPP
#define KVTEST_MIX_OPERATION_CASES_HPP

// The hit and the miss of each operation a mix test uses (set, try_get,
// try_update, try_remove), as one table any bench::client runs: each case
// on a key the client has stored and on one it has not, then what each key
// holds afterwards.

#include <bench/client.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

// Keys begin with `prefix`, which keeps the cases of one test apart from
// other tests' on a shared server. No key or value holds a NUL byte, which
// some stores' libraries cannot carry in a key, and no key holds a space,
// which memcached's text protocol cannot.
inline void check_mix_operations(bench::client& client, const std::string& prefix) {
    // Longer than a string's own small buffer, so that a read has to grow
    // the reused value once; the new content is shorter, so it shrinks.
    const std::string old_content(40, 'o');
    const std::string new_content = "new content with spaces";
    struct mix_case {
        const char* name;
        bool on_stored_key;
        std::function<bool(bench::client&, const std::string& key, std::string& read)> call;
        bool result;                          // what the call returns (set: always true)
        std::optional<std::string> read;      // what try_get read, if it was the call
        std::optional<std::string> content;   // the key's content afterwards; none: absent
    };
    const std::vector<mix_case> cases = {
        {"set/stored", true, [&](bench::client& c, const std::string& k, std::string&) {
             c.set(k, new_content);
             return true;
         }, true, std::nullopt, new_content},
        {"set/missing", false, [&](bench::client& c, const std::string& k, std::string&) {
             c.set(k, new_content);
             return true;
         }, true, std::nullopt, new_content},
        {"try_get/stored", true, [](bench::client& c, const std::string& k, std::string& read) {
             return c.try_get(k, read);
         }, true, old_content, old_content},
        {"try_get/missing", false, [](bench::client& c, const std::string& k, std::string& read) {
             return c.try_get(k, read);
         }, false, std::nullopt, std::nullopt},
        {"try_update/stored", true, [&](bench::client& c, const std::string& k, std::string&) {
             return c.try_update(k, new_content);
         }, true, std::nullopt, new_content},
        {"try_update/missing", false, [&](bench::client& c, const std::string& k, std::string&) {
             return c.try_update(k, new_content);
         }, false, std::nullopt, std::nullopt},
        {"try_remove/stored", true, [](bench::client& c, const std::string& k, std::string&) {
             return c.try_remove(k);
         }, true, std::nullopt, std::nullopt},
        {"try_remove/missing", false, [](bench::client& c, const std::string& k, std::string&) {
             return c.try_remove(k);
         }, false, std::nullopt, std::nullopt},
    };
    std::string reused;  // one buffer for every read, as a mix keeps it
    for (const mix_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key = prefix + "/" + c.name;
        if (c.on_stored_key) client.put(key, old_content);
        std::string read = "stale";
        EXPECT_EQ(c.call(client, key, read), c.result);
        if (c.read) {
            EXPECT_EQ(read, *c.read);
        }
        const bool present = client.try_get(key, reused);
        EXPECT_EQ(present, c.content.has_value());
        if (present && c.content) {
            EXPECT_EQ(reused, *c.content);
        }
    }
}

}  // namespace kvtest

#endif
