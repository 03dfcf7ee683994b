#include <w32cpp/handle.h>

namespace w32cpp {

use_count_base::use_count_base(DWORD initial) : word(initial) {}

use_count_base::~use_count_base() = default;

} // namespace w32cpp
