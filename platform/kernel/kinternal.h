// Internal interface between the parts of the kernel stand-in (compiled with -fshort-wchar).
#ifndef WINPLAT_KERNEL_KINTERNAL_H
#define WINPLAT_KERNEL_KINTERNAL_H

#include <wdm.h>

#include "kbridge.h"

#include <atomic>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _DEVOBJ_EXTENSION;

namespace wbk {

// Pool tag from its four characters, as the pool shows them.
constexpr ULONG tag4(const char (&s)[5]) {
  return (ULONG)(unsigned char)s[0] | (ULONG)(unsigned char)s[1] << 8 | (ULONG)(unsigned char)s[2] << 16 |
         (ULONG)(unsigned char)s[3] << 24;
}

// ---- rule checks -------------------------------------------------------------------------
// A broken kernel rule: recorded for the test that caused it, echoed to stderr, never a crash.
void violation(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- per-thread kernel state ----------------------------------------------------------------
struct callout_guard {
  // Wraps a call into driver code: checks that the callee left IRQL and spin locks as it found them.
  explicit callout_guard(const char *what);
  ~callout_guard();
  callout_guard(const callout_guard &) = delete;
  callout_guard &operator=(const callout_guard &) = delete;

 private:
  const char *what_;
  KIRQL irql_;
  size_t locks_;
};
void set_irql(KIRQL irql);  // for the DPC and worker threads
// Driver code running on threads other than the caller's ends (DPCs flushed first). False when some
// is still running after timeout_ms: the caller must then keep the driver's image mapped.
bool wait_driver_code_idle(int64_t timeout_ms);
// Removes the queued DPCs that live in [base, base + size) (memory about to be freed); returns how many.
size_t purge_dpcs_in(const void *base, size_t size);
// Counts a call into driver code that callout_guard does not wrap (cancel routines).
struct driver_code_scope {
  driver_code_scope();
  ~driver_code_scope();
  driver_code_scope(const driver_code_scope &) = delete;
  driver_code_scope &operator=(const driver_code_scope &) = delete;
};
size_t held_spin_locks();
// True when the calling thread holds `lock`.
bool holds_spin_lock(const KSPIN_LOCK *lock);
// True when [p, p + bytes) lies in a paged pool block: memory a device or a DPC may not touch.
bool in_paged_pool(const void *p, size_t bytes);
void *thread_token();  // unique per live thread

// ---- time ------------------------------------------------------------------------------------
// Relative kernel time-out (100 ns units, negative) to a scaled duration in nanoseconds; -1 = forever.
int64_t timeout_to_ns(const LARGE_INTEGER *timeout);

// ---- background execution ------------------------------------------------------------------
// Runs fn at PASSIVE_LEVEL on a system worker thread.
void queue_worker(std::function<void()> fn);

// ---- strings ---------------------------------------------------------------------------------
std::u16string to_u16(const UNICODE_STRING *s);
std::u16string to_u16(const char *s);
std::string to_utf8(const std::u16string &s);
std::u16string from_utf8(const std::string &s);
std::u16string upper(std::u16string s);
// Allocates (pool) a UNICODE_STRING buffer holding s with a terminating NUL.
NTSTATUS make_unicode(const std::u16string &s, PUNICODE_STRING out);

// ---- objects ---------------------------------------------------------------------------------
using device_rec = ::_DEVOBJ_EXTENSION;
device_rec *rec_of(PDEVICE_OBJECT d);
void reference_device(PDEVICE_OBJECT d);
void dereference_device(PDEVICE_OBJECT d);
PDEVICE_OBJECT lookup_device_name(const std::u16string &name);  // "\Device\X", referenced
std::u16string device_name(PDEVICE_OBJECT d);
// A symbolic link ("\??\X", "\DosDevices\X", "\GLOBAL??\X") to its target name, empty when none.
std::u16string resolve_link(const std::u16string &link);
PDRIVER_OBJECT create_driver_object(const std::u16string &name);
void destroy_driver_object(PDRIVER_OBJECT d);
size_t driver_device_count(PDRIVER_OBJECT d);
// Device objects of the driver still in memory (deleted ones wait for their last reference).
long driver_live_devices(PDRIVER_OBJECT d);
void on_last_device_freed(std::function<void(PDRIVER_OBJECT)> fn);

// PnP identity of a physical device object (set by the bus driver).
struct pdo_identity {
  std::string instance_id;                // "USB\VID_1A2B&PID_0100\1001"
  std::vector<std::string> hardware_ids;  // most specific first
};
void set_pdo_identity(PDEVICE_OBJECT pdo, const pdo_identity &id);
const pdo_identity *pdo_identity_of(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT pdo_of(PDEVICE_OBJECT any);  // bottom of the stack
// The PnP manager has begun the removal of pdo's stack (IRP_MN_REMOVE_DEVICE): every device object of it
// is marked, and the I/O manager opens none of them any more.
void mark_removal_begun(PDEVICE_OBJECT pdo);
bool removal_begun(PDEVICE_OBJECT d);  // marked, or deleted

// ---- IRPs --------------------------------------------------------------------------------------
// Called once the completion of an IRP made by the I/O manager has reached the top; it owns the IRP.
using irp_finalizer = std::function<void(PIRP)>;
void set_irp_finalizer(PIRP irp, irp_finalizer fn);
// The same without an allocation: returns room (kIrpContextSpace bytes, 16-aligned) for fn's context,
// which the caller builds there and fn takes down before it frees the IRP.
constexpr size_t kIrpContextSpace = 128;
using irp_finalizer_fn = void (*)(PIRP irp, void *context);
void *set_irp_finalizer(PIRP irp, irp_finalizer_fn fn);
// Keeps the record of an IRP (not yet freed) readable until it goes out of scope.
class irp_watch {
 public:
  explicit irp_watch(PIRP irp);
  ~irp_watch();
  irp_watch(const irp_watch &) = delete;
  irp_watch &operator=(const irp_watch &) = delete;
  bool finalized() const;  // its completion reached the top and its finalizer ran (or is running)

 private:
  void *rec_;
};
// Sends a PnP or power IRP to the top of pdo's stack and waits for it (PASSIVE_LEVEL).
NTSTATUS send_pnp_and_wait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, void (*setup)(PIO_STACK_LOCATION, void *),
                           void *ctx, ULONG_PTR *information);
// A freshly built IRP's pin stops it being freed while someone outside the driver still looks at it.
void pin_irp(PIRP irp);
void unpin_irp(PIRP irp);
void free_irp_internal(PIRP irp);
// Sends an IRP built with IoAllocateIrp to target and waits for its completion, which frees it; returns its
// final status block. With wait_always false it waits only when the call returned STATUS_PENDING.
IO_STATUS_BLOCK send_irp_and_wait(PDEVICE_OBJECT target, PIRP irp, bool wait_always = true);

// ---- device interfaces ------------------------------------------------------------------------
// The device object an interface path opens (the PDO), referenced; null when unknown or disabled.
PDEVICE_OBJECT open_interface(const std::string &user_path);
void disable_interfaces_of(PDEVICE_OBJECT pdo);

// ---- registry ----
NTSTATUS open_registry_path(const std::string &machine_path, PHANDLE out);

// ---- PnP hooks ---------------------------------------------------------------------------------
// Open-handle accounting per device stack (remove after surprise removal waits for the last close).
void stack_handle_opened(PDEVICE_OBJECT pdo);
void stack_handle_closed(PDEVICE_OBJECT pdo);
// The bus reports a new physical device object (identity set) and a device that went away.
void pnp_device_arrived(PDEVICE_OBJECT pdo, std::function<void()> on_removed);
void pnp_device_gone(PDEVICE_OBJECT pdo);

// ---- registry ------------------------------------------------------------------------------------
// Bridges to the process registry store (implemented in a normal translation unit).
}  // namespace wbk

#endif
