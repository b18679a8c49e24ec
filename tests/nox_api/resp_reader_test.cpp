// The RESP reply reader on bytes alone: every reply must parse the same
// however the bytes are split between feeds.

#include <resp_reader.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using nox_api::detail::reply_type;
using nox_api::detail::resp_reader;
using namespace std::string_literals;

// Every way of cutting `bytes` into at most three pieces.
std::vector<std::vector<std::string>> splits(const std::string& bytes) {
    std::vector<std::vector<std::string>> all{{bytes}};
    for (std::size_t a = 1; a < bytes.size(); ++a) {
        all.push_back({bytes.substr(0, a), bytes.substr(a)});
        for (std::size_t b = a + 1; b < bytes.size(); ++b)
            all.push_back({bytes.substr(0, a), bytes.substr(a, b - a), bytes.substr(b)});
    }
    return all;
}

// Feeds the pieces in order; returns the total of bytes the reader took.
std::size_t feed(resp_reader& reader, const std::vector<std::string>& pieces) {
    std::size_t used = 0;
    for (const auto& piece : pieces) used += reader.feed(piece.data(), piece.size());
    return used;
}

struct good_case {
    std::string bytes;
    std::size_t capacity;
    reply_type type;
    std::int64_t integer;
    std::uint64_t length;
    std::string content;  // status or error text, or the bytes stored in the sink
};

TEST(resp_reader, parses_every_reply_in_any_split) {
    const std::string long_error(100, 'e');
    const std::vector<good_case> cases = {
        {"+OK\r\n", 0, reply_type::status, 0, 0, "OK"},
        {"+\r\n", 0, reply_type::status, 0, 0, ""},
        {"-ERR wrong type\r\n", 0, reply_type::error, 0, 0, "ERR wrong type"},
        {"-" + long_error + "\r\n", 0, reply_type::error, 0, 0, long_error.substr(0, 63)},
        {":0\r\n", 0, reply_type::integer, 0, 0, ""},
        {":-1\r\n", 0, reply_type::integer, -1, 0, ""},
        {":9223372036854775807\r\n", 0, reply_type::integer, INT64_MAX, 0, ""},
        {":-9223372036854775808\r\n", 0, reply_type::integer, INT64_MIN, 0, ""},
        {"$-1\r\n", 8, reply_type::nil, 0, 0, ""},
        {"$0\r\n\r\n", 8, reply_type::bulk, 0, 0, ""},
        {"$5\r\nhello\r\n", 5, reply_type::bulk, 0, 5, "hello"},
        {"$6\r\n\r\n\0\xff$\n\r\n"s, 8, reply_type::bulk, 0, 6, "\r\n\0\xff$\n"s},
        // Longer than the sink: the start is kept, the rest dropped, the length told.
        {"$5\r\nhello\r\n", 3, reply_type::bulk, 0, 5, "hel"},
        {"$3\r\nabc\r\n", 0, reply_type::bulk, 0, 3, ""},
    };
    for (const auto& c : cases) {
        for (const auto& pieces : splits(c.bytes)) {
            SCOPED_TRACE(testing::PrintToString(pieces));
            std::vector<char> sink(c.capacity + 1, '#');
            resp_reader reader;
            reader.start(sink.data(), c.capacity);
            ASSERT_EQ(feed(reader, pieces), c.bytes.size());
            ASSERT_EQ(reader.state(), resp_reader::progress::complete) << reader.failure();
            const auto& r = reader.result();
            EXPECT_EQ(r.type, c.type);
            EXPECT_EQ(r.integer, c.integer);
            EXPECT_EQ(r.length, c.length);
            if (c.type == reply_type::status || c.type == reply_type::error) {
                EXPECT_EQ(std::string(r.text, r.text_length), c.content);
                EXPECT_EQ(r.text[r.text_length], '\0');
            } else {
                EXPECT_EQ(std::string(sink.data(), r.stored), c.content);
                EXPECT_EQ(sink[c.capacity], '#');  // nothing written past the sink
                EXPECT_EQ(r.fits(), c.content.size() == c.length);
            }
        }
    }
}

TEST(resp_reader, rejects_malformed_replies_in_any_split) {
    const std::vector<std::string> cases = {
        "*1\r\n$1\r\na\r\n",             // arrays are never a reply to our requests
        "?x\r\n",                        // no such type
        ":12a\r\n", ":1-2\r\n", ":--1\r\n", ":+1\r\n",
        ":\r\n", ":-\r\n", "$\r\n",      // no number
        ":9223372036854775808\r\n",      // past the 64-bit range
        ":-9223372036854775809\r\n",
        ":99999999999999999999999\r\n",
        "$-2\r\n",                       // negative length other than nil
        "+OK\rX\n", "+O\nK\r\n",         // CR without LF, LF inside a line
        "$3\r\nabcd\r\n",                // payload longer than announced
        "$3\r\nabc\rX",
    };
    for (const auto& bytes : cases) {
        for (const auto& pieces : splits(bytes)) {
            SCOPED_TRACE(testing::PrintToString(pieces));
            resp_reader reader;
            reader.start(nullptr, 0);
            feed(reader, pieces);
            EXPECT_EQ(reader.state(), resp_reader::progress::failed);
            EXPECT_NE(reader.failure(), nullptr);
        }
    }
}

TEST(resp_reader, stops_at_the_end_of_the_reply_and_restarts_clean) {
    resp_reader reader;
    reader.start(nullptr, 0);
    const std::string two = "+OK\r\n:1\r\n";
    EXPECT_EQ(reader.feed(two.data(), two.size()), 5u);
    EXPECT_EQ(reader.feed(two.data() + 5, 4), 0u);  // complete: takes nothing more

    reader.start(nullptr, 0);
    EXPECT_EQ(reader.feed("?", 1), 0u);
    ASSERT_EQ(reader.state(), resp_reader::progress::failed);
    reader.start(nullptr, 0);
    EXPECT_EQ(reader.feed(two.data() + 5, 4), 4u);
    EXPECT_EQ(reader.state(), resp_reader::progress::complete);
    EXPECT_EQ(reader.result().integer, 1);
}

TEST(resp_reader, payload_window_takes_bytes_written_directly) {
    std::string sink(10, '\0');
    for (std::size_t capacity : {10u, 4u}) {
        resp_reader reader;
        reader.start(&sink[0], capacity);
        std::size_t room = 99;
        EXPECT_EQ(reader.payload_window(room), nullptr);  // not inside a payload yet
        EXPECT_EQ(room, 0u);
        ASSERT_EQ(reader.feed("$10\r\nab", 7), 7u);
        char* window = reader.payload_window(room);
        ASSERT_EQ(window, &sink[2]);
        ASSERT_EQ(room, capacity - 2);  // bounded by the payload and the sink
        std::memcpy(window, "cdefghij", room);
        reader.payload_written(room);
        const std::string rest = std::string("cdefghij").substr(room) + "\r\n";
        EXPECT_EQ(reader.feed(rest.data(), rest.size()), rest.size());
        ASSERT_EQ(reader.state(), resp_reader::progress::complete);
        EXPECT_EQ(reader.result().length, 10u);
        EXPECT_EQ(sink.substr(0, reader.result().stored), std::string("abcdefghij").substr(0, capacity));
    }
}

}  // namespace
