// Loading test-suite files: what a suite yields, and the error for every way
// a file can be wrong.

#include <bench/test_spec.hpp>

#include "allocation_meter.hpp"

#include <support/process.hpp>
#include <support/suite_reference.hpp>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/info_parser.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <typeinfo>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace pt = boost::property_tree;

struct expected_test {
    int kind;
    std::uint64_t size;
    std::uint64_t count;
};

void expect_suite(const std::vector<bench::test_spec>& suite,
                  const std::vector<expected_test>& expected) {
    ASSERT_EQ(suite.size(), expected.size());
    for (std::size_t i = 0; i < suite.size(); ++i) {
        SCOPED_TRACE("test #" + std::to_string(i));
        EXPECT_EQ(suite[i].which(), expected[i].kind);
        EXPECT_EQ(bench::kind_size(suite[i]), expected[i].size);
        EXPECT_EQ(bench::kind_count(suite[i]), expected[i].count);
    }
}

// Each test as its kind, size and count, to compare suites.
std::vector<std::tuple<int, std::uint64_t, std::uint64_t>> numbers(
    const std::vector<bench::test_spec>& suite) {
    std::vector<std::tuple<int, std::uint64_t, std::uint64_t>> all;
    for (const bench::test_spec& test : suite)
        all.emplace_back(test.which(), bench::kind_size(test), bench::kind_count(test));
    return all;
}

std::vector<bench::test_spec> load(const kvtest::temp_dir& dir, const std::string& content) {
    return bench::load_test_suite(dir.write("suite.cfg", content));
}

TEST(load_test_suite, reads_every_kind_in_file_order) {
    kvtest::temp_dir dir;
    const auto suite = load(dir, R"(tests
{
    single_put_multiple_get { size 1024
                              count 1000 }
    multiple_put { size 64
                   count 100000 }
    multiple_put_remain { size 1
                          count 2 }
    multiple_put_get_delete { size 3
                              count 4 }
    multiple_put_get_update_delete { size 18446744073709551615
                                     count 0 }
}
)");
    expect_suite(suite, {{0, 1024, 1000},
                         {1, 64, 100000},
                         {2, 1, 2},
                         {3, 3, 4},
                         {4, 18446744073709551615u, 0}});
}

TEST(load_test_suite, accepts_the_liberties_the_format_allows) {
    struct liberty {
        const char* name;
        const char* content;
        std::vector<expected_test> expected;
    };
    const liberty cases[] = {
        {"no tests", "tests\n{\n}\n", {}},
        {"the same kind twice",
         "tests {\n multiple_put { size 1\n count 2 }\n multiple_put { size 3\n count 4 }\n}\n",
         {{1, 1, 2}, {1, 3, 4}}},
        {"size after count", "tests {\n multiple_put {\n count 7\n size 5\n }\n}\n", {{1, 5, 7}}},
        {"blanks around a quoted number",
         "tests {\n multiple_put {\n size \" 12 \"\n count 3\n }\n}\n",
         {{1, 12, 3}}},
        {"extra children and a value on the test",
         "tests {\n multiple_put ignored {\n comment \"x\"\n size 1\n count 2\n }\n}\n",
         {{1, 1, 2}}},
        {"other top-level nodes",
         "settings {\n a 1\n}\ntests {\n multiple_put {\n size 1\n count 2\n }\n}\n",
         {{1, 1, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        expect_suite(load(dir, c.content), c.expected);
    }
}

enum class error_kind { parse, bad_path, bad_data, plain };

struct failure {
    const char* name;
    std::optional<std::string> content;  // none: the file does not exist
    error_kind kind;
    std::string message;  // exact; for bad_data and parse errors, how it begins
};

// Runs `load` and returns what it threw, checking its type.
std::string failure_of(const std::function<void()>& load, error_kind kind) {
    try {
        load();
    } catch (const pt::file_parser_error& error) {
        EXPECT_EQ(kind, error_kind::parse) << error.what();
        return error.what();
    } catch (const pt::ptree_bad_path& error) {
        EXPECT_EQ(kind, error_kind::bad_path) << error.what();
        return error.what();
    } catch (const pt::ptree_bad_data& error) {
        EXPECT_EQ(kind, error_kind::bad_data) << error.what();
        return error.what();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(kind, error_kind::plain) << error.what();
        return error.what();
    }
    ADD_FAILURE() << "nothing was thrown";
    return "";
}

// Every "{path}" of text replaced by path.
std::string with_path(std::string text, const std::string& path) {
    for (auto at = text.find("{path}"); at != std::string::npos; at = text.find("{path}", at))
        text.replace(at, 6, path);
    return text;
}

std::string with_test(const std::string& body) {
    return "tests {\n multiple_put {\n" + body + " }\n}\n";
}

TEST(load_test_suite, refuses_a_suite_longer_than_a_suite_can_be) {
    kvtest::temp_dir dir;
    // Holes read as zeros: 16 MiB and one byte without writing them.
    const auto sized = [&](const std::string& name, off_t size) {
        const std::string path = dir.write(name, "");
        EXPECT_EQ(::truncate(path.c_str(), size), 0);
        return path;
    };
    const std::string big = sized("big.cfg", (16 << 20) + 1);
    EXPECT_EQ(failure_of([&] { bench::load_test_suite(big); }, error_kind::parse),
              big + ": larger than a suite file can be (16 MiB)");

    // The limit holds for the suite and its includes together.
    const std::string half = sized("half.cfg", 9 << 20);
    const std::string suite =
        dir.write("suite.cfg", "tests {\n#include \"" + half + "\"\n#include \"" + half + "\"\n}\n");
    EXPECT_EQ(failure_of([&] { bench::load_test_suite(suite); }, error_kind::parse),
              suite + "(3): larger than a suite file can be (16 MiB) with the files it includes");
}

TEST(load_test_suite, rejects_bad_files_with_the_reason) {
    const std::string conversion =
        std::string("conversion of data to type \"") + typeid(std::uint64_t).name() + "\" failed";
    const std::string size_of = conversion + " for the size of multiple_put (test 1 in {path}, line 2)";
    const failure cases[] = {
        {"missing file", std::nullopt, error_kind::parse, "{path}: cannot open file for reading"},
        {"unclosed brace", "tests\n{\n multiple_put {\n", error_kind::parse, "{path}(4): unmatched {"},
        {"no tests node", "other {\n}\n", error_kind::plain, "No such node (tests) in {path}"},
        {"unknown kind", "tests {\n bogus {\n size 1\n count 1\n }\n}\n", error_kind::plain,
         "unknown test type: bogus (test 1 in {path}, line 2)"},
        {"kind names are case-sensitive", "tests {\n Multiple_put {\n size 1\n count 1\n }\n}\n",
         error_kind::plain, "unknown test type: Multiple_put (test 1 in {path}, line 2)"},
        {"unknown kind after a good one",
         "tests {\n multiple_put {\n size 1\n count 1\n }\n bogus {\n size 1\n count 1\n }\n}\n",
         error_kind::plain, "unknown test type: bogus (test 2 in {path}, line 6)"},
        {"no size", with_test(" count 1\n"), error_kind::plain,
         "No such node (size) in multiple_put (test 1 in {path}, line 2)"},
        {"no count", with_test(" size 1\n"), error_kind::plain,
         "No such node (count) in multiple_put (test 1 in {path}, line 2)"},
        {"neither size nor count", with_test(" other 1\n"), error_kind::plain,
         "No such node (size) in multiple_put (test 1 in {path}, line 2)"},
        {"unit suffix", with_test(" size 1k\n count 1\n"), error_kind::bad_data, size_of},
        {"empty value", with_test(" size \"\"\n count 1\n"), error_kind::bad_data, size_of},
        {"negative size", with_test(" size -1\n count 1\n"), error_kind::bad_data, size_of},
        {"negative count", with_test(" size 1\n count -5\n"), error_kind::bad_data,
         conversion + " for the count of multiple_put (test 1 in {path}, line 2)"},
        {"quoted negative with blanks", with_test(" size \" -1 \"\n count 1\n"),
         error_kind::bad_data, size_of},
        {"minus zero", with_test(" size -0\n count 1\n"), error_kind::bad_data, size_of},
        {"past 64 bits", with_test(" size 18446744073709551616\n count 1\n"),
         error_kind::bad_data, size_of},
        {"fraction", with_test(" size 1\n count 1.5\n"), error_kind::bad_data,
         conversion + " for the count of multiple_put (test 1 in {path}, line 2)"},
        {"a later test's error comes after an earlier one's",
         "tests {\n multiple_put { count 1 }\n bogus { }\n}\n", error_kind::plain,
         "No such node (size) in multiple_put (test 1 in {path}, line 2)"},
        // Files that would be read for ever or without bound.
        {"include of a device", "tests {\n#include \"/dev/zero\"\n}\n", error_kind::parse,
         "{path}(2): cannot open include file /dev/zero: a character device"},
        {"recursive include", "tests {\n#include \"{path}\"\n}\n", error_kind::parse,
         "{path}(2): include depth too large, probably recursive include: {path} is already "
         "being read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        const std::string path = dir.path() + (c.content ? "/suite.cfg" : "/missing.cfg");
        if (c.content) dir.write("suite.cfg", with_path(*c.content, path));
        EXPECT_EQ(failure_of([&] { bench::load_test_suite(path); }, c.kind),
                  with_path(c.message, path));
    }
}

// The test of an included file names that file; an include cycle is refused
// where it closes, not after a hundred rounds of reading the same tests.
TEST(load_test_suite, names_the_file_and_the_place_of_a_wrong_test) {
    kvtest::temp_dir dir;
    const std::string inner = dir.write("inner.cfg", "multiple_put { size 1\ncount 1 }\nbogus\n");
    const std::string suite = dir.write(
        "suite.cfg", "tests {\n multiple_put { size 1\ncount 1 }\n#include \"" + inner + "\"\n}\n");
    EXPECT_EQ(failure_of([&] { bench::load_test_suite(suite); }, error_kind::plain),
              "unknown test type: bogus (test 3 in " + inner + ", line 3)");

    std::string tests;
    for (int i = 0; i < 20000; ++i) tests += "multiple_put { size 1\ncount 1 }\n";
    const std::string back = dir.path() + "/back.cfg";
    const std::string loop =
        dir.write("loop.cfg", "tests {\n" + tests + "#include \"" + back + "\"\n}\n");
    dir.write("back.cfg", tests + "#include \"" + loop + "\"\n");
    const kvtest::allocation_meter meter;
    EXPECT_EQ(failure_of([&] { bench::load_test_suite(loop); }, error_kind::parse),
              back + "(40001): include depth too large, probably recursive include: " + loop +
                  " is already being read");
    // Read once each: the two files and a few bytes for each of their tests.
    EXPECT_LT(meter.peak(), 2 * tests.size() + 40000 * 256);
}

// A pipe, a directory or a device is refused before anything waits on it:
// opening a pipe that no one writes to would wait for ever.
TEST(load_test_suite, refuses_what_is_not_a_regular_file_at_once) {
    struct case_t {
        const char* name;
        const char* made;     // "pipe", "directory", or a path that exists
        bool included;        // named by an include rather than as the suite
        const char* message;  // "{file}" is the path of what was refused
    };
    const case_t cases[] = {
        {"a pipe", "pipe", false, "{file}: cannot open file for reading: a pipe"},
        {"a directory", "directory", false, "{file}: cannot open file for reading: a directory"},
        {"a device", "/dev/null", false,
         "{file}: cannot open file for reading: a character device"},
        {"an included pipe", "pipe", true, "{path}(2): cannot open include file {file}: a pipe"},
        {"an included directory", "directory", true,
         "{path}(2): cannot open include file {file}: a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        std::string file = c.made;
        if (file == "pipe") {
            file = dir.path() + "/pipe";
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        } else if (file == "directory") {
            file = dir.path() + "/directory";
            ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
        }
        std::string path = file;
        if (c.included) path = dir.write("suite.cfg", "tests {\n#include \"" + file + "\"\n}\n");

        std::packaged_task<std::string()> load(
            [&] { return failure_of([&] { bench::load_test_suite(path); }, error_kind::parse); });
        std::future<std::string> message = load.get_future();
        std::thread loader(std::move(load));
        if (message.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the loader waits on " << file;
            // A writer that comes and goes lets a waiting open go on.
            const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
        }
        loader.join();
        std::string expected = with_path(c.message, path);
        for (auto at = expected.find("{file}"); at != std::string::npos; at = expected.find("{file}"))
            expected.replace(at, 6, file);
        EXPECT_EQ(message.get(), expected);
    }
}

// The loader reads the INFO format with a loop of its own; what it makes of a
// suite, or the start of its error, is what the format's own reader makes.
TEST(load_test_suite, reads_the_format_as_the_property_tree_does) {
    using namespace std::string_literals;
    const std::string suites[] = {
        "tests {\n multiple_put { size \"1\" \\\n \"2\"\n count 3 }\n}\n",
        "tests {\n multiple_put { size \"1\" \\\n", 
        "tests {\n multiple_put { size \"1\" \\\n count 3 }\n}\n",
        "tests {\n multiple_put { size 1\n size 2\n count 3\n count 4 }\n}\n",
        "tests {\n multiple_put { size 1\n count 2 }\n}\ntests {\n multiple_put_remain { size 3\n count 4 }\n}\n",
        "tests value { multiple_put { size 1 count 2 } }",
        "tests\n{\n single_put_multiple_get value\n {\n size 5 ; a comment\n count 6\n }\n}\n",
        "tests {\n \"multiple_put\" { \"size\" 1\n count \"2\" }\n}\n",
        "tests {\n \"multiple\\_put\" { size 1\n count 2 }\n}\n",
        "tests {\n multiple_put { size 1\n count 2 }\n}\n}\n",
        "{\n tests\n}\n",
        "tests {\n multiple_put { size { deeper { 1 } }\n count 2 }\n}\n",
        "tests {\n multiple_put { size 1 { }\n count 2 }\n}\n",
        "tests {\n multiple_put { size 1\n count 2 { more 3 } }\n}\n",
        "tests {\r\n multiple_put {\r\n size 7\r\n count 8\r\n }\r\n}\r\n",
        "tests {\n multiple_put { size 1\0junk\n count 2 }\n}\n"s,
        "tests {\n multiple_put { size 1\n count 2 }\n}\0\n{\n"s,
        "tests {\n multiple_put { size 1\n count 2 }\n}",
        "",
        "#other\n",
        "tests {\n multiple_put { size \"1\n count 2 }\n}\n",
        "tests { } tests { multiple_put { size 1\ncount 1 } }",
        "other { tests { multiple_put { size 1\ncount 1 } } }\ntests { }",
        "tests {\n multiple_put\n single_put_multiple_get { size 1\ncount 1 }\n}\n",
        "tests {\n multiple_put size\n { size 3\ncount 1 }\n}\n",
        "tests {\n multiple_put { size 1 count 2 }}\n",
    };
    for (const std::string& text : suites) {
        SCOPED_TRACE(text);
        kvtest::temp_dir dir;
        const std::string path = dir.write("suite.cfg", text);
        const kvtest::suite_reading expected = kvtest::reference_reading(path);
        const kvtest::suite_reading read = kvtest::loader_reading(path);
        EXPECT_EQ(numbers(read.tests), numbers(expected.tests));
        EXPECT_EQ(read.error.substr(0, expected.error.size()), expected.error) << read.error;
        EXPECT_EQ(read.error.empty(), expected.error.empty()) << read.error;
    }
}

// Includes put their nodes where they stand, even between a test's name and
// its brace, and a file may be included more than once.
TEST(load_test_suite, reads_includes_where_they_stand) {
    kvtest::temp_dir dir;
    const std::string more = dir.write("more.cfg", "multiple_put_remain { size 3\ncount 4 }\n");
    const std::string body = dir.write("body.cfg", "size 1\ncount 2\n");
    const std::string path = dir.write(
        "suite.cfg", "tests {\n multiple_put\n#include \"" + more + "\"\n { size 5\ncount 6 }\n"
                     " single_put_multiple_get {\n#include \"" + body + "\"\n }\n#include \"" +
                         more + "\"\n}\n");
    const kvtest::suite_reading expected = kvtest::reference_reading(path);
    ASSERT_EQ(expected.error, "");
    expect_suite(bench::load_test_suite(path), {{1, 5, 6}, {2, 3, 4}, {0, 1, 2}, {2, 3, 4}});
    EXPECT_EQ(numbers(bench::load_test_suite(path)), numbers(expected.tests));
}

// What a suite holds once read is its tests, a few dozen bytes each; reading
// it takes little more than its text.
TEST(load_test_suite, holds_a_few_bytes_per_test) {
    kvtest::temp_dir dir;
    std::string text = "tests {\n";
    constexpr std::size_t tests = 100000;
    for (std::size_t i = 0; i < tests; ++i) text += " multiple_put { size 1\n count 1 }\n";
    text += "}\n";
    const std::string path = dir.write("suite.cfg", text);

    const kvtest::allocation_meter meter;
    const std::vector<bench::test_spec> suite = bench::load_test_suite(path);
    ASSERT_EQ(suite.size(), tests);
    EXPECT_LE(meter.held(), tests * sizeof(bench::test_spec));
    // Beside the tests themselves, a few dozen bytes a test while reading.
    EXPECT_LE(meter.peak(), text.size() + tests * (sizeof(bench::test_spec) + 128))
        << meter.peak() / tests << " bytes a test";

    // After a test of no known kind nothing more is kept: the suite fails.
    std::string names = "tests {\n";
    for (std::size_t i = 0; i < tests; ++i) names += "bogus\n";
    names += "}\n";
    const std::string wrong = dir.write("wrong.cfg", names);
    const kvtest::allocation_meter reading;
    EXPECT_EQ(failure_of([&] { bench::load_test_suite(wrong); }, error_kind::plain),
              "unknown test type: bogus (test 1 in " + wrong + ", line 2)");
    EXPECT_LE(reading.peak(), names.size() + 4096);
}

}  // namespace
