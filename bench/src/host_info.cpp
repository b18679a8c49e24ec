#include <bench/host_info.hpp>

#include <fstream>
#include <string>
#include <thread>

#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#endif

namespace bench {

namespace {

std::optional<std::string> processor_model() {
#if defined(__FreeBSD__)
    char model[256] = {};
    std::size_t length = sizeof model - 1;
    if (sysctlbyname("hw.model", model, &length, nullptr, 0) == 0 && model[0] != '\0')
        return std::string(model);
    return std::nullopt;
#else
    // Linux: the first "model name" line (x86); other processors may have none.
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto start = line.find_first_not_of(" \t", colon + 1);
        if (start == std::string::npos) return std::nullopt;
        return line.substr(start);
    }
    return std::nullopt;
#endif
}

}  // namespace

host_facts read_host_facts() {
    host_facts facts;
    utsname names{};
    if (uname(&names) == 0) {
        facts.name = names.nodename;
        facts.os = names.sysname;
        facts.release = names.release;
        facts.machine = names.machine;
    }
    facts.cpu_model = processor_model();
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    facts.logical_cpus =
        online > 0 ? static_cast<unsigned>(online) : std::thread::hardware_concurrency();
    return facts;
}

}  // namespace bench
