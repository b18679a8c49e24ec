// The README and the manual page name every option that the help lists, so
// that an option added to the program is not left out of either.

#include <support/process.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(kvbench_docs, readme_and_manual_page_name_every_option_of_the_help) {
    const auto help = kvtest::run_process(kvtest::kvbench_path(), {"--help"});
    ASSERT_EQ(help.exit_status, 0);
    const std::string readme = file_text(KVBENCH_SOURCE_DIR "/README.md");
    const std::string manual = file_text(KVBENCH_SOURCE_DIR "/doc/kvbench.1.in");

    // "  --name", "  -f [ --name ]": the help's option column.
    const std::regex option(R"(^  (?:-(\w) \[ )?--([\w-]+))");
    int options = 0;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch found;
        if (!std::regex_search(line, found, option)) continue;
        ++options;
        const std::string name = found[2];
        // roff writes every '-' of an option as "\-".
        const std::string roff_name = std::regex_replace("--" + name, std::regex("-"), "\\-");
        EXPECT_NE(readme.find("`--" + name), std::string::npos) << "README: --" << name;
        EXPECT_NE(manual.find(roff_name), std::string::npos) << "manual: --" << name;
        if (found[1].matched) {
            const std::string letter = found[1];
            EXPECT_NE(readme.find("`-" + letter + "`"), std::string::npos) << "README: -" << letter;
            EXPECT_NE(manual.find("\\-" + letter + " "), std::string::npos) << "manual: -" << letter;
        }
    }
    EXPECT_GE(options, 7);
}

}  // namespace
