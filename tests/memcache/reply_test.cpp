// The reply side of the memcache library over plain bytes: grammar, reply
// collection, where a get reply ends, classification, exception messages.

#include <memcache/detail/reply.hpp>
#include <memcache/exceptions.hpp>
#include <memcache/policies.hpp>

#include <boost/function/function_base.hpp>
#include <boost/regex.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using memcache::detail::string_deserializer;
using memcache::detail::value_block;

struct expected_block {
    std::string key;
    std::uint32_t flags;
    std::uint64_t bytes;
    std::uint64_t cas;
    std::string data;
};

struct grammar_case {
    const char* name;
    std::string reply;
    bool accepted;
    std::vector<expected_block> blocks;  // when accepted
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const grammar_case& c, std::ostream* out) { *out << c.name; }

class grammar : public ::testing::TestWithParam<grammar_case> {};

TEST_P(grammar, parses_value_blocks_exactly) {
    const grammar_case& c = GetParam();
    ASSERT_EQ(memcache::detail::is_get_response(c.reply), c.accepted);
    if (!c.accepted) return;
    std::vector<value_block> blocks;
    value_block next;
    for (std::size_t at = 0; (at = memcache::detail::parse_value_block(c.reply, at, next)) != 0;)
        blocks.push_back(next);
    ASSERT_EQ(blocks.size(), c.blocks.size());
    auto expected = c.blocks.begin();
    for (const value_block& block : blocks) {
        EXPECT_EQ(block.key, expected->key);
        EXPECT_EQ(block.flags, expected->flags);
        EXPECT_EQ(block.bytes, expected->bytes);
        EXPECT_EQ(block.cas, expected->cas);
        EXPECT_EQ(block.data, expected->data);
        ++expected;
    }
}

INSTANTIATE_TEST_SUITE_P(
    replies, grammar,
    ::testing::Values(
        grammar_case{"one_block", "VALUE k1 0 3\r\nabc\r\nEND\r\n", true, {{"k1", 0, 3, 0, "abc"}}},
        grammar_case{"flags_and_cas", "VALUE k1 7 3 99\r\nabc\r\nEND\r\n", true,
                     {{"k1", 7, 3, 99, "abc"}}},
        grammar_case{"largest_numbers", "VALUE k 4294967295 1 18446744073709551615\r\nx\r\nEND\r\n",
                     true, {{"k", 4294967295u, 1, 18446744073709551615u, "x"}}},
        grammar_case{"data_holding_crlf", "VALUE k1 0 4\r\na\r\nb\r\nEND\r\n", true,
                     {{"k1", 0, 4, 0, "a\r\nb"}}},
        grammar_case{"data_holding_end_line", "VALUE k 0 6\r\nEND\r\nX\r\nEND\r\n", true,
                     {{"k", 0, 6, 0, "END\r\nX"}}},
        grammar_case{"data_holding_nul", "VALUE k 0 3\r\na\0b\r\nEND\r\n"s, true,
                     {{"k", 0, 3, 0, "a\0b"s}}},
        grammar_case{"empty_data", "VALUE k 0 0\r\n\r\nEND\r\n", true, {{"k", 0, 0, 0, ""}}},
        grammar_case{"high_bytes_in_key", "VALUE \xc3\xa9 0 1\r\na\r\nEND\r\n", true,
                     {{"\xc3\xa9", 0, 1, 0, "a"}}},
        grammar_case{"two_blocks", "VALUE a 1 1\r\nx\r\nVALUE b 2 2 5\r\nyz\r\nEND\r\n", true,
                     {{"a", 1, 1, 0, "x"}, {"b", 2, 2, 5, "yz"}}},
        grammar_case{"bytes_after_end_ignored", "END\r\nVALUE", true, {}},
        grammar_case{"miss", "END\r\n", true, {}},
        grammar_case{"declared_length_too_long", "VALUE k1 0 5\r\nabc\r\nEND\r\n", false, {}},
        grammar_case{"declared_length_too_short", "VALUE k1 0 2\r\nabc\r\nEND\r\n", false, {}},
        grammar_case{"two_spaces_before_flags", "VALUE k1  0 3\r\nabc\r\nEND\r\n", false, {}},
        grammar_case{"flags_past_32_bits", "VALUE k 4294967296 1\r\nx\r\nEND\r\n", false, {}},
        grammar_case{"cas_past_64_bits", "VALUE k 0 1 18446744073709551616\r\nx\r\nEND\r\n", false, {}},
        grammar_case{"space_without_cas", "VALUE k 0 1 \r\nx\r\nEND\r\n", false, {}},
        grammar_case{"control_byte_in_key", "VALUE k\x01 0 1\r\nx\r\nEND\r\n", false, {}},
        grammar_case{"block_without_end", "VALUE k 0 1\r\nx\r\n", false, {}},
        grammar_case{"error_line", "ERROR\r\n", false, {}},
        grammar_case{"empty", "", false, {}}),
    [](const ::testing::TestParamInfo<grammar_case>& param) { return std::string(param.param.name); });

TEST(parse_get_reply, delivers_the_block_and_its_cas) {
    std::string value = "old";
    std::uint64_t cas = 0;
    EXPECT_TRUE(memcache::detail::parse_get_reply("VALUE k1 7 4 99\r\na\r\nb\r\nEND\r\n", "k1",
                                                  string_deserializer(&value), &cas));
    EXPECT_EQ(value, "a\r\nb");
    EXPECT_EQ(cas, 99u);
}

TEST(parse_get_reply, keeps_the_last_of_repeated_blocks) {
    std::string value;
    std::uint64_t cas = 0;
    EXPECT_TRUE(memcache::detail::parse_get_reply(
        "VALUE k 0 1 5\r\nx\r\nVALUE k 0 2 6\r\nyz\r\nEND\r\n", "k", string_deserializer(&value),
        &cas));
    EXPECT_EQ(value, "yz");
    EXPECT_EQ(cas, 6u);
}

TEST(parse_get_reply, refuses_misses_and_rejected_replies_without_touching_the_destination) {
    for (const std::string reply : {"END\r\n", "VALUE k 0 5\r\nabc\r\nEND\r\n", "ERROR\r\n", ""}) {
        std::string value = "unchanged";
        std::uint64_t cas = 0;
        EXPECT_FALSE(memcache::detail::parse_get_reply(reply, "k", string_deserializer(&value), &cas))
            << reply;
        EXPECT_EQ(value, "unchanged") << reply;
    }
}

TEST(parse_get_reply, block_for_a_key_not_asked_for_raises_bad_function_call) {
    std::string value;
    std::uint64_t cas = 0;
    EXPECT_THROW(memcache::detail::parse_get_reply("VALUE k2 0 3\r\nabc\r\nEND\r\n", "k1",
                                                   string_deserializer(&value), &cas),
                 boost::bad_function_call);
    EXPECT_TRUE(value.empty());
}

TEST(collect_reply, keeps_every_line_that_ends_with_a_line_feed) {
    struct row {
        std::string received, collected;
    };
    for (const row& r : std::vector<row>{
             {"VALUE k 0 3\r\nabc\r\nEND\r\n", "VALUE k 0 3\r\nabc\r\nEND\r\n"},
             {"END\r\nVAL", "END\r\n"},
             {"a\nb\0c\n"s, "a\nb\0c\n"s},
             {"no line feed", ""},
             {"", ""}}) {
        EXPECT_EQ(memcache::detail::collect_reply(r.received.data(), r.received.size()), r.collected)
            << r.received;
    }
}

// Where a get reply ends, fed the bytes received so far: 0 means read on.
struct end_case {
    const char* name;
    std::string received;
    std::size_t end;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const end_case& c, std::ostream* out) { *out << c.name; }

class get_reply_end : public ::testing::TestWithParam<end_case> {};

TEST_P(get_reply_end, waits_for_whole_blocks_and_their_end_line) {
    const end_case& c = GetParam();
    EXPECT_EQ(memcache::detail::get_reply_end(c.received.data(), c.received.size()).length, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    pieces, get_reply_end,
    ::testing::Values(
        end_case{"nothing_yet", "", 0},
        end_case{"miss", "END\r\n", 5},
        end_case{"part_of_end", "EN", 0},
        end_case{"whole_block", "VALUE k 0 3\r\nabc\r\nEND\r\n", 23},
        end_case{"bytes_after_the_reply", "VALUE k 0 3\r\nabc\r\nEND\r\nXYZ", 23},
        end_case{"half_a_value_line", "VALUE k 0 ", 0},
        end_case{"data_still_due", "VALUE k 0 10\r\nabc", 0},
        // The stored value is "END\r\nX": its first five bytes look like the end.
        end_case{"data_looking_like_end", "VALUE k 0 6\r\nEND\r\n", 0},
        end_case{"data_looking_like_end_then_rest", "VALUE k 0 6\r\nEND\r\nX\r\n", 0},
        end_case{"data_looking_like_end_whole", "VALUE k 0 6\r\nEND\r\nX\r\nEND\r\n", 26},
        end_case{"data_holding_a_value_line", "VALUE k 0 16\r\nVALUE k 0 1\r\nx\r\n\r\nEND\r\n", 37},
        end_case{"second_block_due", "VALUE a 0 1\r\nx\r\nVALUE b 0 2\r\ny", 0},
        end_case{"error_line", "ERROR\r\n", 7},
        end_case{"error_line_half", "ERRO", 0},
        end_case{"client_error_with_message", "CLIENT_ERROR bad command line format\r\n", 38},
        end_case{"server_error_with_message", "SERVER_ERROR out of memory\r\n", 28},
        end_case{"server_error_message_due", "SERVER_ERROR out of", 0},
        end_case{"server_error_without_message", "SERVER_ERROR\r\n", 14},
        // Neither well formed nor a known line: the terminator decides.
        end_case{"garbage", "garbage", 0},
        end_case{"garbage_then_end", "garbage\r\nEND\r\n", 14},
        end_case{"length_shorter_than_data", "VALUE k1 0 2\r\nabc\r\nEND\r\n", 24},
        end_case{"broken_value_line", "VALUE k1  0 3\r\nabc\r\nEND\r\n", 25}),
    [](const ::testing::TestParamInfo<end_case>& param) { return std::string(param.param.name); });

TEST(get_reply_end, fed_a_byte_at_a_time_ends_only_after_the_last_byte) {
    const std::string reply = "VALUE k 0 13\r\nEND\r\n\r\nEND\r\nX\r\nEND\r\n";
    for (std::size_t n = 0; n < reply.size(); ++n)
        ASSERT_EQ(memcache::detail::get_reply_end(reply.data(), n).length, 0u) << n;
    EXPECT_EQ(memcache::detail::get_reply_end(reply.data(), reply.size()).length, reply.size());
}

// The limits on what a reply may hold, made small enough to reach: lines of
// 16 bytes, values of 32, get replies of 64 bytes in all.
constexpr memcache::detail::reply_limits small{16, 32};

enum class reply_kind { get, line };

struct limit_case {
    const char* name;
    reply_kind kind;
    std::string received;
    std::size_t end;
    memcache::detail::reply_refusal refused;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const limit_case& c, std::ostream* out) { *out << c.name; }

class reply_limits : public ::testing::TestWithParam<limit_case> {};

// The verdict on the bytes received, and the first verdict an exchange meets
// reading them a byte at a time: the two must agree, or the outcome would
// depend on how the bytes were split into reads.
TEST_P(reply_limits, refuse_what_goes_past_them_however_the_bytes_are_split) {
    const limit_case& c = GetParam();
    const auto check = [&](std::size_t n) {
        return c.kind == reply_kind::get
                   ? memcache::detail::get_reply_end(c.received.data(), n, small)
                   : memcache::detail::line_reply_end(c.received.data(), n, small);
    };
    const memcache::detail::reply_end whole = check(c.received.size());
    EXPECT_EQ(whole.length, c.end);
    EXPECT_EQ(whole.refused, c.refused);
    for (std::size_t n = 0; n <= c.received.size(); ++n) {
        const memcache::detail::reply_end first = check(n);
        if (first.length == 0 && first.refused == memcache::detail::reply_refusal::none) continue;
        EXPECT_EQ(first.length, c.end) << "first verdict after " << n << " bytes";
        EXPECT_EQ(first.refused, c.refused) << "first verdict after " << n << " bytes";
        break;
    }
}

using refusal = memcache::detail::reply_refusal;
const std::string longest_line(16, 'x');

INSTANTIATE_TEST_SUITE_P(
    small_limits, reply_limits,
    ::testing::Values(
        limit_case{"error_line_of_the_longest_length", reply_kind::get, "ERROR 0123456789\r\n", 18,
                   refusal::none},
        limit_case{"error_line_one_byte_too_long", reply_kind::get, "ERROR 0123456789a\r\n", 0,
                   refusal::long_line},
        limit_case{"error_line_too_long_before_its_end", reply_kind::get, "ERROR 0123456789a", 0,
                   refusal::long_line},
        limit_case{"a_cr_may_still_end_the_longest_line", reply_kind::get, "ERROR 0123456789\r", 0,
                   refusal::none},
        limit_case{"value_line_too_long", reply_kind::get, "VALUE k 0 1 123456", 0,
                   refusal::long_line},
        limit_case{"value_of_the_largest_size", reply_kind::get,
                   "VALUE k 0 32\r\n" + std::string(32, 'v') + "\r\nEND\r\n", 53, refusal::none},
        limit_case{"value_one_byte_too_large", reply_kind::get, "VALUE k 0 33\r\nv", 0,
                   refusal::large_value},
        limit_case{"values_longer_than_a_reply_in_all", reply_kind::get,
                   "VALUE k 0 32\r\n" + std::string(32, 'v') + "\r\nVALUE k 0 32\r\n" +
                       std::string(32, 'v'),
                   0, refusal::long_reply},
        limit_case{"empty_blocks_longer_than_a_reply_in_all", reply_kind::get,
                   "VALUE k 0 0\r\n\r\nVALUE k 0 0\r\n\r\nVALUE k 0 0\r\n\r\nVALUE k 0 0\r\n\r\n"
                   "VALUE k 0 0\r\n\r\n",
                   0, refusal::long_reply},
        limit_case{"malformed_then_end_within_a_line", reply_kind::get, "xxxxxxxxxx\r\nEND\r\n", 17,
                   refusal::none},
        limit_case{"malformed_past_a_line_without_terminator", reply_kind::get,
                   std::string(19, 'x') + "\r\nEND\r\n", 0, refusal::unrecognised},
        limit_case{"malformed_after_a_block", reply_kind::get,
                   "VALUE k 0 1\r\nv\r\n" + std::string(19, 'x'), 0, refusal::unrecognised},
        limit_case{"bytes_after_a_whole_reply_do_not_count", reply_kind::get,
                   "END\r\n" + std::string(100, 'x'), 5, refusal::none},
        limit_case{"line_of_the_longest_length", reply_kind::line, longest_line + "\r\n", 18,
                   refusal::none},
        limit_case{"line_one_byte_too_long", reply_kind::line, longest_line + "x\r\n", 0,
                   refusal::long_line},
        limit_case{"line_too_long_before_its_end", reply_kind::line, longest_line + "x", 0,
                   refusal::long_line},
        limit_case{"a_cr_may_still_end_the_longest_reply_line", reply_kind::line,
                   longest_line + "\r", 0, refusal::none}),
    [](const ::testing::TestParamInfo<limit_case>& param) { return std::string(param.param.name); });

// No reply of a real server is refused: memcached stores items of 1 GiB at
// most, and its lines are far shorter than 64 KiB.
TEST(default_limits, refuse_no_reply_of_a_real_server) {
    using memcache::detail::get_reply_end;
    using memcache::detail::line_reply_end;
    const std::string largest = "VALUE k 0 1073741824\r\n";
    const std::string too_large = "VALUE k 0 1073741825\r\n";
    const std::string longest(64 * 1024, 'x'), too_long(64 * 1024 + 1, 'x');
    EXPECT_EQ(get_reply_end(largest.data(), largest.size()).refused, refusal::none);
    EXPECT_EQ(get_reply_end(too_large.data(), too_large.size()).refused, refusal::large_value);
    EXPECT_EQ(line_reply_end(longest.data(), longest.size()).refused, refusal::none);
    EXPECT_EQ(line_reply_end(too_long.data(), too_long.size()).refused, refusal::long_line);
}

TEST(get_terminator, matches_its_four_alternatives) {
    const boost::regex& terminator = memcache::detail::get_terminator();
    EXPECT_EQ(&terminator, &memcache::detail::get_terminator());  // compiled once
    for (const char* text : {"END\r\n", "SERVER_ERRORx", "CLIENT_ERRORx", "ERROR\r\n",
                             "CLIENT_ERROR\r\n"})
        EXPECT_TRUE(boost::regex_search(text, terminator)) << text;
    for (const char* text : {"END", "SERVER_ERROR oops", "STORED\r\n"})
        EXPECT_FALSE(boost::regex_search(text, terminator)) << text;
}

TEST(classify_get_reply, goes_by_the_first_word) {
    using memcache::detail::reply_class;
    struct row {
        std::string text;
        reply_class expected;
    };
    for (const row& r : std::vector<row>{{"END\r\n", reply_class::miss},
                                         {"ERROR\r\n", reply_class::error_reply},
                                         {"CLIENT_ERROR bad\r\n", reply_class::error_reply},
                                         {"SERVER_ERROR oops\r\n", reply_class::error_reply},
                                         {"  \r\nERROR\r\n", reply_class::error_reply},
                                         {"VALUE k 0 5\r\nabc\r\nEND\r\n", reply_class::other},
                                         {"ENDX\r\n", reply_class::other},
                                         {"", reply_class::other}})
        EXPECT_EQ(memcache::detail::classify_get_reply(r.text), r.expected) << r.text;
}

TEST(exceptions, messages_join_prefix_and_argument) {
    struct row {
        std::string message, expected;
    };
    for (const row& r : std::vector<row>{
             {memcache::key_not_found("k1").what(), "Key not found: k1"},
             {memcache::key_not_stored("k1").what(), "Key not stored: k1"},
             {memcache::invalid_key("a b").what(), "Invalid key: a b"},
             {memcache::offset_out_of_bounds(7).what(), "Offset out of bounds: 7"},
             {memcache::offset_out_of_bounds(18446744073709551615u).what(),
              "Offset out of bounds: 18446744073709551615"},
             {memcache::no_available_servers().what(), "No available servers."},
             {memcache::invalid_response_found("ERROR\r\n").what(),
              "Invalid response found for key: ERROR\r\n"},
             {memcache::malformed_data("get k\r\nVALUE k 0 5\r\n").what(),
              "Malformed data: get k\r\nVALUE k 0 5\r\n"},
             {memcache::malformed_data("get k\r\nVALUE k 0 3\r\na\0b"s).what(),
              "Malformed data: get k\r\nVALUE k 0 3\r\na"},
             {memcache::key_not_found("k1", "no reply within 500 ms").what(),
              "Key not found: k1 (no reply within 500 ms)"},
             {memcache::key_not_stored("k1", "SERVER_ERROR object too large for cache").what(),
              "Key not stored: k1 (SERVER_ERROR object too large for cache)"},
             {memcache::key_not_stored("k1", "").what(), "Key not stored: k1"},
             {memcache::key_not_found("k1", "a\0b"s).what(), "Key not found: k1 (a)"}})
        EXPECT_EQ(r.message, r.expected);
}

TEST(exceptions, are_caught_as_memcache_and_standard_exceptions) {
    try {
        throw memcache::key_not_found("k");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Key not found: k");
        EXPECT_NE(dynamic_cast<const memcache::exception*>(&e), nullptr);
        EXPECT_NE(dynamic_cast<const std::runtime_error*>(&e), nullptr);
    }
}

}  // namespace
