// Kernel-mode basics shared by the class library and the driver: the system headers, the pool tag,
// pool-backed object creation without the C++ runtime, and small helpers.
#ifndef VANTREL_KLIB_H
#define VANTREL_KLIB_H

#if defined(_WIN32) && defined(__cplusplus) && !defined(_MSC_VER)
// wdm.h defines these two bit-test helpers inline itself; the intrinsics header would define them a
// second time, which C++ refuses. Marking them as defined keeps wdm.h's only.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <wdm.h>
#if defined(_WIN32) && defined(__cplusplus)
// The DDK's USB headers declare the library functions without C linkage.
extern "C" {
#endif
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#if defined(_WIN32) && defined(__cplusplus)
}
#endif

#ifndef DRIVER_INITIALIZE_EXPORT
#define DRIVER_INITIALIZE_EXPORT
#endif

typedef __SIZE_TYPE__ ksize_t;

namespace kl {

// Every pool block of the driver carries "Wdm ".
constexpr ULONG pool_tag = 'W' | ('d' << 8) | ('m' << 16) | (' ' << 24);

inline void *allocate(ksize_t bytes, POOL_TYPE type = NonPagedPool) {
  if (bytes == 0) return nullptr;
  return ExAllocatePoolWithTag(type, bytes, pool_tag);
}
inline void release(void *p) {
  if (p) ExFreePoolWithTag(p, pool_tag);
}

struct place_tag {};

}  // namespace kl

// Placement form of our own, so nothing here depends on <new>.
inline void *operator new(ksize_t, void *where, kl::place_tag) noexcept { return where; }

namespace kl {

// Creates T in a pool block; none when the pool is exhausted.
template <class T, class... A>
T *create(POOL_TYPE type, A... args) {
  void *p = allocate(sizeof(T), type);
  if (!p) return nullptr;
  return new (p, place_tag{}) T(args...);
}
template <class T, class... A>
T *create_at(void *where, A... args) {
  return new (where, place_tag{}) T(args...);
}
// Destroys an object made by create().
template <class T>
void destroy(T *p) {
  if (!p) return;
  p->~T();
  release(p);
}

// Irp->Cancel as drivers read it, without the cancel spin lock: after IoSetCancelRoutine's exchange.
inline bool cancelled(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0; }

inline void zero(void *p, ksize_t n) { RtlZeroMemory(p, n); }
inline void copy(void *d, const void *s, ksize_t n) { RtlCopyMemory(d, s, n); }
template <class T>
T min_of(T a, T b) { return a < b ? a : b; }

// Relative time-out in 100 ns units for a wait of `ms` milliseconds.
inline LARGE_INTEGER relative_ms(LONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -(LONGLONG)ms * 10000;
  return t;
}

// A spin lock held for a scope.
class spin_guard {
 public:
  explicit spin_guard(KSPIN_LOCK *l) : l_(l) { KeAcquireSpinLock(l_, &irql_); }
  ~spin_guard() { KeReleaseSpinLock(l_, irql_); }
  spin_guard(const spin_guard &) = delete;
  spin_guard &operator=(const spin_guard &) = delete;

 private:
  KSPIN_LOCK *l_;
  KIRQL irql_;
};

}  // namespace kl

#endif

#ifndef STATUS_CONTINUE_COMPLETION
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
#endif
