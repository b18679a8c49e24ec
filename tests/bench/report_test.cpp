#include <bench/report.hpp>
#include <bench/report/console.hpp>
#include <bench/report/json_report.hpp>
#include <bench/settings.hpp>

#include <chrono>
#include <support/process.hpp>

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <locale>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const header =
    "thread;test description;iterations count;iteration size;mean time;median time;max;min;"
    "standard deviation;mean bandwidth;error of mean bandwidth\r\n";

bench::result_record result_of(bool success, const std::vector<double>& samples,
                               std::uint64_t bytes, std::uint32_t thread = 0,
                               const std::string& description = "putting 1.0 KiB once")
{
    bench::test_result result;
    result.success = success;
    result.description = description;
    result.thread_number = thread;
    result.bytes_processed = bytes;
    for (double sample : samples) {
        result.timings(sample);
    }
    return bench::make_record(std::move(result), 0);
}

struct output_case {
    const char* name;
    bench::result_record result;
    const char* summary;
    const char* row;
};

std::vector<output_case> output_cases()
{
    return {
        {"success", result_of(true, {1, 3}, 2048, 3),
         "\n"
         "test putting 1.0 KiB once done on thread #3\n"
         "processed 2.0 KiB (2 iterations)\n"
         "              mean time = 2 ms \n"
         "     error of mean time = 1 ms\n"
         "            median time = 0 ms \n"
         "                    max = 3 ms \n"
         "                    min = 1 ms \n"
         "               variance = 1 \n"
         "     standard deviation = 1\n"
         "         mean bandwidth = 500.0 KiB/s\n"
         "error of mean bandwidth = 33.3333 %\n",
         "3;putting 1.0 KiB once;2;1024;2;0;3;1;1;512000;33.3333\r\n"},
        {"failure", result_of(false, {1}, 1024),
         "\n"
         "test putting 1.0 KiB once done on thread #0\n"
         "processed 1.0 KiB (1 iterations)\n"
         " ### test in error \n",
         "0;putting 1.0 KiB once;1;1024;0;0;0;0;0;0;0\r\n"},
        {"count 0", result_of(true, {}, 0),
         "\n"
         "test putting 1.0 KiB once done on thread #0\n"
         "processed 0.0 B (0 iterations)\n"
         "              mean time = nan ms \n"
         "     error of mean time = 0 ms\n"
         "            median time = 0 ms \n"
         "                    max = -1.79769e+308 ms \n"
         "                    min = 1.79769e+308 ms \n"
         "               variance = 0 \n"
         "     standard deviation = 0\n"
         "         mean bandwidth = 0.0 B/s\n"
         "error of mean bandwidth = nan %\n",
         "0;putting 1.0 KiB once;0;0;nan;0;-1.79769e+308;1.79769e+308;0;0;nan\r\n"},
        {"count 1", result_of(true, {0.0123456789}, 1024),
         "\n"
         "test putting 1.0 KiB once done on thread #0\n"
         "processed 1.0 KiB (1 iterations)\n"
         "              mean time = 0.0123457 ms \n"
         "     error of mean time = nan ms\n"
         "            median time = 0 ms \n"
         "                    max = 0.0123457 ms \n"
         "                    min = 0.0123457 ms \n"
         "               variance = 0 \n"
         "     standard deviation = 0\n"
         "         mean bandwidth = 0.0 B/s\n"
         "error of mean bandwidth = nan %\n",
         "0;putting 1.0 KiB once;1;1024;0.0123457;0;0.0123457;0.0123457;0;0;nan\r\n"},
        {"semicolon", result_of(false, {}, 0, 1, "a;b"),
         "\ntest a;b done on thread #1\nprocessed 0.0 B (0 iterations)\n ### test in error \n",
         "1;a b;0;0;0;0;0;0;0;0;0\r\n"},
    };
}

// A locale that groups digits and writes a decimal comma.
struct comma_punct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(Report, WritesTheSummaryAndTheRowOfEachResult)
{
    kvtest::temp_dir dir;
    const std::string path = dir.path() + "/report.csv";
    std::string rows = header;
    {
        bench::csv_report report(path);
        for (const output_case& c : output_cases()) {
            std::ostringstream summary;
            summary << c.result;
            EXPECT_EQ(summary.str(), c.summary) << c.name;
            report.write(c.result);
            rows += c.row;
        }
        report.close();
        EXPECT_TRUE(report.ok()) << report.failure_reason();
    }
    EXPECT_EQ(dir.read("report.csv"), rows);
}

TEST(Report, SummaryIgnoresTheStreamsLocaleAndPrecision)
{
    const bench::result_record result = result_of(true, {1000, 3000}, 2048000, 1234);
    std::ostringstream plain;
    plain << result;
    std::ostringstream dressed;
    dressed.imbue(std::locale(std::locale::classic(), new comma_punct));
    dressed.precision(2);
    dressed << result;
    EXPECT_EQ(dressed.str(), plain.str());
    EXPECT_NE(plain.str().find("thread #1234\n"), std::string::npos);
}

TEST(Report, EachRunReplacesTheFileAndTheDestructorClosesIt)
{
    kvtest::temp_dir dir;
    const std::string path = dir.path() + "/report.csv";
    {
        bench::csv_report first(path);
        first.write(result_of(false, {}, 0, 0, "first")).write(result_of(false, {}, 0, 0, "x"));
    }
    {
        bench::csv_report second(path);
        second.write(result_of(false, {}, 0, 7, "second"));
    }
    EXPECT_EQ(dir.read("report.csv"), std::string(header) + "7;second;0;0;0;0;0;0;0;0;0\r\n");
}

TEST(Report, RecordsTheFirstFailureAndNeverThrows)
{
    kvtest::temp_dir dir;
    bench::csv_report missing(dir.path() + "/no/such/dir/report.csv");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure_reason(), "cannot open: No such file or directory");
    missing.write(result_of(true, {1, 2}, 10));
    missing.close();
    missing.close();
    EXPECT_EQ(missing.failure_reason(), "cannot open: No such file or directory");

    bench::csv_report closed(dir.path() + "/closed.csv");
    closed.close();
    EXPECT_TRUE(closed.ok());
    closed.write(result_of(false, {}, 0));
    EXPECT_EQ(closed.failure_reason(), "written after close");

    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full to fill";
    }
    bench::csv_report full("/dev/full");
    EXPECT_FALSE(full.ok()) << "the header is written through at once";
    full.close();
    EXPECT_EQ(full.failure_reason(), "cannot write: No space left on device");
}

// The JSON report written through symbolic links: the target is replaced,
// the links stay, and no temporary file is left anywhere.
TEST(Report, JsonReportIsWrittenThroughSymbolicLinks)
{
    struct link_case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link, what it holds
        const char* path;                                        // given to the report
    };
    const link_case cases[] = {
        {"absolute link", {{"run.json", "{dir}/data/target.json"}}, "run.json"},
        {"relative link into another directory", {{"links/run.json", "../data/target.json"}},
         "links/run.json"},
        {"link to a link", {{"run.json", "links/next.json"}, {"links/next.json", "../data/target.json"}},
         "run.json"},
        {"link to a missing target", {{"run.json", "data/target.json"}}, "run.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::temp_dir dir;
        ASSERT_EQ(::mkdir((dir.path() + "/data").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((dir.path() + "/links").c_str(), 0755), 0);
        const bool target_exists = std::string(c.name) != "link to a missing target";
        if (target_exists) dir.write("data/target.json", "old");
        for (const auto& [link, held] : c.links) {
            std::string target = held;
            if (target.rfind("{dir}", 0) == 0) target = dir.path() + target.substr(5);
            ASSERT_EQ(::symlink(target.c_str(), (dir.path() + "/" + link).c_str()), 0) << link;
        }

        bench::json_report report(dir.path() + "/" + c.path, bench::run_settings{}, {},
                                  bench::run_facts{});
        ASSERT_TRUE(report.write(bench::suite_aggregates(0), {})) << report.failure_reason();

        for (const auto& entry : c.links) {
            struct stat status {};
            ASSERT_EQ(::lstat((dir.path() + "/" + entry.first).c_str(), &status), 0);
            EXPECT_TRUE(S_ISLNK(status.st_mode)) << entry.first << " was replaced";
        }
        const std::string written = dir.read("data/target.json");
        EXPECT_EQ(written.rfind("{\n  \"kvbench\"", 0), 0u) << written;
        for (const char* folder : {"", "/data", "/links"}) {
            for (const auto& entry : boost::filesystem::directory_iterator(dir.path() + folder))
                EXPECT_EQ(entry.path().string().find(".partial-"), std::string::npos)
                    << entry.path();
        }
    }
}

TEST(Report, PrintsPercentilesThroughputAndAggregates)
{
    // Steps of 1 ms and 3 ms, back to back from the run's start.
    bench::test_result result;
    result.success = true;
    result.description = "putting 1.0 KiB once";
    const std::chrono::steady_clock::time_point start{};
    bench::record_step(result, 1024, start, start + std::chrono::milliseconds(1));
    bench::record_step(result, 1024, start + std::chrono::milliseconds(1),
                       start + std::chrono::milliseconds(4));
    const bench::result_record record = bench::make_record(result, 0, start);

    // p50 is the upper edge of the bucket of 1 ms (1.003519 ms); the others
    // fall in the bucket of 3 ms, clamped to the max.
    const std::string lines =
        "    latency percentiles = p50 1.00352 ms, p90 3 ms, p99 3 ms, p99.9 3 ms, p99.99 3 ms\n"
        "             throughput = 500 steps/s, 500.0 KiB/s\n";
    std::ostringstream latency;
    bench::write_latency_lines(latency, record);
    EXPECT_EQ(latency.str(), lines);

    bench::test_aggregate aggregate;
    aggregate.merge(record);
    aggregate.merge(result_of(false, {}, 0, 1));
    std::ostringstream block;
    bench::write_aggregate(block, aggregate, record.description);
    EXPECT_EQ(block.str(), "\naggregate of test putting 1.0 KiB once over 2 threads, 1 failed\n"
                           "processed 2.0 KiB (2 iterations)\n" +
                               lines +
                               "              mean time = 2 ms\n"
                               "     standard deviation = 1 ms\n"
                               "                    min = 1 ms\n"
                               "                    max = 3 ms\n");
}

TEST(Report, OpenLoopResultsAddTheirServicePercentiles)
{
    // A step on time and one that started 2 ms late; both took 1 ms.
    bench::test_result result;
    result.success = true;
    result.description = "putting 1.0 KiB once";
    result.open_loop.emplace();
    const std::chrono::steady_clock::time_point t0{};
    using std::chrono::milliseconds;
    bench::record_scheduled_step(result, 1024, t0, t0, t0 + milliseconds(1));
    bench::record_scheduled_step(result, 1024, t0 + milliseconds(1), t0 + milliseconds(3),
                                 t0 + milliseconds(4));
    const bench::result_record record = bench::make_record(result, 0, t0);
    EXPECT_EQ(record.figures.max, 3.0) << "from the due time";
    EXPECT_EQ(bench::mean_start_lateness_ms(record), 1.0);

    const std::string lines =
        "    latency percentiles = p50 1.00352 ms, p90 3 ms, p99 3 ms, p99.9 3 ms, p99.99 3 ms\n"
        "    service percentiles = p50 1 ms, p90 1 ms, p99 1 ms, p99.9 1 ms, p99.99 1 ms\n"
        "    start lateness percentiles = p50 0 ms, p90 2 ms, p99 2 ms, p99.9 2 ms, p99.99 2 ms\n"
        "             throughput = 500 steps/s, 500.0 KiB/s\n";
    std::ostringstream latency;
    bench::write_latency_lines(latency, record);
    EXPECT_EQ(latency.str(), lines);

    bench::test_aggregate aggregate;
    aggregate.merge(record);
    EXPECT_EQ(aggregate.mean_start_lateness_ms(), 1.0);
    EXPECT_DOUBLE_EQ(aggregate.achieved_steps_per_s, 1000.0 / 3);
    std::ostringstream block;
    bench::write_aggregate(block, aggregate, record.description);
    EXPECT_NE(block.str().find(lines), std::string::npos) << block.str();
}

TEST(Report, AnAggregateOfFailedOpenLoopThreadsHasTheirRateAndNoFigures)
{
    // Two threads asked for 1000 and 2500 steps/s, both failed.
    bench::test_aggregate aggregate;
    std::vector<bench::result_record> records;
    for (const double rate : {1000.0, 2500.0}) {
        bench::result_record record = result_of(false, {}, 0);
        record.open_loop.emplace().requested_rate = rate;
        records.push_back(record);
        aggregate.merge(record);
    }
    std::ostringstream block;
    bench::write_aggregate(block, aggregate, "putting 1.0 KiB once");
    EXPECT_EQ(block.str(), "\naggregate of test putting 1.0 KiB once over 2 threads, 2 failed\n"
                           "    no thread succeeded\n");

    kvtest::temp_dir dir;
    bench::run_settings settings;
    settings.rate = 1000;
    bench::json_report report(dir.path() + "/run.json", settings,
                              {bench::make_test_spec(0, 1024, 1)}, {});
    bench::suite_aggregates aggregates(1);
    for (const bench::result_record& record : records) {
        report.add(record);
        aggregates.merge(record);
    }
    ASSERT_TRUE(report.write(aggregates, {})) << report.failure_reason();
    const auto document = nlohmann::json::parse(dir.read("run.json"));
    EXPECT_EQ(document["results"][1]["rate"]["requested"], 2500.0);
    const auto& written = document["aggregates"][0];
    EXPECT_EQ(written["rate"]["requested"], 3500.0);
    for (const char* figure : {"mean_ms", "standard_deviation_ms", "min_ms", "max_ms"})
        EXPECT_TRUE(written[figure].is_null()) << figure;
    EXPECT_TRUE(written["percentiles_ms"]["p50"].is_null());
    EXPECT_TRUE(written["rate"]["achieved"].is_null());
    const auto& failed = document["results"][0];
    for (const char* histogram : {"histogram", "service_histogram", "start_lateness_histogram"})
        EXPECT_TRUE(failed[histogram].is_null()) << histogram;
    EXPECT_TRUE(failed["start_lateness_percentiles_ms"]["p50"].is_null());
}

// The steps a histogram of the JSON report counts, by the lower edge of
// their bucket, added to `into`.
void add_buckets(std::map<std::string, std::uint64_t>& into, const nlohmann::json& histogram)
{
    for (std::size_t i = 0; i < histogram.at("counts").size(); ++i)
        into[histogram.at("lower_ms").at(i).dump()] += histogram["counts"][i].get<std::uint64_t>();
}

std::uint64_t steps_in(const nlohmann::json& histogram)
{
    std::map<std::string, std::uint64_t> buckets;
    add_buckets(buckets, histogram);
    std::uint64_t steps = 0;
    for (const auto& bucket : buckets) steps += bucket.second;
    return steps;
}

// Every result carries its histograms beside its percentiles, and every
// aggregate those of its threads added up: the response times always, the
// service times and start latenesses in open loop only.
TEST(Report, JsonResultsAndAggregatesCarryTheirHistograms)
{
    using std::chrono::milliseconds;
    const std::chrono::steady_clock::time_point t0{};
    for (const bool open_loop : {false, true}) {
        SCOPED_TRACE(open_loop ? "open loop" : "closed loop");
        kvtest::temp_dir dir;
        bench::run_settings settings;
        if (open_loop) settings.rate = 1000;
        bench::json_report report(dir.path() + "/run.json", settings,
                                  {bench::make_test_spec(0, 1024, 1)}, {});
        bench::suite_aggregates aggregates(1);
        // Thread 0 runs 2 steps on time, thread 1 3 steps each 2 ms late;
        // step k takes k + 1 ms.
        for (std::uint32_t thread = 0; thread < 2; ++thread) {
            bench::test_result result;
            result.success = true;
            result.thread_number = thread;
            if (open_loop) result.open_loop.emplace().requested_rate = 500;
            for (std::uint32_t step = 0; step < thread + 2; ++step) {
                const auto due = t0 + milliseconds(10 * step);
                const auto start = due + milliseconds(2 * thread);
                const auto end = start + milliseconds(step + 1);
                if (open_loop)
                    bench::record_scheduled_step(result, 1024, due, start, end);
                else
                    bench::record_step(result, 1024, start, end);
            }
            const bench::result_record record = bench::make_record(std::move(result), 0, t0);
            report.add(record);
            aggregates.merge(record);
        }
        ASSERT_TRUE(report.write(aggregates, {})) << report.failure_reason();
        const auto document = nlohmann::json::parse(dir.read("run.json"));

        std::map<std::string, std::uint64_t> threads_buckets;
        for (const auto& result : document["results"]) {
            EXPECT_EQ(steps_in(result["histogram"]), result["iterations"]);
            add_buckets(threads_buckets, result["histogram"]);
            for (const char* histogram : {"service_histogram", "start_lateness_histogram"}) {
                if (open_loop)
                    EXPECT_EQ(steps_in(result[histogram]), result["iterations"]) << histogram;
                else
                    EXPECT_TRUE(result[histogram].is_null()) << histogram;
            }
            EXPECT_EQ(result["start_lateness_percentiles_ms"].is_null(), !open_loop);
        }
        const auto& aggregate = document["aggregates"][0];
        std::map<std::string, std::uint64_t> aggregate_buckets;
        add_buckets(aggregate_buckets, aggregate["histogram"]);
        EXPECT_EQ(aggregate_buckets, threads_buckets);
        EXPECT_EQ(steps_in(aggregate["histogram"]), 5u);
        if (!open_loop) {
            for (const char* part : {"start_lateness_percentiles_ms", "service_histogram",
                                     "start_lateness_histogram"})
                EXPECT_TRUE(aggregate[part].is_null()) << part;
            continue;
        }
        EXPECT_EQ(document["results"][0]["start_lateness_percentiles_ms"]["p100"], 0.0);
        EXPECT_EQ(document["results"][1]["start_lateness_percentiles_ms"]["p50"], 2.0);
        // 2 steps on time, 3 late: the median step started 2 ms late.
        EXPECT_EQ(aggregate["start_lateness_percentiles_ms"]["p50"], 2.0);
        EXPECT_EQ(aggregate["start_lateness_histogram"]["lower_ms"][0], 0.0);
        EXPECT_EQ(aggregate["start_lateness_histogram"]["counts"], nlohmann::json::array({2, 3}));
        EXPECT_EQ(steps_in(aggregate["service_histogram"]), 5u);
    }
}

}  // namespace

// Counts the writes that reach it.
class write_counter : public std::streambuf {
public:
    int writes = 0;

protected:
    int_type overflow(int_type c) override {
        ++writes;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char*, std::streamsize count) override {
        ++writes;
        return count;
    }
};

TEST(Report, AConsoleBlockReachesItsStreamInOneWrite)
{
    // Workers print on the same stream while the writer reports; a block
    // written piece by piece could be split by their lines.
    const bench::run_settings settings;
    const std::vector<bench::test_spec> tests;
    const bench::suite_aggregates aggregates(0);
    write_counter counter;
    std::ostream out(&counter);
    std::ostringstream err;
    bench::console_reporter console(settings, tests, aggregates, out, err);
    for (const bool success : {true, false}) {
        counter.writes = 0;
        console.take(result_of(success, {1, 3}, 2048, 3));
        EXPECT_EQ(counter.writes, 1) << (success ? "success" : "failure");
    }
}
