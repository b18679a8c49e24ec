#ifndef BENCH_HOST_INFO_HPP
#define BENCH_HOST_INFO_HPP

#include <cstdint>
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

// One process of a run over several ranks: where it ran, on how many
// threads, against which store.
struct rank_facts {
    std::uint32_t rank = 0;
    host_facts host;
    std::int32_t threads = 0;
    std::string daemon;     // as the console shows it
};

// Reads the facts of this machine; what cannot be found stays empty.
host_facts read_host_facts();

}  // namespace bench

#endif
