// The little of the C++ runtime the driver image needs. Deleting destructors refer to operator delete;
// objects are never deleted through it (destroy() and kl::destroy free their storage), so it only
// returns a block to the pool.
#include "klib.h"

void operator delete(void *p) noexcept { kl::release(p); }
void operator delete(void *p, ksize_t) noexcept { kl::release(p); }
