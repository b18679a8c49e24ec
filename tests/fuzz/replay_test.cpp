// Every input kept in the tree for a fuzz target, its seed corpus and the
// inputs that once broke it, fed to the target without libFuzzer, in every
// build. A broken property ends the process with its message.

#include "targets.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct fuzz_target {
    const char* name;
    int (*run)(const std::uint8_t*, std::size_t);
};

class fuzz_replay : public ::testing::TestWithParam<fuzz_target> {};

TEST_P(fuzz_replay, every_kept_input_runs_clean) {
    const fuzz_target target = GetParam();
    std::vector<fs::path> inputs;
    for (const char* folder : {"corpus", "regressions"}) {
        const fs::path directory = fs::path(KVBENCH_FUZZ_DIR) / folder / target.name;
        if (!fs::is_directory(directory)) continue;
        for (const auto& entry : fs::directory_iterator(directory))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    EXPECT_FALSE(inputs.empty()) << "no seed corpus for " << target.name;
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::cerr << "replaying " << input.string() << std::endl;  // names the input of a crash
        target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

const fuzz_target targets[] = {
    {"memcache_reply", kvfuzz::memcache_reply},
#ifdef KVBENCH_FUZZ_RESP_READER
    {"resp_reader", kvfuzz::resp_reader},
#endif
    {"redis_reply", kvfuzz::redis_reply},
    {"suite_file", kvfuzz::suite_file},
    {"endpoint", kvfuzz::endpoint},
    {"command_line", kvfuzz::command_line},
    {"wire", kvfuzz::wire},
};

INSTANTIATE_TEST_SUITE_P(targets, fuzz_replay, ::testing::ValuesIn(targets),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
