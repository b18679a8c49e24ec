// Loading test-suite files: what a suite yields, and the error for every way
// a file can be wrong.

#include <bench/test_spec.hpp>

#include <support/process.hpp>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/info_parser.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

std::string with_test(const std::string& body) {
    return "tests {\n multiple_put {\n" + body + " }\n}\n";
}

TEST(load_test_suite, refuses_a_file_longer_than_a_suite_can_be) {
    EXPECT_EQ(failure_of([] { bench::load_test_suite("/dev/zero"); }, error_kind::parse),
              "/dev/zero: larger than a suite file can be (16 MiB)");
}

TEST(load_test_suite, rejects_bad_files_with_the_reason) {
    const std::string conversion = "conversion of data to type";
    const failure cases[] = {
        {"missing file", std::nullopt, error_kind::parse, "{path}: cannot open file for reading"},
        {"unclosed brace", "tests\n{\n multiple_put {\n", error_kind::parse, "{path}("},
        {"no tests node", "other {\n}\n", error_kind::bad_path, "No such node (tests)"},
        {"unknown kind", "tests {\n bogus {\n size 1\n count 1\n }\n}\n", error_kind::plain,
         "unknown test type"},
        {"kind names are case-sensitive", "tests {\n Multiple_put {\n size 1\n count 1\n }\n}\n",
         error_kind::plain, "unknown test type"},
        {"unknown kind after a good one",
         "tests {\n multiple_put {\n size 1\n count 1\n }\n bogus {\n size 1\n count 1\n }\n}\n",
         error_kind::plain, "unknown test type"},
        {"no size", with_test(" count 1\n"), error_kind::bad_path, "No such node (size)"},
        {"no count", with_test(" size 1\n"), error_kind::bad_path, "No such node (count)"},
        {"neither size nor count", with_test(" other 1\n"), error_kind::bad_path,
         "No such node (size)"},
        {"unit suffix", with_test(" size 1k\n count 1\n"), error_kind::bad_data, conversion},
        {"empty value", with_test(" size \"\"\n count 1\n"), error_kind::bad_data, conversion},
        {"negative size", with_test(" size -1\n count 1\n"), error_kind::bad_data, conversion},
        {"negative count", with_test(" size 1\n count -5\n"), error_kind::bad_data,
         conversion},
        {"quoted negative with blanks", with_test(" size \" -1 \"\n count 1\n"),
         error_kind::bad_data, conversion},
        {"minus zero", with_test(" size -0\n count 1\n"), error_kind::bad_data, conversion},
        {"past 64 bits", with_test(" size 18446744073709551616\n count 1\n"),
         error_kind::bad_data, conversion},
        {"fraction", with_test(" size 1\n count 1.5\n"), error_kind::bad_data, conversion},
        // Files that would be read for ever or without bound.
        {"include of a device", "tests {\n#include \"/dev/zero\"\n}\n", error_kind::parse,
         "{path}(2): cannot open include file /dev/zero"},
        {"recursive include", "tests {\n#include \"{path}\"\n}\n", error_kind::parse,
         "{path}(2): include depth too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        const std::string path = dir.path() + (c.content ? "/suite.cfg" : "/missing.cfg");
        if (c.content) {
            std::string content = *c.content;
            if (const auto at = content.find("{path}"); at != std::string::npos)
                content.replace(at, 6, path);
            dir.write("suite.cfg", content);
        }
        std::string expected = c.message;
        if (expected.compare(0, 6, "{path}") == 0) expected = path + expected.substr(6);

        const std::string message = failure_of([&] { bench::load_test_suite(path); }, c.kind);
        if (c.kind == error_kind::plain || c.kind == error_kind::bad_path)
            EXPECT_EQ(message, expected);
        else
            EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
    }
}

}  // namespace
