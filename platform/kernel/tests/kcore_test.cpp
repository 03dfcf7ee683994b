// Kernel core: IRQL and spin locks, dispatcher objects, DPCs, work items, pool, counted strings, IRP
// completion and cancellation rules, and the rule checks. Drivers here are made in-process.
#include "zephtest/kernel_wait.h"
#include "zephtest/wait.h"
#include <wdm.h>

#include <gtest/gtest.h>
#include <standin/kernel.h>
#include <zephtest/kernel.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sk = standin::kernel;
using zephtest::has;
using zephtest::joined;

namespace {

class Kernel : public ::testing::Test {
 protected:
  void SetUp() override { zephtest::forget_violations(); }
  void TearDown() override {
    sk::flush_dpcs();
    zephtest::expect_no_violations();
    sk::clear_pool_failures();
  }
};

// ---- a two-device stack inside the test ----
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_upper, g_lower;
NTSTATUS upper_dispatch(PDEVICE_OBJECT d, PIRP irp) { return g_upper(d, irp); }
NTSTATUS lower_dispatch(PDEVICE_OBJECT d, PIRP irp) { return g_lower(d, irp); }

int32_t entry(void *drv, void *) {
  auto *d = static_cast<PDRIVER_OBJECT>(drv);
  for (auto &f : d->MajorFunction) f = upper_dispatch;
  return STATUS_SUCCESS;
}
int32_t lower_entry(void *drv, void *) {
  auto *d = static_cast<PDRIVER_OBJECT>(drv);
  for (auto &f : d->MajorFunction) f = lower_dispatch;
  return STATUS_SUCCESS;
}

NTSTATUS complete(PIRP irp, NTSTATUS st, ULONG_PTR info = 0) {
  irp->IoStatus.Status = st;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

class Stack : public Kernel {
 protected:
  void SetUp() override {
    Kernel::SetUp();
    udrv = static_cast<PDRIVER_OBJECT>(sk::create_driver("KTestUpper", entry));
    ldrv = static_cast<PDRIVER_OBJECT>(sk::create_driver("KTestLower", lower_entry));
    ASSERT_EQ(IoCreateDevice(ldrv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(udrv, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EQ(upper->StackSize, 2);
    g_upper = [this](PDEVICE_OBJECT, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    };
    g_lower = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
  }
  void TearDown() override {
    sk::flush_dpcs();
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    sk::unload_driver(udrv);
    sk::unload_driver(ldrv);
    g_upper = g_lower = nullptr;
    Kernel::TearDown();
  }

  // A device-control IRP of our own, sent to the top; the result comes back through the event.
  struct request {
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
  };
  void build(request &r, ULONG code = 0x222000) {
    KeInitializeEvent(&r.ev, NotificationEvent, FALSE);
    r.irp = IoBuildDeviceIoControlRequest(code, upper, nullptr, 0, nullptr, 0, FALSE, &r.ev, &r.iosb);
    ASSERT_NE(r.irp, nullptr);
  }
  NTSTATUS wait(request &r) {
    const NTSTATUS st = zephtest::ke_wait(&r.ev);
    EXPECT_EQ(st, STATUS_SUCCESS) << "the request did not complete";
    return st == STATUS_SUCCESS ? r.iosb.Status : st;
  }
  // One request down the stack and back.
  NTSTATUS round_trip() {
    request r;
    build(r);
    IoCallDriver(upper, r.irp);
    return wait(r);
  }

  PDRIVER_OBJECT udrv = nullptr, ldrv = nullptr;
  PDEVICE_OBJECT upper = nullptr, lower = nullptr;
};

// ---------------------------------------------------------------------------------------------

TEST_F(Kernel, CountedStringsBuildDeviceNames) {
  WCHAR buf[32];
  UNICODE_STRING s{0, sizeof buf, buf};
  RtlAppendUnicodeToString(&s, L"WbDevice");
  WCHAR nb[8];
  UNICODE_STRING n{0, sizeof nb, nb};
  ASSERT_EQ(RtlIntegerToUnicodeString(12, 10, &n), STATUS_SUCCESS);
  ASSERT_EQ(RtlAppendUnicodeStringToString(&s, &n), STATUS_SUCCESS);
  UNICODE_STRING want;
  RtlInitUnicodeString(&want, L"WbDevice12");
  EXPECT_TRUE(RtlEqualUnicodeString(&s, &want, FALSE));
  UNICODE_STRING lower_case;
  RtlInitUnicodeString(&lower_case, L"wbdevice12");
  EXPECT_FALSE(RtlEqualUnicodeString(&s, &lower_case, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&s, &lower_case, TRUE));
  // No room: the string is left as it was.
  UNICODE_STRING tiny{0, 4, nb};
  EXPECT_EQ(RtlAppendUnicodeToString(&tiny, L"abc"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tiny.Length, 0);
  ULONG v = 0;
  RtlInitUnicodeString(&want, L"0x1F");
  RtlUnicodeStringToInteger(&want, 0, &v);
  EXPECT_EQ(v, 0x1Fu);
}

TEST_F(Kernel, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Kernel, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL o;
      KeAcquireSpinLock(&lock, &o);
      ++counter;
      KeReleaseSpinLock(&lock, o);
    }
  };
  std::thread a(work), b(work);
  zephtest::join(a);
  zephtest::join(b);
  EXPECT_EQ(counter, 40000);
}

TEST_F(Kernel, WaitingAtDispatchLevelIsARuleBreak) {
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER t;
  t.QuadPart = -10000;
  EXPECT_NE(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  t.QuadPart = 0;  // a poll is allowed at DISPATCH_LEVEL
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  KeLowerIrql(old);
  auto v = sk::take_violations();
  ASSERT_EQ(v.size(), 1u) << joined(v);
  EXPECT_TRUE(has(v, "KeWaitForSingleObject with a non-zero time-out at IRQL 2"));
  // Paged pool at DISPATCH_LEVEL.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void *p = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
  KeLowerIrql(old);
  ExFreePool(p);
  EXPECT_TRUE(has(sk::take_violations(), "paged pool allocated at IRQL 2"));
  // And freed there: only non-paged pool may be.
  void *q = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
  void *r = ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT');
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePoolWithTag(r, 'tseT');
  EXPECT_TRUE(sk::take_violations().empty());
  ExFreePoolWithTag(q, 'tseT');
  KeLowerIrql(old);
  EXPECT_TRUE(has(sk::take_violations(), "paged pool freed at IRQL 2"));
}

TEST_F(Kernel, EventsAndTimeouts) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  KeInitializeEvent(&s, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  // A synchronization event lets one wait through, then is clear again.
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&n, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&n), 1);  // notification stays set
  KeClearEvent(&n);
  LARGE_INTEGER ten_ms;
  ten_ms.QuadPart = -100000;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &ten_ms), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(9));
  std::thread t([&] { KeSetEvent(&n, 0, FALSE); });
  {
    // The wait without a time-out is what is checked here: one that is not woken is woken again.
    zephtest::watchdog dog([&] {
      ADD_FAILURE() << "the wait without a time-out was not woken";
      KeSetEvent(&n, 0, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  }
  zephtest::join(t);
}

TEST_F(Kernel, MutexIsRecursiveAndOwned) {
  KMUTEX m;
  KeInitializeMutex(&m, 1);
  EXPECT_EQ(zephtest::ke_wait(&m), STATUS_SUCCESS);
  EXPECT_EQ(zephtest::ke_wait(&m), STATUS_SUCCESS);
  std::atomic<int> other{-1};
  std::thread t([&] {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero);
  });
  zephtest::join(t);
  EXPECT_EQ(other.load(), STATUS_TIMEOUT);
  KeReleaseMutex(&m, FALSE);
  KeReleaseMutex(&m, FALSE);
  std::thread t2([&] {
    other = zephtest::ke_wait(&m);
    KeReleaseMutex(&m, FALSE);
  });
  zephtest::join(t2);
  EXPECT_EQ(other.load(), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);  // not the owner
  EXPECT_TRUE(has(sk::take_violations(), "does not own the mutex"));
}

struct dpc_probe {
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  KEVENT gate, done;
};
void probe_dpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  auto *p = static_cast<dpc_probe *>(ctx);
  p->irql = KeGetCurrentIrql();
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_TRUE(zephtest::wait_until(
      [&] { return KeWaitForSingleObject(&p->gate, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS; },
      zephtest::default_deadline, std::chrono::milliseconds(0)));
  p->runs++;
  KeSetEvent(&p->done, 0, FALSE);
}

TEST_F(Kernel, DpcRunsAtDispatchAndIsNeverQueuedTwice) {
  dpc_probe p;
  KeInitializeEvent(&p.gate, NotificationEvent, FALSE);
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  KDPC dpc, blocker;
  KeInitializeDpc(&blocker, probe_dpc, &p);
  KeInitializeDpc(&dpc, probe_dpc, &p);
  // The blocker holds the DPC thread so that dpc stays queued.
  EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KeSetEvent(&p.gate, 0, FALSE);
  sk::flush_dpcs();
  EXPECT_EQ(p.runs.load(), 2);
  EXPECT_EQ(p.irql.load(), DISPATCH_LEVEL);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // may be queued again once it ran
  sk::flush_dpcs();
  EXPECT_EQ(p.runs.load(), 3);
}

// A DPC routine that has completed its work (so the waiter goes on to unload its driver) but is still
// returning into the driver's code.
struct tail_probe {
  std::atomic<bool> unloading{false}, unloaded{false}, unloaded_while_running{false};
  KEVENT ran;
};
tail_probe *g_tail = nullptr;
void tail_dpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  auto *p = static_cast<tail_probe *>(ctx);
  KeSetEvent(&p->ran, 0, FALSE);
  EXPECT_TRUE(zephtest::wait_until([&] { return p->unloading.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  p->unloaded_while_running = p->unloaded.load();
}
void tail_unload(PDRIVER_OBJECT) { g_tail->unloaded = true; }
int32_t tail_entry(void *drv, void *) {
  static_cast<PDRIVER_OBJECT>(drv)->DriverUnload = tail_unload;
  return STATUS_SUCCESS;
}

TEST_F(Kernel, UnloadWaitsForADpcStillRunningInTheDriver) {
  tail_probe p;
  g_tail = &p;
  KeInitializeEvent(&p.ran, NotificationEvent, FALSE);
  void *drv = sk::create_driver("KTestTail", tail_entry);
  ASSERT_NE(drv, nullptr);
  KDPC dpc;
  KeInitializeDpc(&dpc, tail_dpc, &p);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ASSERT_EQ(zephtest::ke_wait(&p.ran), STATUS_SUCCESS);
  p.unloading = true;
  sk::unload_driver(drv);
  sk::flush_dpcs();
  EXPECT_TRUE(p.unloaded.load());
  EXPECT_FALSE(p.unloaded_while_running.load());
  g_tail = nullptr;
}

TEST_F(Kernel, DeletingADeviceWithItsDpcQueuedIsCaught) {
  auto *drv = static_cast<PDRIVER_OBJECT>(sk::create_driver("KTestDpcDev", nullptr));
  PDEVICE_OBJECT d;
  ASSERT_EQ(IoCreateDevice(drv, sizeof(KDPC), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
  dpc_probe p;
  KeInitializeEvent(&p.gate, NotificationEvent, FALSE);
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  KDPC blocker;
  KeInitializeDpc(&blocker, probe_dpc, &p);
  auto *in_device = static_cast<PKDPC>(d->DeviceExtension);
  KeInitializeDpc(in_device, probe_dpc, &p);
  KeInsertQueueDpc(&blocker, nullptr, nullptr);  // holds the DPC thread
  KeInsertQueueDpc(in_device, nullptr, nullptr);
  IoDeleteDevice(d);
  EXPECT_TRUE(has(sk::take_violations(), "freed with 1 DPC(s) in it still queued"));
  KeSetEvent(&p.gate, 0, FALSE);
  sk::flush_dpcs();
  EXPECT_EQ(p.runs.load(), 1);  // the freed one never ran
  sk::unload_driver(drv);
}

void leaky_dpc(PKDPC, PVOID ctx, PVOID, PVOID) {
  KIRQL old;
  KeAcquireSpinLock(static_cast<PKSPIN_LOCK>(ctx), &old);  // never released
}

TEST_F(Kernel, DpcLeavingASpinLockHeldIsCaught) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, leaky_dpc, &lock);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  sk::flush_dpcs();
  EXPECT_TRUE(has(sk::take_violations(), "DPC routine returned holding 1 spin lock"));
  // The stand-in let go of it, so the next user is not stuck.
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeReleaseSpinLock(&lock, old);
}

struct work_probe {
  std::atomic<int> irql{-1};
  KEVENT done;
};
void work_routine(PDEVICE_OBJECT, PVOID ctx) {
  auto *p = static_cast<work_probe *>(ctx);
  p->irql = KeGetCurrentIrql();
  KeSetEvent(&p->done, 0, FALSE);
}

TEST_F(Stack, WorkItemRunsAtPassiveAndRefusesADoubleQueue) {
  work_probe p;
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  PIO_WORKITEM w = IoAllocateWorkItem(upper);
  ASSERT_NE(w, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from DISPATCH_LEVEL, runs at PASSIVE_LEVEL
  IoQueueWorkItem(w, work_routine, DelayedWorkQueue, &p);
  KeLowerIrql(old);
  ASSERT_EQ(zephtest::ke_wait(&p.done), STATUS_SUCCESS);
  EXPECT_EQ(p.irql.load(), PASSIVE_LEVEL);
  ASSERT_TRUE(sk::settle(5000));
  IoFreeWorkItem(w);
}

TEST_F(Kernel, PoolTagsFailureInjectionAndDoubleFree) {
  const ULONG tag = 'xloP';
  size_t before = sk::pool_blocks(tag);
  void *a = ExAllocatePoolWithTag(NonPagedPool, 100, tag);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sk::pool_blocks(tag), before + 1);
  sk::fail_pool(1, 1, tag);
  void *b = ExAllocatePoolWithTag(NonPagedPool, 10, tag);  // skipped
  void *c = ExAllocatePoolWithTag(NonPagedPool, 10, tag);  // fails
  void *d = ExAllocatePoolWithTag(NonPagedPool, 10, tag);  // after the rule
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(sk::pool_failures_injected(), 1u);
  ExFreePool(b);
  ExFreePool(d);
  ExFreePoolWithTag(a, tag);
  EXPECT_EQ(sk::pool_blocks(tag), before);
  ExFreePool(a);
  EXPECT_TRUE(has(sk::take_violations(), "freed twice"));
  try {
    ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    FAIL() << "ExRaiseStatus returned";
  } catch (const sk::raised_status &e) {
    EXPECT_EQ(e.status, STATUS_INSUFFICIENT_RESOURCES);
  }
}

TEST_F(Kernel, DebugPrintGoesToTheSink) {
  sk::clear_debug();
  DbgPrint("Failed to allocate %x bytes from pool of type %x\n", 0x40, 0);
  EXPECT_EQ(sk::debug_text(), "Failed to allocate 40 bytes from pool of type 0\n");
}

TEST_F(Kernel, SymbolicLinksShareOneNamespaceAndDeleteTwiceIsHarmless) {
  UNICODE_STRING a, b, target;
  RtlInitUnicodeString(&a, L"\\DosDevices\\KTestLink");
  RtlInitUnicodeString(&b, L"\\??\\KTestLink");
  RtlInitUnicodeString(&target, L"\\Device\\Nothing");
  EXPECT_EQ(IoCreateSymbolicLink(&a, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&b, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&b), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&a), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Kernel, SymbolicLinkCallsAbovePassiveLevelAreCaught) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, L"\\??\\KTestIrqlLink");
  RtlInitUnicodeString(&target, L"\\Device\\Nothing");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCreateSymbolicLink(&link, &target);
  IoDeleteSymbolicLink(&link);
  KeLowerIrql(old);
  auto v = sk::take_violations();
  EXPECT_TRUE(has(v, "IoCreateSymbolicLink at IRQL 2")) << joined(v);
  EXPECT_TRUE(has(v, "IoDeleteSymbolicLink at IRQL 2")) << joined(v);
  // At PASSIVE_LEVEL both are fine.
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// ---- IRP rules ----

TEST_F(Stack, CompletingUnderTheCancelSpinLockIsCaughtAndOtherLocksAreCounted) {
  static KSPIN_LOCK own_lock;
  KeInitializeSpinLock(&own_lock);
  sk::clear_completions_under_spin_lock();
  // The cancel spin lock: Windows requires it released before anything is completed.
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    complete(irp, STATUS_SUCCESS);
    IoReleaseCancelSpinLock(irql);
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(round_trip(), STATUS_SUCCESS);
  auto v = sk::take_violations();
  EXPECT_TRUE(has(v, "completed while holding the cancel spin lock")) << joined(v);
  EXPECT_EQ(sk::completions_under_spin_lock(), 0u);
  // Any other spin lock: legal, but the completion routines above run under it. Counted, as is a call to
  // the lower driver made under it.
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&own_lock, &irql);
    complete(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&own_lock, irql);
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(round_trip(), STATUS_SUCCESS);
  EXPECT_TRUE(sk::take_violations().empty());
  EXPECT_EQ(sk::completions_under_spin_lock(), 1u);
  EXPECT_EQ(sk::calls_under_spin_lock(), 0u);
  g_lower = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
  g_upper = [this](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&own_lock, &irql);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS st = IoCallDriver(lower, irp);
    KeReleaseSpinLock(&own_lock, irql);
    return st;
  };
  EXPECT_EQ(round_trip(), STATUS_SUCCESS);
  EXPECT_EQ(sk::calls_under_spin_lock(), 1u);
  EXPECT_EQ(sk::completions_under_spin_lock(), 2u);
  // Completed with no lock held: not counted.
  g_upper = [this](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  };
  EXPECT_EQ(round_trip(), STATUS_SUCCESS);
  EXPECT_EQ(sk::completions_under_spin_lock(), 2u);
  sk::clear_completions_under_spin_lock();
  EXPECT_EQ(sk::completions_under_spin_lock(), 0u);
  EXPECT_EQ(sk::calls_under_spin_lock(), 0u);
}

TEST_F(Stack, ShutdownNotificationReachesRegisteredDevices) {
  static std::atomic<int> shutdowns{0};
  shutdowns = 0;
  g_upper = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SHUTDOWN) shutdowns++;
    return complete(irp, STATUS_SUCCESS);
  };
  ASSERT_EQ(IoRegisterShutdownNotification(upper), STATUS_SUCCESS);
  EXPECT_TRUE(upper->Flags & DO_SHUTDOWN_REGISTERED);
  sk::send_shutdown_notifications();
  EXPECT_EQ(shutdowns.load(), 1);
  IoUnregisterShutdownNotification(upper);
  EXPECT_FALSE(upper->Flags & DO_SHUTDOWN_REGISTERED);
  sk::send_shutdown_notifications();
  EXPECT_EQ(shutdowns.load(), 1);
}

TEST_F(Kernel, UnloadingWithDevicesLeftIsCaught) {
  auto *drv = static_cast<PDRIVER_OBJECT>(sk::create_driver("KTestLeaky", nullptr));
  PDEVICE_OBJECT d;
  ASSERT_EQ(IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
  sk::unload_driver(drv);
  EXPECT_TRUE(has(sk::take_violations(), "driver \\Driver\\KTestLeaky unloaded with 1 device object(s) left"));
  IoDeleteDevice(d);
  sk::unload_driver(drv);
}

TEST_F(Stack, BufferedControlRequestCopiesOutputBack) {
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    auto *buf = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
    memcpy(buf, "wxyz", 4);
    return complete(irp, STATUS_SUCCESS, 4);
  };
  KEVENT ev;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  char in[3] = {'a', 'b', 'c'}, out[8] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 0x900, METHOD_BUFFERED, 0), upper, in, 3, out, 8, FALSE, &ev,
                                           &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_SUCCESS);
  ASSERT_EQ(zephtest::ke_wait(&ev), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::string(out, 4), "wxyz");
}

struct cr_log {
  std::atomic<int> calls{0};
  std::atomic<bool> saw_pending{false};
  NTSTATUS ret = STATUS_SUCCESS;
  PDEVICE_OBJECT dev = nullptr;
};
NTSTATUS logging_completion(PDEVICE_OBJECT d, PIRP irp, PVOID ctx) {
  auto *l = static_cast<cr_log *>(ctx);
  l->calls++;
  l->dev = d;
  l->saw_pending = irp->PendingReturned != 0;
  if (irp->PendingReturned && l->ret != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
  return l->ret;
}

TEST_F(Stack, CompletionRoutinesRunByOutcome) {
  cr_log log;
  for (int round = 0; round < 3; ++round) {
    NTSTATUS lower_status = round == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    g_lower = [lower_status](PDEVICE_OBJECT, PIRP irp) { return complete(irp, lower_status); };
    g_upper = [&, round](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      // round 0: success only; round 1: success only but the lower fails; round 2: error only.
      IoSetCompletionRoutine(irp, logging_completion, &log, round != 2, round == 2, FALSE);
      return IoCallDriver(lower, irp);
    };
    request r;
    build(r);
    log.calls = 0;
    IoCallDriver(upper, r.irp);
    EXPECT_EQ(wait(r), lower_status);
    EXPECT_EQ(log.calls.load(), round == 1 ? 0 : 1) << "round " << round;
    if (log.calls) {
      EXPECT_EQ(log.dev, upper);
    }
  }
}

struct resend_ctx {
  PDEVICE_OBJECT lower;
  std::atomic<int> attempts{0};
  KEVENT done;
};
NTSTATUS resend_completion(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
  auto *c = static_cast<resend_ctx *>(ctx);
  if (c->attempts.fetch_add(1) < 2 && !NT_SUCCESS(irp->IoStatus.Status)) {
    // Try again from the completion routine: the IRP is ours again.
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, resend_completion, c, TRUE, TRUE, TRUE);
    IoCallDriver(c->lower, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KeSetEvent(&c->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Stack, MoreProcessingRequiredAndResendFromTheCompletionRoutine) {
  std::atomic<int> lower_calls{0};
  g_lower = [&](PDEVICE_OBJECT, PIRP irp) {
    int n = lower_calls.fetch_add(1);
    return complete(irp, n < 2 ? STATUS_IO_TIMEOUT : STATUS_SUCCESS, 7);
  };
  resend_ctx c;
  c.lower = lower;
  KeInitializeEvent(&c.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);  // our own location, as the first user of the IRP
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  own->DeviceObject = upper;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, resend_completion, &c, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  ASSERT_EQ(zephtest::ke_wait(&c.done), STATUS_SUCCESS);
  EXPECT_EQ(lower_calls.load(), 3);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  // The upper driver may now finish it: after MORE_PROCESSING_REQUIRED this is not a second completion.
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoFreeIrp(irp);
  EXPECT_TRUE(sk::take_violations().empty());
}

TEST_F(Stack, PendingFromADpcPropagatesPendingReturned) {
  static PIRP held;
  static KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { complete(held, STATUS_SUCCESS, 5); }, nullptr);
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    return STATUS_PENDING;
  };
  cr_log log;
  log.ret = STATUS_SUCCESS;
  g_upper = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, logging_completion, &log, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);  // returns STATUS_PENDING; the routine marks its own location
  };
  request r;
  build(r);
  EXPECT_EQ(IoCallDriver(upper, r.irp), STATUS_PENDING);
  EXPECT_EQ(wait(r), STATUS_SUCCESS);
  EXPECT_EQ(r.iosb.Information, 5u);
  EXPECT_TRUE(log.saw_pending.load());
}

TEST_F(Stack, PendingWithoutMarkingIsCaught) {
  static PIRP held;
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;  // not marked
  };
  request r;
  build(r);
  EXPECT_EQ(IoCallDriver(upper, r.irp), STATUS_PENDING);
  complete(held, STATUS_SUCCESS);  // the check runs once both the return and the completion are seen
  wait(r);
  auto v = sk::take_violations();
  EXPECT_TRUE(has(v, "KTestLower returned STATUS_PENDING for IRP major 0xe minor 0x0 without IoMarkIrpPending"))
      << joined(v);
}

TEST_F(Stack, CompletingTwiceIsCaughtAndIgnored) {
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    complete(irp, STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the IRP is already gone up
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(round_trip(), STATUS_SUCCESS);
  auto v = sk::take_violations();
  EXPECT_TRUE(has(v, "freed IRP") || has(v, "completed twice")) << joined(v);
}

TEST_F(Stack, UsingAFreedIrpIsCaught) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoFreeIrp(irp);
  EXPECT_EQ(IoCallDriver(upper, irp), STATUS_INVALID_PARAMETER);
  IoMarkIrpPending(irp);
  IoFreeIrp(irp);
  auto v = sk::take_violations();
  EXPECT_TRUE(has(v, "IoCallDriver with an IRP that was freed")) << joined(v);
  EXPECT_TRUE(has(v, "IoMarkIrpPending on a freed IRP")) << joined(v);
  EXPECT_TRUE(has(v, "already freed") || has(v, "not an IRP")) << joined(v);
}

// Freed IRPs come back for reuse, but only after a while: a late use of one is still caught after
// hundreds of others of its size came and went, and IRPs freed on another thread are reused rather
// than piling up.
TEST_F(Stack, FreedIrpsAreHeldBackThenReused) {
  PIRP old = IoAllocateIrp(3, FALSE);
  ASSERT_NE(old, nullptr);
  IoFreeIrp(old);
  for (int i = 0; i < 200; ++i) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, old);
    IoFreeIrp(irp);
  }
  EXPECT_EQ(IoCallDriver(upper, old), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(has(sk::take_violations(), "IoCallDriver with an IRP that was freed"));

  constexpr int kRounds = 40, kPerRound = 100;
  std::set<PIRP> seen;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<PIRP> batch;
    for (int i = 0; i < kPerRound; ++i) {
      batch.push_back(IoAllocateIrp(5, FALSE));
      ASSERT_NE(batch.back(), nullptr);
      seen.insert(batch.back());
    }
    zephtest::join(std::thread([&] {
      for (PIRP irp : batch) IoFreeIrp(irp);
    }));
  }
  EXPECT_LT(seen.size(), (size_t)(kRounds * kPerRound / 2));
  zephtest::expect_no_violations();
}

TEST_F(Stack, DispatchLeavingASpinLockHeldIsCaught) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  g_lower = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL o;
    KeAcquireSpinLock(&lock, &o);
    return complete(irp, STATUS_SUCCESS);
  };
  request r;
  build(r);
  IoCallDriver(upper, r.irp);
  wait(r);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(has(sk::take_violations(), "dispatch routine returned holding 1 spin lock"));
}

TEST_F(Stack, AllocatedIrpCompletedToTheTopIsCaught) {
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoCallDriver(lower, irp);  // no completion routine to take it back
  EXPECT_TRUE(has(sk::take_violations(), "must return STATUS_MORE_PROCESSING_REQUIRED"));
  IoFreeIrp(irp);
}

// ---- cancellation ----
struct parking {
  KSPIN_LOCK lock;
  PIRP parked = nullptr;
  std::atomic<int> cancels{0};
};
parking g_park;

void park_cancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL o;
  KeAcquireSpinLock(&g_park.lock, &o);
  if (g_park.parked == irp) g_park.parked = nullptr;
  KeReleaseSpinLock(&g_park.lock, o);
  g_park.cancels++;
  complete(irp, STATUS_CANCELLED);
}

NTSTATUS park_dispatch(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  KIRQL o;
  KeAcquireSpinLock(&g_park.lock, &o);
  g_park.parked = irp;
  IoSetCancelRoutine(irp, park_cancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    g_park.parked = nullptr;
    KeReleaseSpinLock(&g_park.lock, o);
    complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&g_park.lock, o);
  return STATUS_PENDING;
}

// Finishes the parked IRP unless its cancel routine already owns it.
bool finish_parked(NTSTATUS st) {
  KIRQL o;
  KeAcquireSpinLock(&g_park.lock, &o);
  PIRP irp = g_park.parked;
  if (irp && !IoSetCancelRoutine(irp, nullptr)) irp = nullptr;
  if (irp) g_park.parked = nullptr;
  KeReleaseSpinLock(&g_park.lock, o);
  if (irp) complete(irp, st);
  return irp != nullptr;
}

TEST_F(Stack, CancelBeforeDuringAndAfterTheCancelRoutineIsSet) {
  KeInitializeSpinLock(&g_park.lock);
  g_lower = park_dispatch;
  // Before: the IRP is already cancelled when the driver parks it.
  {
    request r;
    build(r);
    g_park.cancels = 0;
    r.irp->Cancel = TRUE;  // IoCancelIrp found no routine
    EXPECT_FALSE(IoCancelIrp(r.irp) && false);
    IoCallDriver(upper, r.irp);
    EXPECT_EQ(wait(r), STATUS_CANCELLED);
  }
  // While parked: the cancel routine completes it.
  {
    request r;
    build(r);
    g_park.cancels = 0;
    IoCallDriver(upper, r.irp);
    EXPECT_TRUE(IoCancelIrp(r.irp));
    EXPECT_EQ(wait(r), STATUS_CANCELLED);
    EXPECT_EQ(g_park.cancels.load(), 1);
  }
  // After: the driver took the routine back and completed it; a late cancel finds nothing.
  {
    request r;
    build(r);
    IoCallDriver(upper, r.irp);
    PIRP irp = r.irp;
    EXPECT_TRUE(finish_parked(STATUS_SUCCESS));
    EXPECT_EQ(wait(r), STATUS_SUCCESS);
    (void)irp;
  }
  // Racing: cancel and completion from two threads, many times; exactly one of them finishes each IRP.
  // The IRP is ours (MORE_PROCESSING_REQUIRED), so cancelling it stays valid until we free it.
  for (int i = 0; i < 200; ++i) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID ctx) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    std::thread t([&] { finish_parked(STATUS_SUCCESS); });
    IoCancelIrp(irp);
    zephtest::join(t);
    ASSERT_EQ(zephtest::ke_wait(&done), STATUS_SUCCESS);
    NTSTATUS st = irp->IoStatus.Status;
    EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_CANCELLED);
    IoFreeIrp(irp);
  }
}

TEST_F(Kernel, RegistryRoundTripThroughZwCalls) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Software\\KTest\\Zw");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key;
  ULONG disp = 0;
  ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disp), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Product");
  WCHAR text[] = L"abc";
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, text, 8), STATUS_SUCCESS);
  UNICODE_STRING dname;
  RtlInitUnicodeString(&dname, L"bcdDevice");
  ULONG v = 0x0105;
  ASSERT_EQ(ZwSetValueKey(key, &dname, 0, REG_DWORD, &v, 4), STATUS_SUCCESS);
  ZwClose(key);

  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
  UCHAR buf[64];
  ULONG len = 0;
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf);
  // Too small for the data: the header comes back with the size needed.
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, 14, &len), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(info->DataLength, 8u);
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(info->Type, (ULONG)REG_SZ);
  EXPECT_EQ(memcmp(info->Data, text, 8), 0);
  ASSERT_EQ(ZwQueryValueKey(key, &dname, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(*reinterpret_cast<ULONG *>(info->Data), 0x0105u);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"Nope");
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buf, sizeof buf, &len),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\KTestNoSuchKey");
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
