#ifndef BENCH_CLUSTER_WIRE_HPP
#define BENCH_CLUSTER_WIRE_HPP

#include <bench/host_info.hpp>
#include <bench/result_record.hpp>
#include <bench/test_spec.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The bytes that the ranks of a run send each other. Integers go
// little-endian whatever the machine, doubles as their IEEE 754 bits, text
// with its length before it, so that ranks on different machines read each
// other's numbers exactly.
namespace bench::wire {

class writer {
public:
    writer& u8(std::uint8_t value);
    writer& u32(std::uint32_t value);
    writer& u64(std::uint64_t value);
    writer& i64(std::int64_t value);
    writer& f64(double value);
    writer& text(const std::string& value);

    std::string take() noexcept { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Reads what a writer wrote, in the same order. Reading past the end, or
// finish() with bytes left, throws std::runtime_error.
class reader {
public:
    // The bytes must outlive the reader.
    explicit reader(const std::string& bytes) noexcept : bytes_(bytes) {}
    explicit reader(std::string&&) = delete;

    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int64_t i64();
    double f64();
    std::string text();
    void finish() const;
    // The bytes not read yet: what a count sent before its items can be at most.
    std::size_t left() const noexcept { return bytes_.size() - at_; }

private:
    std::uint64_t little_endian(std::size_t size);

    const std::string& bytes_;
    std::size_t at_ = 0;
};

// Each get_ function takes only what its put() writes, so that what it
// decodes encodes back to the same bytes, and refuses anything else (a flag
// other than 0 or 1, histogram buckets out of order or empty, a time no run
// gives) with std::runtime_error.

// A whole result: its fields in order, its non-empty histogram buckets as
// (index, count) pairs, the figures and buckets of each operation of a mix
// test, the redirections of a Redis Cluster's client when counted, then,
// for an open-loop result, its service times' buckets, its start
// latenesses' buckets and the rest of its open-loop times. About 200 bytes
// with a short description, plus 44 per operation of a mix test, plus 16
// with redirections, plus 12 per non-empty bucket (at most 3970 buckets a
// histogram, so never above 96 KiB a histogram, of which a record holds
// eight at the most).
void put(writer& out, const result_record& record);
result_record get_record(reader& in);

// Every field of a mix test (bench/src/cluster/wire_mix.cpp); the tests of
// the other kinds go as their size and count.
void put(writer& out, const mix& test);
mix get_mix(reader& in);

// What rank 0 tells every rank before the pass: the tests and whether the
// threads meet before each one, or why there is no run.
struct run_plan {
    std::vector<test_spec> tests;
    bool lockstep = false;
    std::string error;  // rank 0 could not load the suite; empty otherwise
};
void put(writer& out, const run_plan& plan);
run_plan get_plan(reader& in);

void put(writer& out, const rank_facts& facts);
rank_facts get_rank_facts(reader& in);

}  // namespace bench::wire

#endif
