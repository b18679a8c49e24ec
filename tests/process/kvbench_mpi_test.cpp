// kvbench under mpirun: ranks on loopback that run one benchmark together
// against real redis-server and memcached processes, rank 0 reporting for all;
// ranks that fail or die; and a plain start of the same build.

#include <support/fake_server.hpp>
#include <support/json_report.hpp>
#include <support/process.hpp>
#include <support/servers.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <dirent.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using args = std::vector<std::string>;
using kvtest::count_of;

const char* const suite = R"(tests
{
    multiple_put_remain { size 32 count 40 }
    multiple_put_get_delete { size 1024 count 300 }
}
)";

// `ranks` ranks of kvbench with these arguments: one part of an mpirun
// command line; parts are joined with ":" (MPMD).
args ranks(int count, const args& arguments) {
    args part{"-n", std::to_string(count), kvtest::kvbench_path()};
    part.insert(part.end(), arguments.begin(), arguments.end());
    return part;
}
args operator+(args first, const args& second) {
    first.push_back(":");
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// mpirun as a test machine needs it: more ranks than processors, as root,
// and without the cross-memory attach of the shared-memory transport, which
// containers often forbid.
kvtest::process_result mpirun(const args& parts, const kvtest::temp_dir& dir,
                              std::vector<kvtest::signal_on> signals = {}) {
    args all{"--oversubscribe", "--allow-run-as-root", "--mca",
             "btl_vader_single_copy_mechanism", "none"};
    all.insert(all.end(), parts.begin(), parts.end());
    return kvtest::run_process(KVBENCH_MPIEXEC, all, dir.path(), 120s, std::move(signals));
}

// How rank 0's report would compute a percentile from the histogram it wrote.
double percentile_of(const json& aggregate, double fraction) {
    const json& histogram = aggregate["histogram"];
    std::uint64_t total = 0;
    for (const auto& count : histogram["counts"]) total += count.get<std::uint64_t>();
    const auto rank = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(static_cast<double>(total) * fraction - 1e-9)));
    const double min = aggregate["min_ms"], max = aggregate["max_ms"];
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < histogram["counts"].size(); ++i) {
        seen += histogram["counts"][i].get<std::uint64_t>();
        if (seen < rank) continue;
        const json& upper = histogram["upper_ms"][i];
        return std::clamp(upper.is_null() ? max : upper.get<double>(), min, max);
    }
    return max;
}

TEST(KvbenchMpi, RanksOfSeveralThreadsAreOneRunReportedByRankZero) {
    auto redis = kvtest::server_process::redis();
    kvtest::temp_dir dir;
    dir.write("suite.cfg", suite);
    const auto run = mpirun(ranks(3, {"--protocol", "redis", "--daemon", redis.endpoint(),
                                      "--threads", "2", "-f", "suite.cfg", "-o", "report.csv",
                                      "-j", "run.json", "-p"}),
                            dir);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(count_of(run.out, "loading test file: "), 1u) << "only rank 0 prints";
    EXPECT_NE(run.out.find("\nrunning 2 test(s) in 6 threads on 3 ranks...\n"), std::string::npos);
    EXPECT_EQ(count_of(run.out, "\nAll done! Total elapsed time: "), 1u);
    for (int thread = 0; thread < 6; ++thread)
        EXPECT_EQ(count_of(run.out, " done on thread #" + std::to_string(thread) + "\n"), 2u);
    EXPECT_EQ(count_of(dir.read("report.csv"), "\r\n"), 1u + 12u);
    EXPECT_EQ(redis.ask("DBSIZE\r\n", "\r\n"), ":240\r\n") << "every thread of every rank ran";

    const json report = json::parse(dir.read("run.json"));
    EXPECT_EQ(report["settings"]["ranks"], 3);
    ASSERT_EQ(report["hosts"].size(), 3u);
    for (int rank = 0; rank < 3; ++rank) {
        const json& host = report["hosts"][rank];
        EXPECT_EQ(host["rank"], rank);
        EXPECT_EQ(host["threads"], 2);
        EXPECT_EQ(host["daemon"], redis.endpoint());
        EXPECT_TRUE(host["name"].is_string());
    }
    ASSERT_EQ(report["results"].size(), 12u);
    for (const json& result : report["results"]) {
        EXPECT_EQ(result["rank"], result["thread"].get<int>() / 2);
        EXPECT_TRUE(result["success"].get<bool>()) << result["error"];
    }
    for (int test = 0; test < 2; ++test) {
        SCOPED_TRACE(test);
        const json& aggregate = report["aggregates"][test];
        const std::uint64_t steps = 6 * report["tests"][test]["count"].get<std::uint64_t>();
        EXPECT_EQ(aggregate["threads"], 6);
        EXPECT_EQ(aggregate["iterations"], steps);
        // The merged percentiles are those of the merged histogram, which
        // holds every step of every rank.
        std::uint64_t counted = 0;
        for (const auto& count : aggregate["histogram"]["counts"])
            counted += count.get<std::uint64_t>();
        EXPECT_EQ(counted, steps);
        const std::pair<const char*, double> points[] = {
            {"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"p99.9", 0.999}, {"p99.99", 0.9999},
            {"p100", 1.0}};
        for (const auto& [name, fraction] : points)
            EXPECT_EQ(aggregate["percentiles_ms"][name].get<double>(),
                      percentile_of(aggregate, fraction))
                << name;
    }
}

TEST(KvbenchMpi, RanksOfAnMpmdLaunchReachTheirOwnServers) {
    // Two memcached shards: rank 0 with two threads on one, ranks 1 and 2
    // with one thread each on the other.
    auto first = kvtest::server_process::memcached();
    auto second = kvtest::server_process::memcached();
    kvtest::temp_dir dir;
    dir.write("suite.cfg", suite);
    const auto run = mpirun(ranks(1, {"--protocol", "memcached", "--daemon", first.endpoint(),
                                      "--threads", "2", "-f", "suite.cfg", "-o", "report.csv",
                                      "-j", "run.json"}) +
                                ranks(2, {"--protocol", "memcached", "--daemon",
                                          second.endpoint()}),
                            dir);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("connecting to " + first.endpoint() + "\nconnecting to " +
                           second.endpoint() + "\n"),
              std::string::npos)
        << run.out;
    const auto items = [](const kvtest::server_process& server) {
        const std::string stats = server.ask("stats\r\n", "END\r\n");
        const auto at = stats.find("STAT curr_items ");
        return at == std::string::npos ? -1 : std::stoi(stats.substr(at + 16));
    };
    EXPECT_EQ(items(first), 80);
    EXPECT_EQ(items(second), 80);
    const json report = json::parse(dir.read("run.json"));
    std::vector<int> threads_of_rank(3);
    for (const json& result : report["results"]) {
        const int rank = result["rank"], thread = result["thread"];
        EXPECT_EQ(rank, thread < 2 ? 0 : thread - 1) << "threads count on after each rank's";
        ++threads_of_rank[rank];
    }
    EXPECT_EQ(threads_of_rank, (std::vector<int>{4, 2, 2}));
    EXPECT_EQ(report["hosts"][1]["threads"], 1);
    EXPECT_EQ(report["hosts"][2]["daemon"], second.endpoint());
}

TEST(KvbenchMpi, ARankThatCannotConnectFailsTheRunOnEveryRankAfterTheOthersFinish) {
    auto redis = kvtest::server_process::redis();
    kvtest::temp_dir dir;
    dir.write("suite.cfg", suite);
    const auto closed = "127.0.0.1:" + std::to_string(kvtest::closed_port());
    const auto started = std::chrono::steady_clock::now();
    const auto run =
        mpirun(ranks(2, {"--protocol", "redis", "--daemon", redis.endpoint(), "--threads", "2",
                         "--lockstep", "-f", "suite.cfg", "-o", "report.csv", "-j", "run.json"}) +
                   ranks(1, {"--protocol", "redis", "--daemon", closed, "--threads", "2"}),
               dir);
    ASSERT_FALSE(run.timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(count_of(run.err, "Error in benchmark: rank 2: Cannot connect to redis server " +
                                    closed + ": Connection refused\n"),
              2u)
        << run.err;
    EXPECT_EQ(count_of(run.out, " done on thread #"), 8u) << "the other ranks' results";
    const json report = json::parse(dir.read("run.json"));
    EXPECT_EQ(report["results"].size(), 8u);
    EXPECT_EQ(report["errors"].size(), 2u);
    EXPECT_EQ(report["aggregates"][0]["threads"], 4);
}

TEST(KvbenchMpi, ErrorsBeforeThePassEndEveryRank) {
    struct failing_launch {
        const char* name;
        const char* suite;
        args last_rank;  // what the last rank's command line adds
        int exit_status;
        const char* error;   // on the standard error stream once, if not empty
        const char* output;  // on the standard output stream once, if not empty
    };
    const failing_launch launches[] = {
        {"a rank's command line", suite, {"--threads", "0"}, 1,
         "rank 1: Error: Invalid threads count specified\n", ""},
        {"rank 0's suite", "tests { no_such_kind { size 1 count 1 } }", {}, 1,
         "Error in benchmark: unknown test type: no_such_kind (test 1 in suite.cfg, line 1)\n",
         "loading test file"},
        {"a rank's --version", suite, {"--version"}, 0, "", "kvbench "},
    };
    for (const auto& launch : launches) {
        SCOPED_TRACE(launch.name);
        kvtest::temp_dir dir;
        dir.write("suite.cfg", launch.suite);
        args last{"--protocol", "local"};
        last.insert(last.end(), launch.last_rank.begin(), launch.last_rank.end());
        const auto run = mpirun(
            ranks(1, {"--protocol", "local", "-f", "suite.cfg", "-o", "report.csv"}) +
                ranks(1, last),
            dir);
        ASSERT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_status, launch.exit_status);
        if (*launch.error) {
            EXPECT_EQ(count_of(run.err, launch.error), 1u) << run.err;
        }
        if (*launch.output) {
            EXPECT_EQ(count_of(run.out, launch.output), 1u) << run.out;
        }
        EXPECT_EQ(run.out.find("running "), std::string::npos) << run.out;
    }
}

// The process of rank `rank` whose command line holds `marker`, from
// Linux's /proc; -1 when there is none.
pid_t rank_process(int rank, const std::string& marker) {
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) return -1;
    pid_t found = -1;
    while (const dirent* entry = ::readdir(processes)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto read = [&](const char* what) {
            std::ifstream file("/proc/" + pid + "/" + what, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(file), {});
        };
        if (read("cmdline").find(marker) == std::string::npos) continue;
        const std::string environment = '\0' + read("environ");
        if (environment.find('\0' + std::string("OMPI_COMM_WORLD_RANK=") + std::to_string(rank) +
                             '\0') != std::string::npos)
            found = std::stoi(pid);
    }
    ::closedir(processes);
    return found;
}

TEST(KvbenchMpi, ARankThatDiesEndsTheWholeRun) {
    if (::access("/proc/self/environ", R_OK) != 0) GTEST_SKIP() << "needs Linux's /proc";
    auto redis = kvtest::server_process::redis();
    kvtest::temp_dir dir;
    // Long enough that the others meet again before the next test, where
    // they would wait for the dead rank forever.
    dir.write("suite.cfg", R"(tests
{
    multiple_put_get_delete { size 64 count 2000 }
    multiple_put_get_delete { size 64 count 200000 }
    multiple_put_get_delete { size 64 count 2000 }
}
)");
    pid_t killed = -1;
    // Signal 0 to mpirun is no signal at all: the condition itself kills
    // rank 1 once the pass is under way.
    const kvtest::signal_on kill_rank_1{0, [&](const kvtest::process_result& so_far) {
        if (so_far.out.find(" done on thread #") == std::string::npos) return false;
        killed = rank_process(1, dir.path());
        if (killed > 0) ::kill(killed, SIGKILL);
        return killed > 0;
    }};
    const auto started = std::chrono::steady_clock::now();
    const auto run = mpirun(ranks(3, {"--protocol", "redis", "--daemon", redis.endpoint(),
                                      "--lockstep", "-f", dir.path() + "/suite.cfg", "-o",
                                      "report.csv"}),
                            dir, {kill_rank_1});
    ASSERT_GT(killed, 0) << run.out << run.err;
    EXPECT_FALSE(run.timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    EXPECT_NE(run.exit_status, 0);
}

TEST(KvbenchMpi, ASignalToOneRankStopsEveryRank) {
    if (::access("/proc/self/environ", R_OK) != 0) GTEST_SKIP() << "needs Linux's /proc";
    // The second test runs until it is stopped.
    const char* const stoppable = R"(tests
{
    multiple_put_get_delete { size 16 count 1000 }
    multiple_put_get_delete { size 16 count 1099511627776 }
    multiple_put_get_delete { size 16 count 1000 }
}
)";
    for (const int signalled_rank : {2, 0}) {
        SCOPED_TRACE("SIGINT to rank " + std::to_string(signalled_rank));
        kvtest::temp_dir dir;
        dir.write("suite.cfg", stoppable);
        pid_t signalled = -1;
        auto sent = std::chrono::steady_clock::time_point::max();
        // Once every rank reported its first test, a moment for all of them
        // to be well into the second.
        const kvtest::signal_on interrupt_one_rank{0, [&](const kvtest::process_result& so_far) {
            if (count_of(so_far.out, " done on thread #") < 3) return false;
            std::this_thread::sleep_for(200ms);
            signalled = rank_process(signalled_rank, dir.path());
            if (signalled > 0) ::kill(signalled, SIGINT);
            sent = std::chrono::steady_clock::now();
            return signalled > 0;
        }};
        const auto run = mpirun(ranks(3, {"--protocol", "local", "-f", dir.path() + "/suite.cfg",
                                          "-o", "report.csv", "--json", "run.json"}),
                                dir, {interrupt_one_rank});
        const auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_GT(signalled, 0) << run.out << run.err;
        ASSERT_FALSE(run.timed_out) << "the other ranks did not stop";
        EXPECT_LT(took, 5s);
        EXPECT_EQ(run.exit_status, 128 + SIGINT) << run.err;
        // Every rank's second test was cut short, as on the rank that got the
        // signal, and what finished is reported.
        EXPECT_EQ(count_of(run.err, "test failed: interrupted\n"), 3u) << run.err;
        EXPECT_EQ(count_of(run.out, "\nInterrupted! Total elapsed time: "), 1u) << run.out;
        const json report = json::parse(dir.read("run.json"));
        EXPECT_EQ(report["interrupted"], "SIGINT");
        EXPECT_EQ(report["results"].size(), 6u);
        EXPECT_EQ(report["aggregates"][0]["threads"], 3);
        EXPECT_EQ(report["aggregates"][1]["failed_threads"], 3);
        EXPECT_EQ(report["aggregates"][2]["threads"], 0);
    }
}

TEST(KvbenchMpi, LockstepStartsEachTestTogetherOnEveryRank) {
    // A RESP store that answers each SET 20 ms late, for rank 1 alone.
    const auto resp_store = [](bool slow) {
        return [slow](kvtest::fake_connection& connection) {
            for (;;) {
                const std::string header = connection.read_until("\r\n");
                if (header.size() < 3 || header[0] != '*') return;
                std::string command;
                for (int word = std::stoi(header.substr(1)); word > 0; --word) {
                    const std::string length = connection.read_until("\r\n");
                    if (length.size() < 3 || length[0] != '$') return;
                    const std::string text =
                        connection.read_bytes(std::stoul(length.substr(1)) + 2);
                    if (command.empty()) command = text.substr(0, text.size() - 2);
                }
                if (slow && command == "SET") connection.stall(20ms);
                connection.send(command == "DEL" ? ":1\r\n" : "+OK\r\n");
            }
        };
    };
    kvtest::fake_server fast(resp_store(false)), slow(resp_store(true));
    const auto at = [](const kvtest::fake_server& server) {
        return "127.0.0.1:" + std::to_string(server.port());
    };
    kvtest::temp_dir dir;
    dir.write("suite.cfg", R"(tests
{
    multiple_put { size 8 count 10 }
    multiple_put { size 8 count 10 }
    multiple_put { size 8 count 10 }
}
)");
    // The spread of the first steps' start times of each test over the
    // ranks, each rank's times counted from its leaving the start meeting.
    const auto start_spreads = [&](const args& extra) {
        args first{"--protocol", "redis", "--daemon", at(fast), "-f", "suite.cfg", "-o",
                   "run.csv", "--json", "run.json"};
        first.insert(first.end(), extra.begin(), extra.end());
        const auto run = mpirun(ranks(1, first) +
                                    ranks(1, {"--protocol", "redis", "--daemon", at(slow)}) +
                                    ranks(1, {"--protocol", "redis", "--daemon", at(fast)}),
                                dir);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        return kvtest::start_spreads_ms(json::parse(dir.read("run.json")), 3, 3);
    };
    const auto free = start_spreads({});
    EXPECT_GT(free[2], 150) << "without lockstep the fast ranks run ahead";
    const auto together = start_spreads({"--lockstep"});
    for (int test = 0; test < 3; ++test) EXPECT_LT(together[test], 20) << "test " << test;
}

TEST(KvbenchMpi, RanksShareAMixsLoadedKeySpaceItsPrefixAndSeed) {
    // No key_prefix: both mixes take rank 0's, so the second, which loads
    // nothing, finds on every rank what every rank loaded in the first. Every
    // value is 128 bytes, so a result has 128 bytes a step when every step
    // found its key, which in the first mix needs every thread of every rank
    // to have loaded before any went on.
    auto redis = kvtest::server_process::redis();
    kvtest::temp_dir dir;
    dir.write("suite.cfg", R"(tests
{
    mix { keys 400
          size 128
          get 90
          update 10
          distribution zipfian
          count 300
          load 1 }
    multiple_put_get_delete { size 64 count 20 }
    mix { keys 400
          size 128
          get 1
          distribution sequential
          count 100 }
}
)");
    for (const bool lockstep : {false, true}) {
        SCOPED_TRACE(lockstep ? "--lockstep" : "without --lockstep");
        redis.ask("FLUSHALL\r\n", "\r\n");
        args arguments{"--protocol", "redis", "--daemon", redis.endpoint(), "--threads", "2",
                       "-f", "suite.cfg", "-o", "report.csv", "-j", "run.json", "--strict"};
        if (lockstep) arguments.push_back("--lockstep");
        const auto run = mpirun(ranks(2, arguments), dir);
        ASSERT_FALSE(run.timed_out) << run.out;
        ASSERT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(count_of(run.out, "\nloaded 400 keys of 128.0 B in "), 1u) << run.out;
        EXPECT_EQ(redis.ask("DBSIZE\r\n", "\r\n"), ":400\r\n");
        const json report = json::parse(dir.read("run.json"));
        ASSERT_EQ(report["results"].size(), 12u);
        for (const json& result : report["results"]) {
            const int test = result["test"];
            if (test == 1) continue;
            EXPECT_EQ(result["bytes"], 128 * (test == 0 ? 300 : 100))
                << "test " << test << ", thread " << result["thread"];
        }
    }
}

TEST(KvbenchMpi, APlainStartIsARunOfItsOwn) {
    kvtest::temp_dir dir;
    dir.write("suite.cfg", suite);
    const auto run = kvtest::run_process(kvtest::kvbench_path(),
                                         {"--protocol", "local", "--threads", "2", "-f",
                                          "suite.cfg", "-o", "report.csv", "-j", "run.json"},
                                         dir.path(), 60s);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("\nrunning 2 test(s) in 2 thread...\n"), std::string::npos);
    const json report = json::parse(dir.read("run.json"));
    EXPECT_FALSE(report.contains("hosts"));
    EXPECT_FALSE(report["settings"].contains("ranks"));
    EXPECT_FALSE(report["results"][0].contains("rank"));
}

}  // namespace
