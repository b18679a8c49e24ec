// How a run comes out: the precedence of its exit statuses, and a whole run
// over three ranks in this process (tests/support/fake_cluster), from the
// command line of each rank to the status they all end with.

#include <bench/run/exit_status.hpp>
#include <bench/run/run.hpp>
#include <bench/run/start.hpp>

#include <support/fake_cluster.hpp>
#include <support/process.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ExitStatus, AnErrorComesFirstThenASignalOwnBeforeRemoteThenStrictFailures) {
    struct status_case {
        bench::run_outcome outcome;
        int status;
    };
    const status_case cases[] = {
        {{false, 0, 0, false}, 0},
        {{false, 0, 0, true}, 3},
        {{false, 0, SIGTERM, true}, 128 + SIGTERM},
        {{false, SIGINT, SIGTERM, true}, 128 + SIGINT},
        {{true, SIGINT, SIGTERM, true}, 1},
    };
    for (const status_case& c : cases) {
        const bench::run_outcome& o = c.outcome;
        EXPECT_EQ(bench::exit_status(o), c.status)
            << "error " << o.error << ", signal " << o.signal << ", remote " << o.remote_signal
            << ", strict failure " << o.strict_failure;
    }
}

// Text that several threads write at once, as they do on the standard
// streams of a rank: each write is whole.
class shared_text : public std::streambuf {
public:
    std::string str() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

protected:
    int_type overflow(int_type c) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!traits_type::eq_int_type(c, traits_type::eof())) text_ += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        text_.append(text, static_cast<std::size_t>(count));
        return count;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

struct rank_run {
    shared_text out_text, err_text;
    std::ostream out{&out_text}, err{&err_text};
    int status = -1;
};

// Every rank takes the steps of kvbench's main on a thread of its own, with
// the same command line.
std::vector<rank_run> run_over_ranks(std::uint32_t size, std::vector<std::string> args) {
    kvtest::fake_ranks ranks(size);
    std::vector<rank_run> runs(size);
    std::vector<std::thread> threads;
    for (std::uint32_t rank = 0; rank < size; ++rank) {
        threads.emplace_back([&, rank] {
            bench::cluster& cluster = ranks[rank];
            rank_run& mine = runs[rank];
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            const bench::command_line_outcome command_line = bench::read_command_line(
                cluster, static_cast<int>(argv.size()), argv.data(), mine.out, mine.err);
            if (!command_line.settings) {
                mine.status = cluster.end(command_line.exit_status);
                return;
            }
            const auto setup =
                bench::set_up_run(cluster, *command_line.settings, args, mine.out, mine.err);
            if (!setup) {
                mine.status = cluster.end(1);
                return;
            }
            mine.status =
                cluster.end(bench::exit_status(bench::run(*setup, cluster, mine.out, mine.err)));
        });
    }
    for (std::thread& thread : threads) thread.join();
    return runs;
}

// Rank 0 prints and reports the results of every rank; the others print
// nothing; every rank ends with rank 0's status.
TEST(RunOverRanks, RankZeroReportsEveryRankAndAllEndWithItsStatus) {
    struct ranks_case {
        const char* name;
        const char* tests;
        const char* option;
        int status;
        std::size_t failed;  // results that failed
    };
    const ranks_case cases[] = {
        {"passing", "multiple_put { size 64 count 20 }\n", "--lockstep", 0, 0},
        {"a failing test under --strict",
         "multiple_put { size 64 count 20 }\n multiple_put { size 1 count 4611686018427387904 }\n",
         "--strict", 3, 6},
    };
    for (const ranks_case& c : cases) {
        SCOPED_TRACE(c.name);
        const kvtest::temp_dir dir;
        const std::string suite = dir.write("suite.cfg", std::string("tests {\n ") + c.tests + "}\n");
        const std::string report = dir.path() + "/report.csv";
        const std::vector<rank_run> runs =
            run_over_ranks(3, {"kvbench", "--protocol", "local", "-f", suite, "-o", report,
                               "--threads", "2", c.option});

        const std::size_t tests = c.failed > 0 ? 2 : 1;
        const std::string out = runs[0].out_text.str();
        EXPECT_EQ(out.rfind("loading test file: " + suite + "...\nconnecting to 127.0.0.1:2836\n"
                            "running " + std::to_string(tests) + " test(s) in 6 threads on 3 ranks...\n",
                            0),
                  0u)
            << out;
        EXPECT_EQ(kvtest::count_of(out, " done on thread #"), 6 * tests) << out;
        for (const char* thread : {"#0\n", "#3\n", "#5\n"})
            EXPECT_NE(out.find(std::string(" done on thread ") + thread), std::string::npos)
                << thread;
        EXPECT_NE(out.find("\nAll done! Total elapsed time: "), std::string::npos) << out;
        std::ifstream file(report);
        std::size_t rows = 0;
        for (std::string line; std::getline(file, line);) ++rows;
        EXPECT_EQ(rows, 1 + 6 * tests);
        EXPECT_EQ(kvtest::count_of(runs[0].err_text.str(), "test failed: "), c.failed);
        if (c.failed > 0) {
            EXPECT_NE(runs[0].err_text.str().find("6 of 12 results failed\n"), std::string::npos);
        }
        for (std::uint32_t rank = 0; rank < 3; ++rank) {
            EXPECT_EQ(runs[rank].status, c.status) << "rank " << rank;
            if (rank == 0) continue;
            EXPECT_EQ(runs[rank].out_text.str(), "") << "rank " << rank;
            EXPECT_EQ(runs[rank].err_text.str(), "") << "rank " << rank;
        }
    }
}

}  // namespace
