#ifndef KVTEST_ALLOCATION_METER_HPP
#define KVTEST_ALLOCATION_METER_HPP

// How much memory a piece of code holds: this test program's operator new
// and operator delete count the bytes handed out and not yet given back.

#include <cstddef>

namespace kvtest {

// Counts from its making on; one meter at a time.
class allocation_meter {
public:
    allocation_meter();

    // The most bytes held at any moment since the meter was made, beyond
    // what was held then.
    std::size_t peak() const;
    // The bytes held now beyond what was held when the meter was made.
    std::size_t held() const;

private:
    std::size_t start_;
};

}  // namespace kvtest

#endif
