// Test check of the handle table: calls that named a handle value after its close. On Windows such a
// value may already stand for another object (values are reused), so a stray call acts on that one;
// here values are not reused before the table wraps, and the call is counted instead.
#ifndef STANDIN_HANDLES_H
#define STANDIN_HANDLES_H

#include <cstdint>

namespace standin::handles {

// Calls so far in this process that were given a value the table had handed out and closed since.
std::uint64_t closed_uses();

}  // namespace standin::handles

#endif
