#include <bench/driver.hpp>

int main(int argc, char* argv[]) { return bench::run_benchmark(argc, argv); }
