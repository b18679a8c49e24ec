// The command line: option values and defaults, the host:port grammar, the
// default report name, the report-path check, and the error exits.

#include <bench/clients/options.hpp>
#include <bench/command_line.hpp>
#include <bench/version.hpp>

#include <support/process.hpp>

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;
namespace errc = boost::system::errc;

// Error codes are compared by meaning: the system and generic categories
// both carry errno values.
boost::system::error_condition condition(errc::errc_t value) {
    return errc::make_error_condition(value);
}

std::string quoted_regex(const std::string& text) {
    static const std::string special = "\\^$.|?*+()[]{}";
    std::string out;
    for (char c : text) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

bench::run_settings parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"kvbench"};
    for (const auto& arg : args) argv.push_back(arg.c_str());
    return bench::parse_command_line(static_cast<int>(argv.size()), argv.data());
}

// Drops root's right to write anywhere, for the checks of unwritable paths.
// Returns false when that is not possible.
bool drop_root() { return ::geteuid() != 0 || ::setuid(65534) == 0; }

class command_line : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        suite = dir.write("suite.cfg", "tests\n{\n}\n");
        report = dir.path() + "/report.csv";
    }

    // Puts this fixture's paths in place of {suite}, {report} and {dir}.
    std::vector<std::string> expand(std::vector<std::string> args) const {
        const std::pair<std::string, std::string> names[] = {
            {"{suite}", suite}, {"{report}", report}, {"{dir}", dir.path()}};
        for (auto& arg : args) {
            for (const auto& [name, value] : names) {
                for (auto at = arg.find(name); at != std::string::npos;
                     at = arg.find(name, at + value.size()))
                    arg.replace(at, name.size(), value);
            }
        }
        return args;
    }

    // What parse_arguments made of a command line and printed.
    struct printed_outcome {
        bench::command_line_outcome outcome;
        std::string out;
        std::string err;
    };
    printed_outcome parse_printed(const std::vector<std::string>& args) const {
        std::vector<const char*> argv{"kvbench"};
        for (const auto& arg : args) argv.push_back(arg.c_str());
        std::ostringstream out;
        std::ostringstream err;
        auto outcome = bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
        return {std::move(outcome), out.str(), err.str()};
    }

    kvtest::temp_dir dir;
    std::string suite;
    std::string report;
};

// Whether text holds the pieces in this order.
bool holds_in_order(const std::string& text, const std::vector<std::string>& pieces) {
    std::size_t at = 0;
    for (const auto& piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos) return false;
        at += piece.size();
    }
    return true;
}

TEST_F(command_line, defaults_apply_to_every_option_not_given) {
    const auto settings = parse(expand({"-f", "{suite}"}));
    EXPECT_EQ(settings.daemon.tcp().address().to_string(), "127.0.0.1");
    EXPECT_EQ(settings.daemon.tcp().port(), 2836);
    EXPECT_EQ(settings.protocol, bench::protocol_type::nox);
    EXPECT_EQ(settings.threads, 1);
    EXPECT_EQ(settings.test_file, suite);
    EXPECT_TRUE(std::regex_match(settings.report_file,
                                 std::regex(R"(report_\d{4}_\d{2}_\d{2}-\d{2}_\d{2}_\d{2}\.csv)")))
        << settings.report_file;
    EXPECT_FALSE(settings.strict || settings.lockstep || settings.percentiles);
    EXPECT_EQ(settings.json_file, "");
    EXPECT_FALSE(settings.rate);
}

TEST_F(command_line, without_arguments_the_suite_is_test_cfg_in_the_current_directory) {
    dir.write("test.cfg", "tests\n{\n}\n");
    EXPECT_EXIT(
        {
            if (::chdir(dir.path().c_str()) != 0) std::exit(3);
            const auto settings = parse({});
            std::exit(settings.test_file == "test.cfg" && settings.threads == 1 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(command_line, every_option_takes_its_value) {
    const std::string out = dir.path() + "/out/run1.csv";
    const std::string auth = dir.write("auth", "bench secret words\r\nsecond line\n");
    const std::string json = dir.path() + "/json/run.json";
    const auto settings = parse({"--daemon", "10.0.0.1:80", "--protocol", "redis", "--threads",
                                 "100", "--test-file", suite, "--output-file", out,
                                 "--auth-file", auth, "--strict", "--lockstep", "-j", json, "-p"});
    EXPECT_EQ(settings.daemon.tcp().address().to_string(), "10.0.0.1");
    EXPECT_EQ(settings.daemon.tcp().port(), 80);
    EXPECT_EQ(settings.protocol, bench::protocol_type::redis);
    EXPECT_EQ(settings.threads, 100);
    EXPECT_EQ(settings.test_file, suite);
    EXPECT_EQ(settings.report_file, out);
    EXPECT_TRUE(fs::is_directory(dir.path() + "/out"));
    ASSERT_TRUE(settings.clients.redis_login);
    EXPECT_EQ(settings.clients.redis_login->user, "bench");
    EXPECT_EQ(settings.clients.redis_login->password, "secret words");
    EXPECT_TRUE(settings.strict && settings.lockstep && settings.percentiles);
    EXPECT_EQ(settings.json_file, json);
    EXPECT_TRUE(fs::is_directory(dir.path() + "/json"));
}

TEST_F(command_line, rate_is_a_positive_decimal_number_up_to_ten_million) {
    const std::pair<const char*, double> good[] = {
        {"2.5", 2.5}, {"10000000", 1e7}, {".5", 0.5}, {"7.", 7}, {"2e4", 20000}};
    for (const auto& [text, rate] : good)
        EXPECT_EQ(parse(expand({"-f", "{suite}", "-o", "{report}", "--rate", text})).rate, rate);
    for (const char* text : {"0", "0.0", "-5", "fast", "10000000.5", "1e400", "inf", "nan", " 5",
                             "0x10"}) {
        SCOPED_TRACE(text);
        EXPECT_EXIT(parse(expand({"-f", "{suite}", "-o", "{report}", "--rate", text})),
                    ::testing::ExitedWithCode(1),
                    quoted_regex(std::string("Error: the argument ('") + text +
                                 "') for option '--rate' is invalid"));
    }
}

TEST_F(command_line, interval_is_a_decimal_number_of_seconds_from_a_tenth_to_a_day) {
    EXPECT_FALSE(parse(expand({"-f", "{suite}", "-o", "{report}"})).interval);
    const std::pair<const char*, double> good[] = {
        {"0.1", 0.1}, {"1", 1}, {".25", 0.25}, {"2e1", 20}, {"86400", 86400}};
    for (const auto& [text, seconds] : good)
        EXPECT_EQ(parse(expand({"-f", "{suite}", "-o", "{report}", "--interval", text})).interval,
                  seconds);
    for (const char* text : {"0.09", "0", "-1", "1s", "86400.5", "inf", "nan"}) {
        SCOPED_TRACE(text);
        EXPECT_EXIT(parse(expand({"-f", "{suite}", "-o", "{report}", "--interval", text})),
                    ::testing::ExitedWithCode(1),
                    quoted_regex(std::string("Error: the argument ('") + text +
                                 "') for option '--interval' is invalid"));
    }
}

TEST_F(command_line, connections_and_pipeline_are_whole_numbers_within_their_bounds) {
    const auto settings = parse(expand({"-f", "{suite}", "-o", "{report}", "--protocol", "redis",
                                        "--connections", "1000", "--pipeline", "1024"}));
    EXPECT_EQ(settings.connections, 1000u);
    EXPECT_EQ(settings.pipeline, 1024u);
    EXPECT_TRUE(settings.pipelined());
    EXPECT_FALSE(parse(expand({"-f", "{suite}", "-o", "{report}"})).pipelined());
    const std::pair<const char*, const char*> bad[] = {
        {"--connections", "0"}, {"--connections", "1001"}, {"--pipeline", "1025"},
        {"--pipeline", "-1"},   {"--pipeline", "2.0"},     {"--connections", " 2"},
        {"--pipeline", "99999999999"}};
    for (const auto& [option, text] : bad) {
        SCOPED_TRACE(std::string(option) + " " + text);
        EXPECT_EXIT(parse(expand({"-f", "{suite}", "-o", "{report}", "--protocol", "memcached",
                                  option, text})),
                    ::testing::ExitedWithCode(1),
                    quoted_regex(std::string("Error: the argument ('") + text + "') for option '" +
                                 option + "' is invalid"));
    }
}

TEST_F(command_line, daemon_takes_a_comma_separated_list_whose_first_endpoint_is_the_daemon) {
    const std::string localhost = bench::endpoint_text(bench::parse_endpoint("localhost:3").first);
    struct list_case {
        std::vector<std::string> args;
        std::vector<std::string> servers;  // endpoint_text of each; empty: one endpoint
        bool cluster;
    };
    const list_case cases[] = {
        {{"--protocol", "memcached", "--daemon", "10.0.0.1:1,[::1]:2,localhost:3,unix:/m.sock"},
         {"10.0.0.1:1", "[::1]:2", localhost, "unix:/m.sock"},
         false},
        {{"--protocol", "memcached", "--daemon", "unix:/a.sock,10.0.0.1:80x"},
         {"unix:/a.sock", "10.0.0.1:80"},
         false},
        {{"--protocol", "redis", "--cluster", "--daemon", "10.0.0.1:7000,10.0.0.2:7000"},
         {"10.0.0.1:7000", "10.0.0.2:7000"},
         true},
        {{"--protocol", "redis", "--cluster", "--daemon", "10.0.0.1:7000"}, {}, true},
        {{"--protocol", "memcached", "--daemon", "10.0.0.1:11211"}, {}, false},
        {{"--protocol", "memcached", "--daemon", "10.0.0.1:1,10.0.0.2:1", "--connections", "1",
          "--pipeline", "1"},
         {"10.0.0.1:1", "10.0.0.2:1"},
         false},
        // A pool's pipelined connections reach every server.
        {{"--protocol", "memcached", "--daemon", "10.0.0.1:1,10.0.0.2:2", "--connections", "2"},
         {"10.0.0.1:1", "10.0.0.2:2"},
         false},
        {{"--protocol", "memcached", "--daemon", "10.0.0.1:1,10.0.0.2:2", "--pipeline", "8"},
         {"10.0.0.1:1", "10.0.0.2:2"},
         false},
        // A cluster's, every master.
        {{"--protocol", "redis", "--cluster", "--daemon", "10.0.0.1:7000,10.0.0.2:7000",
          "--pipeline", "4"},
         {"10.0.0.1:7000", "10.0.0.2:7000"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = expand({"-f", "{suite}", "-o", "{report}"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto settings = parse(args);
        std::vector<std::string> servers;
        for (const auto& server : settings.clients.servers)
            servers.push_back(bench::endpoint_text(server));
        EXPECT_EQ(servers, c.servers);
        if (!servers.empty()) {
            EXPECT_EQ(bench::endpoint_text(settings.daemon), servers.front());
        }
        EXPECT_EQ(settings.clients.redis_cluster, c.cluster);
    }
}

TEST(read_redis_credentials, takes_a_password_or_a_user_and_a_password_from_the_first_line) {
    kvtest::temp_dir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const char* const no_password = "its first line holds neither a password nor a user name and a password";
    struct auth_case {
        const char* content;  // nullptr: the path is `special` instead
        const char* user;
        const char* password;  // nullptr: refused with the failure below
        const char* failure;
        ::mode_t mode;         // the file's permissions
        std::string special;   // a path that is no regular file
    };
    const auth_case cases[] = {
        {"secret", "", "secret", "", 0600, ""},
        {"s3cr3t!#\r\nsecond line\n", "", "s3cr3t!#", "", 0600, ""},
        {"default pass word\n", "default", "pass word", "", 0600, ""},
        {"", nullptr, nullptr, no_password, 0600, ""},
        {"\r\nsecret\n", nullptr, nullptr, no_password, 0600, ""},
        {" secret\n", nullptr, nullptr, no_password, 0600, ""},
        {"bench \n", nullptr, nullptr, no_password, 0600, ""},
        {nullptr, nullptr, nullptr, "Is a directory", 0600, dir.path()},
        // Opening a FIFO for reading would wait for a writer that never comes.
        {nullptr, nullptr, nullptr, "not a regular file", 0600, fifo},
        {nullptr, nullptr, nullptr, "not a regular file", 0600, "/dev/null"},
        {"secret", "", "secret", "", 0640, ""},
        {"secret", "", "secret", "", 0602, ""},
        {"secret", "", "secret", "", 0400, ""},
    };
    for (const auto& c : cases) {
        const std::string path = c.content ? dir.write("auth", c.content) : c.special;
        SCOPED_TRACE(c.content ? c.content : path);
        if (c.content) {
            ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        }
        std::ostringstream warnings;
        try {
            const auto login = bench::read_redis_credentials(path, warnings);
            ASSERT_NE(c.password, nullptr);
            EXPECT_EQ(login.user, c.user);
            EXPECT_EQ(login.password, c.password);
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(c.password, nullptr);
            EXPECT_EQ(error.what(), "cannot read the auth file " + path + ": " + c.failure);
        }
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
        const bool open_to_others = c.content && (c.mode & 077) != 0;
        EXPECT_EQ(warnings.str(), open_to_others ? "Warning: other users have access to the auth file " +
                                                       path + " (mode " + mode + ")\n"
                                                 : "");
    }
}

TEST_F(command_line, an_auth_file_open_to_others_gets_one_warning_and_the_run_goes_on) {
    const std::string auth = dir.write("auth", "secret\n");
    ASSERT_EQ(::chmod(auth.c_str(), 0644), 0);
    const std::vector<std::string> args =
        expand({"-f", "{suite}", "-o", "{report}", "--protocol", "redis", "--auth-file", auth});
    std::vector<const char*> argv{"kvbench"};
    for (const auto& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out;
    std::ostringstream err;
    const auto outcome =
        bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
    ASSERT_TRUE(outcome.settings) << err.str();
    EXPECT_EQ(err.str(), "Warning: other users have access to the auth file " + auth + " (mode 0644)\n");
    EXPECT_EQ(out.str(), "");
}

TEST_F(command_line, protocol_names_map_to_their_numbers) {
    const std::pair<const char*, bench::protocol_type> cases[] = {
        {"local", bench::protocol_type::local},
        {"nox", bench::protocol_type::nox},
        {"memcached", bench::protocol_type::memcached},
        {"redis", bench::protocol_type::redis},
    };
    for (const auto& [name, protocol] : cases) {
        EXPECT_EQ(parse(expand({"--protocol", name, "-f", "{suite}", "-o", "{report}"})).protocol,
                  protocol)
            << name;
    }
}

TEST_F(command_line, a_suite_path_naming_a_directory_passes_the_check) {
    EXPECT_EQ(parse(expand({"-f", "{dir}", "-o", "{report}"})).test_file, dir.path());
}

struct failing_case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> err;  // pieces expected on stderr, in this order
};

TEST_F(command_line, bad_command_lines_print_the_error_and_exit) {
    // Other names of the suite and of an auth file, and paths that lead nowhere.
    const std::string auth = dir.write("auth", "secret\n");
    ASSERT_EQ(::chmod(auth.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(suite.c_str(), (dir.path() + "/suite-link").c_str()), 0);
    ASSERT_EQ(::link(suite.c_str(), (dir.path() + "/suite-hard").c_str()), 0);
    ASSERT_EQ(::symlink("auth", (dir.path() + "/auth-link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere/run.csv", (dir.path() + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("loop", (dir.path() + "/loop").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
    const std::vector<std::string> redis_auth = {"--protocol", "redis", "--auth-file", "{dir}/auth"};
    const auto with_auth = [&redis_auth](std::vector<std::string> args) {
        args.insert(args.end(), redis_auth.begin(), redis_auth.end());
        return args;
    };
    const failing_case cases[] = {
        {"unknown option", {"--bogus", "-f", "{suite}"}, 1, {"Error: ", "unrecognised option"}},
        {"missing value", {"-f", "{suite}", "--threads"}, 1,
         {"Error: ", "the required argument for option '--threads' is missing"}},
        {"threads not a number", {"-f", "{suite}", "--threads", "x"}, 1,
         {"Error: the argument ('x') for option '--threads' is invalid"}},
        {"option given twice", {"-f", "{suite}", "--threads", "2", "--threads", "3"}, 1,
         {"Error: ", "'--threads' cannot be specified more than once"}},
        {"daemon without port", {"-f", "{suite}", "--daemon", "10.0.0.1"}, 1,
         {"Error: the argument ('10.0.0.1') for option '--daemon' is invalid"}},
        {"daemon without host", {"-f", "{suite}", "--daemon", ":80"}, 1,
         {"Error: the argument (':80') for option '--daemon' is invalid"}},
        {"daemon port too large", {"-f", "{suite}", "--daemon", "10.0.0.1:65536"}, 1,
         {"Error: the argument ('10.0.0.1:65536') for option '--daemon' is invalid"}},
        {"protocol names are case-sensitive", {"-f", "{suite}", "--protocol", "Redis"}, 1,
         {"Error: the argument ('Redis') for option '--protocol' is invalid"}},
        {"no threads", {"-f", "{suite}", "-o", "{report}", "--threads", "0"}, 1,
         {"Invalid threads count (0) specified", "Error: Invalid threads count specified"}},
        {"too many threads", {"-f", "{suite}", "-o", "{report}", "--threads", "101"}, 1,
         {"Invalid threads count (101) specified", "Error: Invalid threads count specified"}},
        {"negative threads", {"-f", "{suite}", "-o", "{report}", "--threads", "-4"}, 1,
         {"Invalid threads count (-4) specified", "Error: Invalid threads count specified"}},
        {"report path is a directory", {"-f", "{suite}", "-o", "{dir}"}, 1,
         {"The path to the configuration file is invalid: Invalid argument: {dir}\n",
          "Error: Invalid path to report file"}},
        {"report path is a dangling link", {"-f", "{suite}", "-o", "{dir}/dangling"}, 1,
         {"The path to the configuration file is invalid: No such file or directory: "
          "{dir}/dangling\n",
          "Error: Invalid path to report file"}},
        {"report path is a loop of links", {"-f", "{suite}", "-o", "{dir}/loop"}, 1,
         {"The path to the configuration file is invalid: Too many levels of symbolic links: "
          "{dir}/loop\n",
          "Error: Invalid path to report file"}},
        {"report path is empty", {"-f", "{suite}", "-o", ""}, 1,
         {"The path to the configuration file is invalid: No such file or directory: \"\"\n",
          "Error: Invalid path to report file"}},
        {"report over the suite", {"-f", "{suite}", "-o", "{suite}"}, 1,
         {"Error: The report file and the test file are the same file"}},
        {"report over the suite spelt otherwise", {"-f", "{suite}", "-o", "{dir}/./suite.cfg"}, 1,
         {"Error: The report file and the test file are the same file"}},
        {"report over the suite through a link", {"-f", "{suite}", "-o", "{dir}/suite-link"}, 1,
         {"Error: The report file and the test file are the same file"}},
        {"report over a hard link of the suite", {"-f", "{dir}/suite-hard", "-o", "{suite}"}, 1,
         {"Error: The report file and the test file are the same file"}},
        {"JSON report over the suite", {"-f", "{suite}", "-o", "{report}", "-j", "{suite}"}, 1,
         {"Error: The JSON report and the test file are the same file"}},
        {"JSON report over the suite through a link",
         {"-f", "{suite}", "-o", "{report}", "-j", "{dir}/suite-link"}, 1,
         {"Error: The JSON report and the test file are the same file"}},
        {"report over the auth file", with_auth({"-f", "{suite}", "-o", "{dir}/auth"}), 1,
         {"Error: The report file and the auth file are the same file"}},
        {"JSON report over the auth file through a link",
         with_auth({"-f", "{suite}", "-o", "{report}", "-j", "{dir}/auth-link"}), 1,
         {"Error: The JSON report and the auth file are the same file"}},
        {"JSON path is empty", {"-f", "{suite}", "-o", "{report}", "-j", ""}, 1,
         {"The path to the JSON report is invalid: No such file or directory: \"\"\n",
          "Error: Invalid path to JSON report"}},
        {"JSON path is a dangling link", {"-f", "{suite}", "-o", "{report}", "-j", "{dir}/dangling"},
         1,
         {"The path to the JSON report is invalid: No such file or directory: {dir}/dangling\n",
          "Error: Invalid path to JSON report"}},
        {"stray words", {"-f", "{suite}", "-o", "{report}", "stray", "words"}, 1,
         {"Error: unexpected argument 'stray'\n"}},
        {"a stray word before the options", {"stray", "-f", "{suite}", "-o", "{report}"}, 1,
         {"Error: unexpected argument 'stray'\n"}},
        {"a stray word after --", {"-f", "{suite}", "-o", "{report}", "--", "--threads"}, 1,
         {"Error: unexpected argument '--threads'\n"}},
        {"a stray word with the help", {"--help", "stray"}, 1,
         {"Error: unexpected argument 'stray'\n"}},
        {"auth file is a FIFO",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "redis", "--auth-file", "{dir}/fifo"}, 1,
         {"Error: cannot read the auth file {dir}/fifo: not a regular file\n"}},
        {"suite file missing", {"-f", "{dir}/missing.cfg", "-o", "{report}"}, 1,
         {"Error: The test file cannot be found or acceded"}},
        {"JSON path is a directory", {"-f", "{suite}", "-o", "{report}", "-j", "{dir}"}, 1,
         {"The path to the JSON report is invalid: Invalid argument",
          "Error: Invalid path to JSON report"}},
        {"JSON report over the report", {"-f", "{suite}", "-o", "{report}", "-j", "{report}"}, 1,
         {"Error: The JSON report and the report file are the same file"}},
        {"help with a bad option", {"--help", "--bogus"}, 1, {"Error: ", "unrecognised option"}},
        {"nox on a UNIX socket", {"-f", "{suite}", "-o", "{report}", "--daemon", "unix:/x.sock"}, 1,
         {"Error: the nox protocol needs a host:port endpoint"}},
        {"auth file missing",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "redis", "--auth-file", "{dir}/none"}, 1,
         {"Error: cannot read the auth file ", "/none: No such file or directory"}},
        {"auth file for another protocol",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--auth-file", "{suite}"}, 1,
         {"Error: the auth file is used by the redis protocol only"}},
        {"connections for local", {"-f", "{suite}", "-o", "{report}", "--protocol", "local",
                                   "--connections", "2"}, 1,
         {"Error: --connections and --pipeline are used by the memcached and redis protocols only"}},
        {"pipeline for nox", {"-f", "{suite}", "-o", "{report}", "--pipeline", "1"}, 1,
         {"Error: --connections and --pipeline are used by the memcached and redis protocols only"}},
        {"empty item in a daemon list",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--daemon",
          "10.0.0.1:1,,10.0.0.2:2"},
         1, {"Error: the --daemon list '10.0.0.1:1,,10.0.0.2:2' has an empty item\n"}},
        {"daemon list ending in a comma",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--daemon", "10.0.0.1:1,"},
         1, {"Error: the --daemon list '10.0.0.1:1,' has an empty item\n"}},
        {"daemon list starting with a comma",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--daemon", ",10.0.0.1:1"},
         1, {"Error: the --daemon list ',10.0.0.1:1' has an empty item\n"}},
        {"bad item in a daemon list",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--daemon",
          "10.0.0.1:1,10.0.0.2"},
         1, {"Error: the argument ('10.0.0.2') for option '--daemon' is invalid"}},
        {"endpoint twice in a daemon list",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--daemon",
          "10.0.0.1:1,10.0.0.2:2,10.0.0.1:01"},
         1, {"Error: the --daemon list '10.0.0.1:1,10.0.0.2:2,10.0.0.1:01' names 10.0.0.1:1 twice"}},
        {"daemon list for nox", {"-f", "{suite}", "-o", "{report}", "--daemon", "10.0.0.1:1,10.0.0.2:2"},
         1, {"Error: the nox protocol takes one endpoint\n"}},
        {"daemon list for local",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "local", "--daemon",
          "10.0.0.1:1,10.0.0.2:2"},
         1, {"Error: the local protocol takes one endpoint\n"}},
        {"daemon list for nox with a UNIX socket",
         {"-f", "{suite}", "-o", "{report}", "--daemon", "10.0.0.1:1,unix:/x.sock"}, 1,
         {"Error: the nox protocol needs a host:port endpoint"}},
        {"daemon list for redis without --cluster",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "redis", "--daemon",
          "10.0.0.1:1,10.0.0.2:2"},
         1, {"Error: the redis protocol takes a list of endpoints with --cluster only\n"}},
        {"cluster for memcached",
         {"-f", "{suite}", "-o", "{report}", "--protocol", "memcached", "--cluster"}, 1,
         {"Error: --cluster is used by the redis protocol only\n"}},
        {"cluster for nox", {"-f", "{suite}", "-o", "{report}", "--cluster"}, 1,
         {"Error: --cluster is used by the redis protocol only\n"}},
        {"help", {"--help", "--threads", "0"}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto printed = parse_printed(expand(c.args));
        EXPECT_FALSE(printed.outcome.settings);
        EXPECT_EQ(printed.outcome.exit_status, c.status);
        if (c.err.empty()) {
            EXPECT_EQ(printed.err, "");
        }
        EXPECT_TRUE(holds_in_order(printed.err, expand(c.err))) << printed.err;
        EXPECT_EQ(printed.out.rfind("Allowed options:", 0), 0u) << printed.out;
    }
    // Nothing that the run reads was written over.
    EXPECT_EQ(dir.read("suite.cfg"), "tests\n{\n}\n");
    EXPECT_EQ(dir.read("auth"), "secret\n");
}

TEST_F(command_line, parse_arguments_reports_the_exit_instead_of_ending_the_process) {
    struct exit_case {
        std::vector<std::string> args;
        int status;
        bool help;
        const char* err;
    };
    const exit_case cases[] = {
        {{"--help"}, 0, true, ""},
        {{"--threads", "0", "-f", "{suite}", "-o", "{report}"}, 1, true,
         "Invalid threads count (0) specified\nError: Invalid threads count specified\n"},
        {{"--protocol", "%value%"}, 1, true,
         "Error: the argument ('%value%') for option '--protocol' is invalid\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const std::vector<std::string> args = expand(c.args);
        std::vector<const char*> argv{"kvbench"};
        for (const auto& arg : args) argv.push_back(arg.c_str());
        std::ostringstream out;
        std::ostringstream err;
        const auto outcome =
            bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
        EXPECT_FALSE(outcome.settings);
        EXPECT_EQ(outcome.exit_status, c.status);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_EQ(out.str().rfind("Allowed options:", 0) == 0, c.help) << out.str();
    }
}

TEST_F(command_line, version_prints_the_program_and_its_version_and_the_help_lists_it) {
    struct printed {
        int status;
        std::string out;
        std::string err;
    };
    const auto run = [](std::vector<const char*> argv) {
        argv.insert(argv.begin(), "kvbench");
        std::ostringstream out;
        std::ostringstream err;
        const auto outcome =
            bench::parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
        EXPECT_FALSE(outcome.settings);
        return printed{outcome.exit_status, out.str(), err.str()};
    };
    const printed version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kvbench " + std::string(bench::version()) + "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(std::regex_match(bench::version(), std::regex(R"(\d+\.\d+\.\d+)")));

    const printed help = run({"--help"});
    EXPECT_NE(help.out.find("General:\n"
                            "  --help                                Display these help information.\n"
                            "  --version                             Display the version and exit.\n"),
              std::string::npos)
        << help.out;

    const printed bad = run({"--version", "--bogus"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err.rfind("Error: ", 0), 0u) << bad.err;
}

TEST(parse_endpoint, grammar_and_printed_form) {
    const std::string longest_path(sizeof(sockaddr_un{}.sun_path) - 1, 'p');
    struct endpoint_case {
        std::string text;
        std::string printed;  // empty: rejected with EINVAL
    };
    const endpoint_case cases[] = {
        {"10.0.0.1:80", "10.0.0.1:80"},
        {"10.0.0.1:80x", "10.0.0.1:80"},
        {"10.0.0.1:00080", "10.0.0.1:80"},
        {"10.0.0.1:0", "10.0.0.1:0"},
        {"10.0.0.1:65535", "10.0.0.1:65535"},
        {"10.0.0.1:65536", ""},
        {"10.0.0.1:99999999999999999999", ""},
        {"10.0.0.1", ""},
        {"10.0.0.1:", ""},
        {"10.0.0.1:x80", ""},
        {"10.0.0.1: 80", ""},
        {"10.0.0.1:-1", ""},
        {":80", ""},
        {"", ""},
        {"a:b:80", ""},
        {"h\xc3\xa9:80", ""},
        {"[::1]:6379", "[::1]:6379"},
        {"[2001:DB8::1]:00080", "[2001:db8::1]:80"},
        {"[::ffff:10.0.0.1]:1", "[::ffff:10.0.0.1]:1"},
        {"[::1]:80x", ""},
        {"[::1]:65536", ""},
        {"[::1]", ""},
        {"[::1]:", ""},
        {"[::1:80", ""},
        {"[]:80", ""},
        {"[10.0.0.1]:80", ""},
        {"[localhost]:80", ""},
        {"unix:/run/redis.sock", "unix:/run/redis.sock"},
        {"unix:relative/memcached.sock", "unix:relative/memcached.sock"},
        {"unix:" + longest_path, "unix:" + longest_path},
        {"unix:" + longest_path + "p", ""},
        {"unix:", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto [endpoint, error] = bench::parse_endpoint(c.text);
        if (!c.printed.empty()) {
            ASSERT_FALSE(error) << error.message();
            EXPECT_EQ(bench::endpoint_text(endpoint), c.printed);
        } else {
            EXPECT_EQ(error, condition(errc::invalid_argument));
        }
    }
}

TEST(parse_endpoint, host_names_are_resolved) {
    const auto [endpoint, error] = bench::parse_endpoint("localhost:80");
    ASSERT_FALSE(error) << error.message();
    EXPECT_TRUE(endpoint.tcp().address().is_loopback()) << endpoint.tcp().address().to_string();
    EXPECT_EQ(endpoint.tcp().port(), 80);

    const auto [unused, unknown] = bench::parse_endpoint("no-such-host.invalid:80");
    EXPECT_TRUE(unknown);
    EXPECT_NE(unknown, condition(errc::invalid_argument));

    // "unix:" and a digit still names a host called unix and a port.
    const auto [named_unix, named_unix_error] = bench::parse_endpoint("unix:6379");
    if (named_unix_error) {
        EXPECT_NE(named_unix_error, condition(errc::invalid_argument));
    } else {
        EXPECT_FALSE(named_unix.is_unix_socket());
    }
}

TEST(parse_endpoint, a_name_with_only_ipv6_addresses_is_resolved) {
    // Debian names the IPv6 loopback ip6-localhost in /etc/hosts.
    addrinfo* found = nullptr;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    if (::getaddrinfo("ip6-localhost", nullptr, &hints, &found) != 0)
        GTEST_SKIP() << "ip6-localhost does not resolve on this machine";
    bool only_ipv6 = true;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) only_ipv6 &= a->ai_family == AF_INET6;
    ::freeaddrinfo(found);
    if (!only_ipv6) GTEST_SKIP() << "ip6-localhost has an IPv4 address on this machine";
    const auto [endpoint, error] = bench::parse_endpoint("ip6-localhost:80");
    ASSERT_FALSE(error) << error.message();
    EXPECT_EQ(bench::endpoint_text(endpoint), "[::1]:80");
}

std::string local_name(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "report_%Y_%m_%d-%H_%M_%S.csv", &local);
    return text;
}

TEST(make_report_file_name, is_the_local_time_to_the_second) {
    const std::time_t before = std::time(nullptr);
    const std::string name = bench::make_report_file_name();
    const std::time_t after = std::time(nullptr);
    std::set<std::string> possible;
    for (std::time_t t = before; t <= after; ++t) possible.insert(local_name(t));
    EXPECT_EQ(possible.count(name), 1u) << name;
}

bool is_empty_directory(const std::string& path) {
    return fs::is_directory(path) && fs::directory_iterator(path) == fs::directory_iterator();
}

TEST(check_report_path, accepts_writable_places_and_leaves_nothing_behind) {
    kvtest::temp_dir dir;

    EXPECT_FALSE(bench::check_report_path(dir.path() + "/run.csv"));
    EXPECT_TRUE(is_empty_directory(dir.path())) << "the probe file was left behind";

    const std::string existing = dir.write("existing.csv", "keep me");
    EXPECT_FALSE(bench::check_report_path(existing));
    EXPECT_EQ(dir.read("existing.csv"), "keep me");
}

TEST(check_report_path, creates_missing_directories) {
    kvtest::temp_dir dir;
    const std::string path = dir.path() + "/out/nested/run1.csv";
    EXPECT_FALSE(bench::check_report_path(path));
    EXPECT_TRUE(is_empty_directory(dir.path() + "/out/nested"));
}

TEST(check_report_path, rejects_what_is_not_a_file_in_a_directory) {
    kvtest::temp_dir dir;
    const std::string file = dir.write("plain", "");
    EXPECT_EQ(bench::check_report_path(dir.path()), condition(errc::invalid_argument));
    EXPECT_EQ(bench::check_report_path(file + "/run.csv"), condition(errc::invalid_argument));
}

TEST(check_report_path, rejects_a_directory_it_cannot_write) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kvtest::temp_dir dir;
    const std::string locked = dir.path() + "/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    // In a child process, which may give up root so that permissions apply.
    EXPECT_EXIT(
        {
            if (!drop_root()) std::exit(3);
            const auto error = bench::check_report_path(locked + "/run.csv");
            std::exit(error == condition(errc::permission_denied) ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(is_empty_directory(locked));
}

TEST(check_report_path, never_touches_a_file_that_has_the_probe_name) {
    kvtest::temp_dir dir;
    dir.write("taken", "not the probe's");

    std::vector<std::string> names{"taken", "taken", "free"};
    std::size_t next = 0;
    EXPECT_FALSE(bench::detail::probe_directory(dir.path(), [&] { return names.at(next++); }));
    EXPECT_EQ(next, 3u);
    EXPECT_EQ(dir.read("taken"), "not the probe's");
    EXPECT_FALSE(fs::exists(dir.path() + "/free"));

    EXPECT_EQ(bench::detail::probe_directory(dir.path(), [] { return std::string("taken"); }),
              condition(errc::file_exists));
    EXPECT_EQ(dir.read("taken"), "not the probe's");
}

}  // namespace
