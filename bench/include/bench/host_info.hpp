#ifndef BENCH_HOST_INFO_HPP
#define BENCH_HOST_INFO_HPP

#include <optional>
#include <string>

namespace bench {

// The machine a run took place on, as recorded beside its figures.
struct host_facts {
    std::string name;       // host name (uname nodename)
    std::string os;         // operating system name, for instance "FreeBSD" or "Linux"
    std::string release;    // its release
    std::string machine;    // hardware type, for instance "amd64" or "x86_64"
    std::optional<std::string> cpu_model;  // the processor's model name, when known
    unsigned logical_cpus = 0;             // 0 when unknown
};

// Reads the facts of this machine; what cannot be found stays empty.
host_facts read_host_facts();

}  // namespace bench

#endif
