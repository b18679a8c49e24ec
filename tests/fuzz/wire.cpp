// The messages between the ranks of a run (bench::wire), as a broken rank or
// one of another version could send them. Each decoder takes the whole
// input: it may refuse it only with std::runtime_error, and what it accepts
// encodes back to the very same bytes. An accepted result goes where rank 0
// sends one: into its test's aggregate (twice, as from two threads), the
// console blocks and the JSON report, whose text must parse.

#include "targets.hpp"

#include <bench/aggregate.hpp>
#include <bench/cluster/wire.hpp>
#include <bench/report/console.hpp>
#include <bench/report/json_report.hpp>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace kvfuzz {

namespace {

namespace wire = bench::wire;

// The value decoded from the whole of bytes, or none when it was refused.
template <typename Value, typename Decode>
std::optional<Value> decoded(const std::string& bytes, Decode decode) {
    wire::reader in(bytes);
    try {
        Value value = decode(in);
        in.finish();
        return value;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

template <typename Value>
std::string encoded(const Value& value) {
    wire::writer out;
    wire::put(out, value);
    return out.take();
}

// One scratch JSON report for the process, rewritten for every input and
// removed when the process ends (the path is never destroyed, so that it
// outlives the handler that removes the file).
const std::string& scratch_file() {
    static const std::string& path = *new std::string([] {
        std::string pattern = scratch_parent() + "/kvbench-fuzz-wire-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        require(fd >= 0, "cannot make the scratch JSON file");
        ::close(fd);
        std::atexit([] { ::unlink(scratch_file().c_str()); });
        return pattern;
    }());
    return path;
}

void report(const bench::result_record& record) {
    bench::test_aggregate aggregate(0);
    aggregate.merge(record);
    aggregate.merge(record);

    std::ostringstream console;
    console << record;
    bench::write_latency_lines(console, record);
    bench::write_aggregate(console, aggregate, record.description);

    bench::run_settings settings;
    if (record.open_loop) settings.rate = record.open_loop->requested_rate;
    const std::vector<bench::test_spec> tests = {bench::make_test_spec(0, 1, 1)};
    bench::json_report json(scratch_file(), settings, tests, {});
    json.add(record);
    // The report's aggregates hold the record as the first test's.
    bench::result_record first = record;
    first.test_index = 0;
    bench::suite_aggregates aggregates(1);
    aggregates.merge(first);
    aggregates.merge(first);
    require(json.write(aggregates, {}), "cannot write the scratch JSON file");
    std::ifstream in(scratch_file(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        const nlohmann::json document = nlohmann::json::parse(text);
        require(document.at("results").size() == 1 && document.at("aggregates").size() == 1,
                "the JSON report does not hold the result and its aggregate");
    } catch (const nlohmann::json::exception&) {
        require(false, "the JSON report does not parse");
    }
}

}  // namespace

int wire(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (const auto record = decoded<bench::result_record>(bytes, wire::get_record)) {
        require(encoded(*record) == bytes, "a result does not encode back to its message");
        report(*record);
    }
    if (const auto plan = decoded<wire::run_plan>(bytes, wire::get_plan))
        require(encoded(*plan) == bytes, "a plan does not encode back to its message");
    if (const auto facts = decoded<bench::rank_facts>(bytes, wire::get_rank_facts))
        require(encoded(*facts) == bytes, "a rank's facts do not encode back to their message");
    return 0;
}

}  // namespace kvfuzz
