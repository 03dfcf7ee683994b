// Test and demo control of the kernel stand-in: rule checks, the DbgPrint sink, pool failure injection,
// DPC and work-item settling. Usable from normal and from kernel-mode (-fshort-wchar) translation units.
#ifndef STANDIN_KERNEL_H
#define STANDIN_KERNEL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace standin::kernel {

// ExRaiseStatus throws this; the I/O manager catches it at the boundary of a driver call-out.
struct raised_status {
  int32_t status;
};

// Kernel rules broken since the last call (calling at the wrong IRQL, pending without marking, completing
// twice, a freed IRP used, a spin lock left held, unloading with devices left, ...). Each is one line.
// Tests take them after each case: an unexpected entry fails the test that caused it.
std::vector<std::string> take_violations();
// Also called for each violation as it happens (any thread), e.g. to print or to count.
void set_violation_handler(std::function<void(const std::string &)> handler);

// DbgPrint output, one entry per call, oldest first (the last 10000 kept).
std::vector<std::string> debug_lines();
std::string debug_text();
void clear_debug();

// Pool failure injection: after `skip` matching allocations, the next `count` fail. tag 0 matches any tag
// (tags are the four characters as a little-endian 32-bit value, as in ExAllocatePoolWithTag).
void fail_pool(unsigned skip, unsigned count, uint32_t tag = 0);
// A predicate (pool type, size, tag) -> fail this allocation.
void set_pool_failure(std::function<bool(int, size_t, uint32_t)> fn);
void clear_pool_failures();
size_t pool_failures_injected();
// Live pool blocks and bytes (tag 0: all tags).
size_t pool_blocks(uint32_t tag = 0);
size_t pool_bytes(uint32_t tag = 0);

// Waits until every queued DPC has run.
void flush_dpcs();
// Waits until DPCs, work items and the PnP and bus work queues are idle. False on time-out.
bool settle(uint32_t timeout_ms = 10000);

// A driver object made in-process (tests): entry gets the DRIVER_OBJECT and its registry path, as a
// DriverEntry does. unload_driver calls DriverUnload and checks that no device object is left.
void *create_driver(const std::string &name, int32_t (*entry)(void *driver, void *registry_path));
void unload_driver(void *driver);
// IRP_MJ_SHUTDOWN to every device registered with IoRegisterShutdownNotification.
void send_shutdown_notifications();

// The calling thread's IRQL (0 passive, 2 dispatch).
int current_irql();

// IRPs completed while the completing thread held a spin lock (other than the cancel spin lock, which is a
// rule break): legal on Windows, but every completion routine above then runs under that lock.
size_t completions_under_spin_lock();
// IoCallDriver calls made holding a spin lock: the lower driver may complete inside the call.
size_t calls_under_spin_lock();
void clear_completions_under_spin_lock();  // both counts

// The NTSTATUS of the calling thread's last device open (CreateFile on "\\.\X" or an interface path):
// the Win32 error alone does not tell some codes apart (STATUS_DELETE_PENDING and STATUS_ACCESS_DENIED).
int32_t last_open_status();

// The thread that completes the next user request is held up for `ms` once the caller has its result, as
// a preempted processor would be: what the driver still does after IoCompleteRequest comes that late.
void hold_after_next_completion(uint32_t ms);

// The next `count` ZwSetValueKey calls for the value `value_name` fail with `status` (as a full hive or an
// exhausted quota makes them fail).
void fail_registry_write(const std::string &value_name, int32_t status, unsigned count = 1);
void clear_registry_write_failures();

}  // namespace standin::kernel

#endif
