#ifndef KVTEST_RECORDING_REPORTER_HPP
#define KVTEST_RECORDING_REPORTER_HPP

// A bench::reporter for the tests of the run: keeps what it is given, or
// throws on every result when told to.

#include <bench/report/reporter.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {

struct taken_result {
    std::uint32_t rank = 0;
    std::uint32_t thread = 0;
    std::string description;
    bool success = false;
};

class recording_reporter final : public bench::reporter {
public:
    explicit recording_reporter(bool failing = false) : failing_(failing) {}

    void begin() override {}
    void take(const bench::result_record& result) override {
        if (failing_) throw std::runtime_error("cannot report");
        taken.push_back({result.rank, result.thread_number, result.description, result.success});
    }
    bool close() override { return true; }
    bool finish(const bench::run_ending&) override { return true; }

    std::vector<taken_result> taken;

private:
    bool failing_;
};

// A finished result of `thread`, successful unless it has a failure.
inline bench::result_record record_of(std::uint32_t thread, std::string description,
                                      std::string failure = {}) {
    bench::result_record record;
    record.thread_number = thread;
    record.description = std::move(description);
    record.success = failure.empty();
    record.failure = std::move(failure);
    return record;
}

}  // namespace kvtest

#endif
