// The kvbench executable on mix tests over several threads: one loaded key
// space that the tests after the loading one reuse, with and without
// --lockstep, and a stop while the threads load.

#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using args = std::vector<std::string>;
using json = nlohmann::json;
using kvtest::count_of;

TEST(kvbench_mix, threads_load_one_key_space_once_and_later_tests_reuse_it) {
    // Every value is 128 bytes, so a result's bytes are 128 a step when
    // every step found its key: in the first mix only if no thread went
    // ahead of the others' loads, in the second, which loads nothing, only
    // if it finds what the first loaded. Between them a kind of another
    // sort, so that the meetings before tests and after loads interleave.
    const std::string suite = R"(tests
{
    mix { keys 600
          size 128
          get 90
          update 10
          distribution zipfian
          count 400
          load 1
          key_prefix "reuse:" }
    multiple_put_get_delete { size 64
                              count 50 }
    mix { keys 600
          size 128
          get 1
          distribution sequential
          count 200
          key_prefix "reuse:" }
}
)";
    for (const bool lockstep : {false, true}) {
        SCOPED_TRACE(lockstep ? "--lockstep" : "without --lockstep");
        auto redis = kvtest::server_process::redis();
        kvtest::temp_dir dir;
        dir.write("suite.cfg", suite);
        args arguments{"--protocol", "redis", "--daemon", redis.endpoint(), "--threads", "3",
                       "--strict", "-f", "suite.cfg", "-o", "report.csv", "-j", "run.json"};
        if (lockstep) arguments.push_back("--lockstep");
        const auto run = kvtest::run_process(kvtest::kvbench_path(), arguments, dir.path(), 60s);
        ASSERT_FALSE(run.timed_out) << run.out;
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(count_of(run.out, "\nloaded 600 keys of 128.0 B in "), 1u) << run.out;
        EXPECT_EQ(count_of(run.out, " done on thread #"), 9u);
        EXPECT_EQ(redis.ask("DBSIZE\r\n", "\r\n"), ":600\r\n");
        const json report = json::parse(dir.read("run.json"));
        ASSERT_EQ(report["results"].size(), 9u);
        for (const json& result : report["results"]) {
            const int test = result["test"];
            if (test == 1) continue;
            EXPECT_EQ(result["bytes"], 128 * (test == 0 ? 400 : 200))
                << "test " << test << ", thread " << result["thread"];
        }
    }
}

TEST(kvbench_mix, a_stop_during_the_load_leaves_no_thread_waiting) {
    kvtest::temp_dir dir;
    // A load long enough to be stopped in: each thread's store is its own
    // with the local protocol, so each writes its third.
    dir.write("suite.cfg", R"(tests
{
    mix { keys 30000000
          size 16
          get 1
          count 10
          load 1 }
    multiple_put { size 8
                   count 10 }
}
)");
    const auto run = kvtest::run_process(
        kvtest::kvbench_path(),
        {"--protocol", "local", "--threads", "3", "-f", "suite.cfg", "-o", "report.csv"},
        dir.path(), 60s,
        {{SIGINT, [seen = std::optional<std::chrono::steady_clock::time_point>()](
                      const kvtest::process_result& so_far) mutable {
              // A moment after the threads started, well inside their load.
              if (!seen && so_far.out.find("running 2 test(s)") != std::string::npos)
                  seen = std::chrono::steady_clock::now();
              return seen && std::chrono::steady_clock::now() - *seen > 500ms;
          }}});
    ASSERT_FALSE(run.timed_out) << "a thread was left waiting";
    EXPECT_EQ(run.exit_status, 130) << run.err;
    EXPECT_EQ(count_of(run.err, "test failed: interrupted"), 3u) << run.err;
    EXPECT_EQ(count_of(run.out, "loaded "), 0u);
    EXPECT_EQ(count_of(run.out, "\nInterrupted! Total elapsed time: "), 1u);
}

}  // namespace
