// The kvbench executable with the in-process local protocol: the framing of a
// run, the report rows of one and of several threads, the hand-over of more
// results than the queue holds, how every kind of error ends a run, and how a
// run stops on a signal.

#include <support/fake_server.hpp>
#include <support/json_report.hpp>
#include <support/process.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using args = std::vector<std::string>;

const std::string quick_suite = std::string(KVBENCH_SOURCE_DIR) + "/suites/quick.cfg";
const std::string full_suite = std::string(KVBENCH_SOURCE_DIR) + "/suites/full.cfg";

kvtest::process_result kvbench(const args& arguments, const std::string& cwd = {}) {
    auto result = kvtest::run_process(kvtest::kvbench_path(), arguments, cwd, 60s);
    EXPECT_FALSE(result.timed_out) << "kvbench did not end";
    return result;
}

using kvtest::count_of;

// A suite of `tests` tests cycling through the kinds; test i has count i + 1
// so that every report row tells which test it came from.
std::string numbered_suite(int tests) {
    static const char* const kinds[] = {"single_put_multiple_get", "multiple_put",
                                        "multiple_put_remain", "multiple_put_get_delete",
                                        "multiple_put_get_update_delete"};
    std::ostringstream suite;
    suite << "tests\n{\n";
    for (int i = 0; i < tests; ++i)
        suite << "    " << kinds[i % 5] << "\n    {\n        size 16\n        count " << i + 1
              << "\n    }\n";
    suite << "}\n";
    return suite.str();
}

struct report_row {
    int thread;
    std::string description;
    long count;
};

// The rows of a report after checking its framing: the header first, and
// every line, the last one included, ended by CR LF.
std::vector<report_row> report_rows(const std::string& content) {
    static const std::string header =
        "thread;test description;iterations count;iteration size;mean time;median time;max;min;"
        "standard deviation;mean bandwidth;error of mean bandwidth\r\n";
    EXPECT_EQ(content.substr(0, header.size()), header);
    std::vector<report_row> rows;
    std::size_t at = header.size();
    while (at < content.size()) {
        const std::size_t end = content.find("\r\n", at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line not ended by CR LF: " << content.substr(at);
            break;
        }
        const std::string line = content.substr(at, end - at);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
        EXPECT_EQ(fields.size(), 11u) << line;
        if (fields.size() >= 3)
            rows.push_back({std::stoi(fields[0]), fields[1], std::stol(fields[2])});
        at = end + 2;
    }
    return rows;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) lines.push_back(line);
    return lines;
}

// An existing regular file (so the command line accepts it as the report)
// that cannot be written; none when this system offers no such file.
std::optional<std::string> unwritable_report(const kvtest::temp_dir& dir) {
    std::vector<std::string> candidates;
    if (::geteuid() != 0) {
        const std::string locked = dir.write("locked.csv", "");
        ::chmod(locked.c_str(), 0444);
        candidates.push_back(locked);
    }
    // Root writes through permissions, but a read-only kernel file refuses
    // writes from anyone.
    candidates.push_back("/proc/version");
    for (const auto& path : candidates) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        std::ofstream probe(path, std::ios::app);
        probe << "x" << std::flush;
        if (!probe) return path;
    }
    return std::nullopt;
}

TEST(kvbench_local, single_thread_run_frames_its_output_and_reports_in_suite_order) {
    kvtest::temp_dir dir;
    const auto run =
        kvbench({"--protocol", "local", "-f", quick_suite, "-o", "run.csv"}, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const std::string framing = "loading test file: " + quick_suite + "...\n" +
                                "connecting to 127.0.0.1:2836\n" +
                                "running 5 test(s) in a single thread...\n";
    EXPECT_EQ(run.out.substr(0, framing.size()), framing);
    EXPECT_EQ(count_of(run.out, " done on thread #0\n"), 5u);
    EXPECT_EQ(count_of(run.out, "0%   10   20"), 5u) << "one progress scale per test";
    EXPECT_EQ(run.out.find("All done!"), std::string::npos);

    const auto rows = report_rows(dir.read("run.csv"));
    ASSERT_EQ(rows.size(), 5u);
    const char* const order[] = {"once and getting it", "entries of 64.0 B", "do not remove them",
                                 "do the whole operation", "do the whole operation"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].thread, 0);
        EXPECT_NE(rows[i].description.find(order[i]), std::string::npos) << rows[i].description;
        EXPECT_NE(run.out.find("test " + rows[i].description + " done on thread #0"),
                  std::string::npos);
    }
}

TEST(kvbench_local, every_thread_runs_the_whole_suite) {
    kvtest::temp_dir dir;
    const auto run = kvbench(
        {"--protocol", "local", "--threads", "4", "-f", quick_suite, "-o", "run.csv"}, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const auto lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "running 5 test(s) in 4 thread...");
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_TRUE(
        std::regex_match(lines.back(), std::regex(R"(All done! Total elapsed time: \S+ ms)")))
        << lines.back();
    EXPECT_EQ(run.out.find("0%   10   20"), std::string::npos) << "no progress with threads";

    const auto rows = report_rows(dir.read("run.csv"));
    EXPECT_EQ(rows.size(), 20u);
    std::map<int, int> per_thread;
    for (const auto& row : rows) ++per_thread[row.thread];
    EXPECT_EQ(per_thread, (std::map<int, int>{{0, 5}, {1, 5}, {2, 5}, {3, 5}}));
    for (int thread = 0; thread < 4; ++thread)
        EXPECT_EQ(count_of(run.out, " done on thread #" + std::to_string(thread) + "\n"), 5u);
}

TEST(kvbench_local, more_results_than_the_queue_holds_all_arrive_once) {
    kvtest::temp_dir dir;
    const int tests = 50, threads = 3;
    dir.write("suite.cfg", numbered_suite(tests));
    const auto run = kvbench({"--protocol", "local", "--threads", std::to_string(threads), "-f",
                              "suite.cfg", "-o", "run.csv"},
                             dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;

    const auto rows = report_rows(dir.read("run.csv"));
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(tests * threads));
    EXPECT_EQ(count_of(run.out, " done on thread #"), rows.size());
    // Each thread's results arrive in suite order: counts 1, 2, ..., 50.
    std::map<int, long> last_count;
    for (const auto& row : rows) {
        EXPECT_EQ(row.count, last_count[row.thread] + 1) << "thread " << row.thread;
        last_count[row.thread] = row.count;
    }
    EXPECT_EQ(last_count, (std::map<int, long>{{0, tests}, {1, tests}, {2, tests}}));
}

TEST(kvbench_local, an_empty_suite_still_ends_both_passes) {
    kvtest::temp_dir dir;
    dir.write("empty.cfg", "tests\n{\n}\n");
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        const auto run = kvbench(
            {"--protocol", "local", "--threads", threads, "-f", "empty.cfg", "-o", "run.csv"},
            dir.path());
        ASSERT_EQ(run.exit_status, 0) << run.err;
        EXPECT_TRUE(report_rows(dir.read("run.csv")).empty());
        const bool multi = std::string(threads) != "1";
        EXPECT_NE(run.out.find(multi ? "running 0 test(s) in 2 thread...\n"
                                     : "running 0 test(s) in a single thread...\n"),
                  std::string::npos);
        EXPECT_EQ(run.out.find("All done! Total elapsed time: ") != std::string::npos, multi);
    }
}

TEST(kvbench_local, the_shipped_suites_run) {
    kvtest::temp_dir dir;
    const auto run =
        kvbench({"--protocol", "local", "-f", full_suite, "-o", "full.csv"}, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("running 10 test(s) in a single thread...\n"), std::string::npos);
    EXPECT_EQ(report_rows(dir.read("full.csv")).size(), 10u);
    EXPECT_EQ(count_of(run.out, " ### test in error "), 0u);
}

TEST(kvbench_local, the_default_report_is_named_after_the_local_time) {
    kvtest::temp_dir dir;
    const auto run = kvbench({"--protocol", "local", "-f", quick_suite}, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto listing = kvtest::run_process("/bin/ls", {dir.path()});
    EXPECT_TRUE(std::regex_match(
        listing.out, std::regex(R"(report_\d{4}_\d{2}_\d{2}-\d{2}_\d{2}_\d{2}\.csv\n)")))
        << listing.out;
}

TEST(kvbench_local, help_lists_the_options_in_their_groups) {
    const auto run = kvbench({"--help"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const char* const in_order[] = {"Allowed options:",
                                    "General:",
                                    "--help",
                                    "Display these help information.",
                                    "Networking:",
                                    "--daemon arg (=127.0.0.1:2836)",
                                    "Daemon's address and port to collect",
                                    "Testing:",
                                    "--protocol arg (=1)",
                                    "Protocol to test",
                                    "--threads arg (=1)",
                                    "Threads count",
                                    "-f [ --test-file ] arg (=test.cfg)",
                                    "Test suites configuration file",
                                    "-o [ --output-file ] arg (=report_",
                                    "Test file",
                                    "--strict",
                                    "--lockstep",
                                    "-j [ --json ] arg",
                                    "-p [ --percentiles ]",
                                    "--rate arg"};
    std::size_t at = 0;
    for (const char* piece : in_order) {
        const std::size_t found = run.out.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n"
                                            << run.out;
        at = found;
    }
}

TEST(kvbench_local, option_text_holding_a_placeholder_is_quoted_as_given) {
    const std::pair<const char*, const char*> cases[] = {
        {"-%original_token%", "unrecognised option '-%original_token%'"},
        {"--protocol=%value%", "the argument ('%value%') for option '--protocol' is invalid"},
        {"--daemon=%value%", "the argument ('%value%') for option '--daemon' is invalid"},
        {"--x%canonical_option%", "unrecognised option '--x%canonical_option%'"},
    };
    for (const auto& [argument, message] : cases) {
        SCOPED_TRACE(argument);
        const auto run = kvtest::run_process(kvtest::kvbench_path(), {argument}, {}, 10s);
        ASSERT_FALSE(run.timed_out) << "kvbench did not end";
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.err, std::string("Error: ") + message + "\n");
        EXPECT_NE(run.out.find("Allowed options:"), std::string::npos) << run.out;
    }
}

TEST(kvbench_local, errors_before_the_pass_end_the_run_with_status_1) {
    struct failing_run {
        const char* name;
        const char* suite;  // written as suite.cfg when not null
        args arguments;
        std::string err;    // exactly what standard error holds
        bool help;          // the help text follows on standard output
    };
    const failing_run cases[] = {
        {"unknown test kind", "tests {\n bogus {\n size 1\n count 1\n }\n}\n",
         {"-f", "suite.cfg"},
         "Error in benchmark: unknown test type: bogus (test 1 in suite.cfg, line 2)\n", false},
        {"negative count", "tests {\n multiple_put {\n size 1\n count -1\n }\n}\n",
         {"-f", "suite.cfg"}, "", false},
        {"missing suite file", nullptr, {"-f", "missing.cfg"},
         "Error: The test file cannot be found or acceded\n", true},
        {"no threads", nullptr, {"-f", quick_suite, "--threads", "0"},
         "Invalid threads count (0) specified\nError: Invalid threads count specified\n", true},
        {"too many threads", nullptr, {"-f", quick_suite, "--threads", "101"},
         "Invalid threads count (101) specified\nError: Invalid threads count specified\n", true},
        {"bad daemon", nullptr, {"-f", quick_suite, "--daemon", "localhost"},
         "Error: the argument ('localhost') for option '--daemon' is invalid\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        if (c.suite) dir.write("suite.cfg", c.suite);
        args arguments{"--protocol", "local", "-o", "run.csv"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto run = kvbench(arguments, dir.path());
        EXPECT_EQ(run.exit_status, 1);
        if (c.err.empty())
            EXPECT_EQ(run.err.rfind("Error in benchmark: conversion of data to type", 0), 0u)
                << run.err;
        else
            EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out.find("Allowed options:") != std::string::npos, c.help) << run.out;
        // Nothing runs, so no report is written.
        EXPECT_EQ(dir.read("run.csv"), "");
    }
}

TEST(kvbench_local, clients_that_cannot_connect_end_the_run_with_status_1) {
    const std::string daemon = "127.0.0.1:" + std::to_string(kvtest::closed_port());
    for (const int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        kvtest::temp_dir dir;
        const auto run = kvbench({"--protocol", "redis", "--daemon", daemon, "--threads",
                                  std::to_string(threads), "-f", quick_suite, "-o", "run.csv"},
                                 dir.path());
        EXPECT_EQ(run.exit_status, 1);
        // One line per thread whose client failed, and nothing else.
        EXPECT_EQ(count_of(run.err, "Error in benchmark: "), static_cast<std::size_t>(threads))
            << run.err;
        EXPECT_EQ(count_of(run.err, "\n"), static_cast<std::size_t>(threads)) << run.err;
        EXPECT_EQ(count_of(run.out, " done on thread #"), 0u);
        EXPECT_TRUE(report_rows(dir.read("run.csv")).empty());
    }
}

TEST(kvbench_local, threads_that_cannot_be_started_end_the_run_with_status_1) {
    // A process limit lets the first threads start and refuses the rest. Root
    // is not held to that limit, so root runs kvbench as nobody.
    const bool root = ::geteuid() == 0;
    const bool tools = ::access("/usr/bin/prlimit", X_OK) == 0 &&
                       (!root || ::access("/usr/bin/setpriv", X_OK) == 0);
    if (!tools) GTEST_SKIP() << "needs prlimit (and setpriv when run as root)";
    kvtest::temp_dir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const int tests = 20, threads = 8;
    // A long first test keeps the threads that started alive while the next
    // ones are started, so that the limit is reached however fast they run.
    std::string long_first = numbered_suite(tests);
    long_first.replace(long_first.find("count 1\n"), 8, "count 200000\n");
    const std::string suite = dir.write("suite.cfg", long_first);
    args command{"--nproc=4"};
    if (root)
        command.insert(command.end(),
                       {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    command.insert(command.end(), {kvtest::kvbench_path(), "--protocol", "local", "--threads",
                                   std::to_string(threads), "-f", suite, "-o",
                                   dir.path() + "/run.csv"});
    const auto run = kvtest::run_process("/usr/bin/prlimit", command, dir.path(), 60s);
    ASSERT_FALSE(run.timed_out) << "kvbench did not end";

    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err.rfind("Error in benchmark: ", 0), 0u) << run.err;
    EXPECT_EQ(count_of(run.err, "\n"), 1u) << run.err;
    EXPECT_EQ(run.out.find("All done!"), std::string::npos);
    // The threads that did start ran the whole suite, and all of it was reported.
    const auto rows = report_rows(dir.read("run.csv"));
    EXPECT_LT(rows.size(), static_cast<std::size_t>(tests * threads));
    EXPECT_EQ(rows.size() % tests, 0u);
    EXPECT_EQ(count_of(run.out, " done on thread #"), rows.size());
}

TEST(kvbench_local, a_report_that_cannot_be_written_is_named_and_fails_the_run) {
    kvtest::temp_dir dir;
    const auto report = unwritable_report(dir);
    if (!report) GTEST_SKIP() << "no unwritable regular file on this system";
    for (const char* threads : {"1", "3"}) {
        SCOPED_TRACE(threads);
        const auto run = kvbench(
            {"--protocol", "local", "--threads", threads, "-f", quick_suite, "-o", *report},
            dir.path());
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.err.rfind("cannot write report file " + *report + ": ", 0), 0u) << run.err;
        EXPECT_EQ(count_of(run.err, "\n"), 1u) << run.err;
        // The console output is complete all the same.
        EXPECT_EQ(count_of(run.out, " done on thread #"), 5u * std::stoul(threads));
    }
}

}  // namespace

namespace {

// Three tests; the second runs until it is stopped.
const char* const stoppable_suite = R"(tests
{
    multiple_put_get_delete { size 16 count 1000 }
    multiple_put_get_delete { size 16 count 1099511627776 }
    multiple_put_get_delete { size 16 count 1000 }
}
)";

TEST(kvbench_local, a_stopped_run_keeps_what_finished_and_exits_with_128_plus_the_signal) {
    for (const int signal : {SIGINT, SIGTERM}) {
        for (const int threads : {1, 4}) {
            SCOPED_TRACE(std::to_string(signal) + " on " + std::to_string(threads) + " threads");
            kvtest::temp_dir dir;
            dir.write("suite.cfg", stoppable_suite);
            // Once every thread reported its first test, a moment for all of
            // them to be well into the second.
            const auto in_the_second_test = [threads](const kvtest::process_result& so_far) {
                if (count_of(so_far.out, " done on thread #") < std::size_t(threads)) return false;
                std::this_thread::sleep_for(200ms);
                return true;
            };
            const auto run = kvtest::run_process(
                kvtest::kvbench_path(),
                {"--protocol", "local", "--threads", std::to_string(threads), "-f", "suite.cfg",
                 "-o", "run.csv", "--json", "run.json"},
                dir.path(), 60s, {{signal, in_the_second_test}});
            ASSERT_FALSE(run.timed_out) << "kvbench did not stop";
            EXPECT_EQ(run.signal, 0) << "ended by the signal instead of stopping";
            EXPECT_EQ(run.exit_status, 128 + signal) << run.err;
            EXPECT_EQ(count_of(run.err, "test failed: interrupted\n"), std::size_t(threads));

            // Every thread's first test finished, its second was cut short and
            // its third never started.
            std::size_t finished = 0, interrupted = 0;
            for (const auto& row : report_rows(dir.read("run.csv"))) {
                if (row.description.find(" 1000 times") != std::string::npos) ++finished;
                if (row.description.find(" 1099511627776 times") != std::string::npos)
                    ++interrupted;
            }
            EXPECT_EQ(finished, std::size_t(threads));
            EXPECT_EQ(interrupted, std::size_t(threads));
            EXPECT_EQ(count_of(run.out, " ### test in error "), std::size_t(threads));
            EXPECT_EQ(run.out.find("All done!"), std::string::npos);
            EXPECT_EQ(run.out.find("Interrupted! Total elapsed time: ") != std::string::npos,
                      threads > 1);

            // The JSON report holds the same results and says why the run ended.
            const auto report = nlohmann::json::parse(dir.read("run.json"));
            EXPECT_EQ(report["results"].size(), std::size_t(2 * threads));
            EXPECT_EQ(report["interrupted"], signal == SIGINT ? "SIGINT" : "SIGTERM");
            EXPECT_EQ(report["aggregates"][0]["threads"], threads);
            EXPECT_EQ(report["aggregates"][1]["failed_threads"], threads);
            EXPECT_EQ(report["aggregates"][2]["threads"], 0);
        }
    }
}

TEST(kvbench_local, a_second_interrupt_ends_the_process_at_once) {
    // A server that never answers holds the put for its 10 s time limit.
    kvtest::fake_server silent([](kvtest::fake_connection& connection) { connection.stall(30s); });
    kvtest::temp_dir dir;
    const auto started = std::chrono::steady_clock::now();
    // The first test's progress scale is out: the put is about to wait.
    const auto in_the_put = [](const kvtest::process_result& so_far) {
        if (so_far.out.find("|----|") == std::string::npos) return false;
        std::this_thread::sleep_for(300ms);
        return true;
    };
    const auto a_moment_later = [](const kvtest::process_result&) {
        std::this_thread::sleep_for(300ms);
        return true;
    };
    const auto run = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "redis", "--daemon", "127.0.0.1:" + std::to_string(silent.port()), "-f",
         quick_suite, "-o", "run.csv"},
        dir.path(), 60s, {{SIGINT, in_the_put}, {SIGINT, a_moment_later}});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.signal, SIGINT) << run.exit_status << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(kvbench_local, strict_turns_failed_tests_into_exit_status_3) {
    // A count no list can reserve fails the test at once.
    const char* const failing = "    multiple_put { size 1 count 4611686018427387904 }\n";
    const char* const passing = "    multiple_put { size 1 count 10 }\n";
    const struct {
        const char* name;
        std::string tests;
        args extra;
        int status;
        std::string last_err_line;  // empty: nothing on standard error
    } cases[] = {
        {"one of two failed", std::string(passing) + failing, {"--strict"}, 3,
         "1 of 2 results failed"},
        {"none failed", std::string(passing) + passing, {"--strict"}, 0, ""},
        {"without the option", std::string(passing) + failing, {}, 0, "test failed: "},
        {"on threads", std::string(passing) + failing, {"--strict", "--threads", "3"}, 3,
         "3 of 6 results failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        dir.write("suite.cfg", "tests\n{\n" + c.tests + "}\n");
        args arguments{"--protocol", "local", "-f", "suite.cfg", "-o", "run.csv"};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        const auto run = kvbench(arguments, dir.path());
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        const auto lines = lines_of(run.err);
        if (c.last_err_line.empty())
            EXPECT_TRUE(lines.empty()) << run.err;
        else
            EXPECT_TRUE(!lines.empty() && lines.back().rfind(c.last_err_line, 0) == 0) << run.err;
    }
}

TEST(kvbench_local, lockstep_starts_each_test_on_all_threads_together) {
    // A RESP store whose first connection answers each SET 20 ms late, so
    // that one thread takes 200 ms for a test the others run in a moment.
    std::atomic<int> connections{0};
    kvtest::fake_server store([&connections](kvtest::fake_connection& connection) {
        const bool slow = connections++ == 0;
        kvtest::serve_resp(connection, [&](const std::string& command, std::size_t) {
            if (slow && command == "SET") connection.stall(20ms);
        });
    });
    kvtest::temp_dir dir;
    dir.write("suite.cfg", R"(tests
{
    multiple_put { size 8 count 10 }
    multiple_put { size 8 count 10 }
    multiple_put { size 8 count 10 }
}
)");
    // The spread of the first steps' start times of each test, in ms.
    const auto start_spreads = [&](const args& extra) {
        connections = 0;
        args arguments{"--protocol", "redis", "--daemon",
                       "127.0.0.1:" + std::to_string(store.port()), "--threads", "4", "-f",
                       "suite.cfg", "-o", "run.csv", "--json", "run.json"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto run = kvbench(arguments, dir.path());
        EXPECT_EQ(run.exit_status, 0) << run.err;
        return kvtest::start_spreads_ms(nlohmann::json::parse(dir.read("run.json")), 3, 4);
    };
    const auto free = start_spreads({});
    EXPECT_GT(free[2], 150) << "without lockstep the fast threads run ahead";
    const auto together = start_spreads({"--lockstep"});
    for (int test = 0; test < 3; ++test) EXPECT_LT(together[test], 20) << "test " << test;
}

}  // namespace
