#pragma once

// Figures read back from a run's JSON report by the tests of whole runs.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kvtest {

// For each of the first `tests` tests, how far apart (in ms) the first steps
// of its results started; each test must have `results_per_test` results.
inline std::vector<double> start_spreads_ms(const nlohmann::json& report, int tests,
                                            std::size_t results_per_test)
{
    std::vector<double> spreads;
    for (int test = 0; test < tests; ++test) {
        std::vector<double> starts;
        for (const auto& result : report["results"])
            if (result["test"] == test) starts.push_back(result["start_ms"].get<double>());
        EXPECT_EQ(starts.size(), results_per_test) << "test " << test;
        if (starts.empty()) starts.push_back(0);
        spreads.push_back(*std::max_element(starts.begin(), starts.end()) -
                          *std::min_element(starts.begin(), starts.end()));
    }
    return spreads;
}

}  // namespace kvtest
