// bench::local_client: the in-process map behind the "local" protocol.

#include <bench/clients/local_client.hpp>

#include "mix_operation_cases.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace {

using bench::local_client;

// The message get() throws for key, or the content it returns.
std::string get_or_failure(local_client& store, const std::string& key, std::size_t expected) {
    std::string value = "stale";
    try {
        store.get(key, value, expected);
    } catch (const std::runtime_error& error) {
        return std::string("threw: ") + error.what();
    }
    return value;
}

TEST(local_client, put_keeps_the_first_content_of_a_key) {
    local_client store;
    store.put("k", "first");
    store.put("k", "second");
    EXPECT_EQ(get_or_failure(store, "k", 5), "first");
}

TEST(local_client, update_replaces_or_creates) {
    local_client store;
    store.put("k", "first");
    store.update("k", "changed");
    store.update("new", "created");
    EXPECT_EQ(get_or_failure(store, "k", 7), "changed");
    EXPECT_EQ(get_or_failure(store, "new", 7), "created");
}

TEST(local_client, get_of_an_absent_key_throws_entry_not_found) {
    local_client store;
    EXPECT_EQ(get_or_failure(store, "never", 1), "threw: entry not found");

    store.put("k", "v");
    store.remove("k");
    EXPECT_EQ(get_or_failure(store, "k", 1), "threw: entry not found");
    EXPECT_NO_THROW(store.remove("k"));
    EXPECT_NO_THROW(store.remove("never"));
}

TEST(local_client, get_returns_the_stored_content_whatever_the_expected_size) {
    local_client store;
    const std::string binary("a\0b\xff", 4);
    store.put("k", binary);
    store.put("empty", "");
    for (std::size_t expected : {0u, 4u, 1000u}) {
        EXPECT_EQ(get_or_failure(store, "k", expected), binary) << expected;
        EXPECT_EQ(get_or_failure(store, "empty", expected), "") << expected;
    }
}

TEST(local_client, mix_operations_tell_a_miss_by_their_result) {
    local_client store;
    kvtest::check_mix_operations(store, "k");
}

TEST(local_client, clients_of_two_threads_do_not_share_entries) {
    local_client mine;
    std::string seen_by_other;
    std::thread other([&] {
        local_client theirs;
        theirs.put("shared-key", "theirs");
        seen_by_other = get_or_failure(theirs, "shared-key", 6);
    });
    other.join();
    EXPECT_EQ(seen_by_other, "theirs");
    EXPECT_EQ(get_or_failure(mine, "shared-key", 6), "threw: entry not found");
}

}  // namespace
