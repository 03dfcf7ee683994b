// The class library and the pool arenas in-process (kernel-mode code): counted strings, registry values,
// the arenas, and the managed IRP queue with cancellation racing completion.
#include "arena.h"
#include "channels.h"
#include "classlib/irp_queue.h"
#include "classlib/kdriver.h"
#include "protocol_device.h"

#include <gtest/gtest.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zephtest/wait.h"

std::string plug_bare_instrument(const std::string &serial);

namespace {

namespace sk = standin::kernel;

std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (auto &x : v) s += x + "\n";
  return s;
}

class Classlib : public ::testing::Test {
 protected:
  void SetUp() override {
    sk::take_violations();
    sk::clear_pool_failures();
    sk::clear_completions_under_spin_lock();
    base_ = sk::pool_blocks(kl::pool_tag);
  }
  void TearDown() override {
    sk::clear_pool_failures();
    EXPECT_TRUE(sk::settle());
    EXPECT_EQ(sk::pool_blocks(kl::pool_tag), base_);
    auto v = sk::take_violations();
    EXPECT_TRUE(v.empty()) << joined(v);
    // As in the driver's fixture: no IRP completed, nor a lower driver called, holding a spin lock.
    EXPECT_EQ(sk::completions_under_spin_lock(), 0u) << "IRPs completed under a spin lock";
    EXPECT_EQ(sk::calls_under_spin_lock(), 0u) << "IoCallDriver under a spin lock";
  }
  size_t base_ = 0;
};

std::u16string text(const UNICODE_STRING &s) { return std::u16string((const char16_t *)s.Buffer, s.Length / 2); }

TEST_F(Classlib, CountedStrings) {
  kl::counted_unicode_string s;
  ASSERT_EQ(s.from_text_and_number(L"VANTRELDevice", 12), STATUS_SUCCESS);
  EXPECT_EQ(text(s.value()), u"VANTRELDevice12");
  EXPECT_EQ(s.value().Buffer[s.value().Length / 2], 0);  // NUL-terminated
  ASSERT_EQ(s.from_text_and_number(L"x", 0xBEEF, 16), STATUS_SUCCESS);
  EXPECT_EQ(text(s.value()), u"xBEEF");
  kl::counted_unicode_string t;
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"xBEEF");
  EXPECT_TRUE(s.equals(u));
  RtlInitUnicodeString(&u, L"xBEEE");
  EXPECT_FALSE(s.equals(u));
  // Odd sizes round down; under 2 bytes nothing is allocated.
  EXPECT_EQ(t.allocate(7), STATUS_SUCCESS);
  EXPECT_EQ(t.value().MaximumLength, 6);
  EXPECT_EQ(t.allocate(1), STATUS_SUCCESS);
  EXPECT_EQ(t.value().Buffer, nullptr);
  sk::fail_pool(0, 1000000, kl::pool_tag);
  EXPECT_EQ(t.from_text_and_number(L"abc", 1), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(Classlib, RegistryKeysAreOpenedWithoutCreatingThem) {
  // A key of its own each run (the store keeps keys for the process).
  static ULONG run = 0;
  kl::counted_unicode_string name, sub;
  ASSERT_EQ(name.from_text_and_number(L"VtProbe", ++run), STATUS_SUCCESS);
  ASSERT_EQ(sub.append(name.value()), STATUS_SUCCESS);
  ASSERT_EQ(sub.append(L"\\Parameters"), STATUS_SUCCESS);
  kl::registry_key k;
  EXPECT_FALSE(NT_SUCCESS(k.open_subkey(kl::root_services, sub.value().Buffer, KEY_READ)));
  // The failed open made nothing.
  EXPECT_FALSE(NT_SUCCESS(k.open_subkey(kl::root_services, name.value().Buffer, KEY_READ)));
  ASSERT_EQ(k.open_subkey(kl::root_services, name.value().Buffer, KEY_ALL_ACCESS, true), STATUS_SUCCESS);
  EXPECT_EQ(k.write_string(L"S", L"abc"), STATUS_SUCCESS);
  EXPECT_EQ(k.write_dword(L"D", 0x12345678), STATUS_SUCCESS);
  ULONG v = 0;
  EXPECT_EQ(k.query_dword(L"D", &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 0x12345678u);
  v = 7;
  EXPECT_NE(k.query_dword(L"S", &v), STATUS_SUCCESS);  // not a DWORD: left alone
  EXPECT_NE(k.query_dword(L"Missing", &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 7u);
  // "abc" is 8 bytes: three UTF-16 units and the NUL.
  UNICODE_STRING value;
  RtlInitUnicodeString(&value, L"S");
  UCHAR buf[64];
  ULONG got = 0;
  ASSERT_EQ(ZwQueryValueKey(k.handle(), &value, KeyValuePartialInformation, buf, sizeof buf, &got), STATUS_SUCCESS);
  auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buf);
  EXPECT_EQ(info->Type, (ULONG)REG_SZ);
  EXPECT_EQ(info->DataLength, 8u);
  EXPECT_EQ(ZwDeleteValueKey(k.handle(), &value), STATUS_SUCCESS);
}

// As on Windows, a device key opened with the standard rights alone takes no values: the driver asks
// for the set-value right its writes need.
TEST_F(Classlib, DeviceKeysWriteOnlyWithTheSetValueRight) {
  std::string instance = plug_bare_instrument("KEYS");
  ASSERT_TRUE(standin::pnp::settle());
  auto pdo = static_cast<PDEVICE_OBJECT>(standin::usbbus::physical_device_object(instance));
  ASSERT_NE(pdo, nullptr);
  for (ACCESS_MASK access : {(ACCESS_MASK)STANDARD_RIGHTS_ALL, (ACCESS_MASK)(STANDARD_RIGHTS_ALL | KEY_SET_VALUE)}) {
    HANDLE h = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, access, &h), STATUS_SUCCESS);
    kl::registry_key k;
    k.adopt(h, STATUS_SUCCESS);
    NTSTATUS st = k.write_dword(L"bcdDevice", 1);
    EXPECT_EQ(st, access & KEY_SET_VALUE ? STATUS_SUCCESS : STATUS_ACCESS_DENIED) << std::hex << access;
  }
  standin::usbbus::unplug(instance);
  ASSERT_TRUE(standin::pnp::settle());
}

struct test_arena {
  vantrel::nonpaged_arena a;
  test_arena(size_t size, bool hook) {
    a.create(size, NonPagedPool);
    if (hook) a.set_failure_hook(kl::allocation_failure_hook);
  }
  ~test_arena() { a.release(); }
};

TEST_F(Classlib, ArenaBlocksCarryTheirHeaderAndAdjacentFreesMerge) {
  test_arena t(4096, false);
  auto *a = static_cast<UCHAR *>(t.a.allocate(1));
  auto *b = static_cast<UCHAR *>(t.a.allocate(1));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(b - a, 16);  // 1 byte takes a 16-byte block, header included
  EXPECT_TRUE(t.a.contains(a));
  auto *c = static_cast<UCHAR *>(t.a.allocate(40));
  auto *d = static_cast<UCHAR *>(t.a.allocate(24));
  auto *pin = t.a.allocate(8);  // keeps the three from going back into the tail
  EXPECT_EQ(d - c, 48);
  // Three adjacent blocks freed in any order become one.
  t.a.free(c);
  t.a.free(a + 0);  // not adjacent to c (b lies between)
  EXPECT_EQ(t.a.free_blocks(), 2u);
  t.a.free(d);
  t.a.free(b);
  EXPECT_EQ(t.a.free_blocks(), 1u);
  // The merged block serves an exact fit of all of it.
  auto *big = static_cast<UCHAR *>(t.a.allocate(16 + 16 + 48 + 32 - 8));
  EXPECT_EQ(big, a);
  EXPECT_EQ(t.a.free_blocks(), 0u);
  t.a.free(big);
  t.a.free(pin);
  EXPECT_EQ(t.a.allocate(0), nullptr);
}

TEST_F(Classlib, AnExhaustedArenaReportsAndFallsBackToThePool) {
  test_arena t(256, true);
  std::vector<void *> blocks;
  sk::clear_debug();
  for (int i = 0; i < 20; ++i) {
    void *p = t.a.allocate(56);
    ASSERT_NE(p, nullptr);
    memset(p, 0xA5, 56);
    blocks.push_back(p);
  }
  EXPECT_FALSE(t.a.contains(blocks.back()));
  EXPECT_NE(sk::debug_text().find("Failed to allocate 38 bytes from pool of type 0"), std::string::npos)
      << sk::debug_text();
  // With the system pool exhausted as well the caller gets none, at any IRQL, never an exception.
  sk::fail_pool(0, 1000000, kl::pool_tag);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(t.a.allocate(56), nullptr);
  KeLowerIrql(old);
  sk::clear_pool_failures();
  for (void *p : blocks) t.a.free(p);
  // Without a hook an exhausted arena gives none.
  test_arena quiet(128, false);
  void *p = nullptr;
  int n = 0;
  while ((p = quiet.a.allocate(8)) != nullptr) ++n;
  EXPECT_GT(n, 0);
}

TEST_F(Classlib, IsochronousTransfersStayWithin255PacketsOfWholePackets) {
  using vantrel::iso_reader;
  EXPECT_EQ(iso_reader::packets_for(240, 65536), 17u);  // 4080 bytes
  EXPECT_EQ(iso_reader::packets_for(120, 65536), 34u);
  EXPECT_EQ(iso_reader::packets_for(360, 65536), 182u);  // within 255: as computed
  EXPECT_EQ(iso_reader::packets_for(360, 131072), 11u);
  EXPECT_EQ(iso_reader::packets_for(256, 4096), 16u);
  EXPECT_EQ(iso_reader::packets_for(100, 65536), 40u);  // another size is bounded as well
  EXPECT_EQ(iso_reader::packets_for(1, 65536), 255u);
  EXPECT_EQ(iso_reader::packets_for(5000, 4096), 1u);  // a transfer below one packet still moves one
  EXPECT_EQ(iso_reader::packets_for(0, 4096), 0u);
}

// ---- the managed IRP queue ----

struct recorded {
  std::atomic<int> completed{0};
  std::atomic<int> cancelled{0};
};

NTSTATUS record_completion(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
  auto *r = static_cast<recorded *>(ctx);
  if (irp->IoStatus.Status == STATUS_CANCELLED) r->cancelled++;
  r->completed++;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP of our own, sent to the queue's device: our completion routine takes it back.
PIRP make_irp(recorded *r, PFILE_OBJECT file) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_READ;
  s->FileObject = file;
  IoSetCompletionRoutine(irp, record_completion, r, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_PENDING;
  return irp;
}

class test_queue : public kl::managed_irp_queue {
 public:
  std::atomic<int> started{0};
  std::atomic<PIRP> running{nullptr};
  bool fail_at_once = false;  // start_io finishes the IRP itself, as a start that fails does
  int depth = 0, max_depth = 0;
  void start_io(PIRP irp) override {
    started++;
    if (!fail_at_once) {
      running = irp;
      return;
    }
    max_depth = std::max(max_depth, ++depth);
    start_next(irp, STATUS_UNSUCCESSFUL);
    --depth;
  }
  // The owner of the running IRP finishes it.
  bool finish_current(NTSTATUS st) {
    PIRP c = running.exchange(nullptr);
    if (c) start_next(c, st);
    return c != nullptr;
  }
};

std::atomic<int> g_hook_calls{0};
void count_hook(PDEVICE_OBJECT) { g_hook_calls++; }

test_queue *g_queue = nullptr;
NTSTATUS queue_dispatch(PDEVICE_OBJECT, PIRP irp) { return g_queue->queue_irp(irp); }
NTSTATUS queue_entry(void *driver, void *) {
  static_cast<PDRIVER_OBJECT>(driver)->MajorFunction[IRP_MJ_READ] = queue_dispatch;
  return STATUS_SUCCESS;
}

// A device whose reads go to the queue.
class Queue : public Classlib {
 protected:
  void SetUp() override {
    Classlib::SetUp();
    drv_ = static_cast<PDRIVER_OBJECT>(sk::create_driver("VtQueue", queue_entry));
    ASSERT_EQ(IoCreateDevice(drv_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev_), STATUS_SUCCESS);
    q.init(nullptr, true, true, count_hook);
    g_queue = &q;
    g_hook_calls = 0;
  }
  void TearDown() override {
    sk::flush_dpcs();
    IoDeleteDevice(dev_);
    sk::unload_driver(drv_);
    g_queue = nullptr;
    Classlib::TearDown();
  }
  NTSTATUS send(PIRP irp) { return IoCallDriver(dev_, irp); }
  PDRIVER_OBJECT drv_ = nullptr;
  PDEVICE_OBJECT dev_ = nullptr;
  test_queue q;
};

TEST_F(Queue, StartsOneAtATimeAndCancelsParkedIrps) {
  recorded r;
  FILE_OBJECT f1{}, f2{};
  PIRP a = make_irp(&r, &f1), b = make_irp(&r, &f1), c = make_irp(&r, &f2), d = make_irp(&r, &f1);
  EXPECT_EQ(send(a), STATUS_PENDING);
  EXPECT_EQ(send(b), STATUS_PENDING);
  EXPECT_EQ(send(c), STATUS_PENDING);
  EXPECT_EQ(send(d), STATUS_PENDING);
  EXPECT_EQ(q.started, 1);
  EXPECT_EQ(q.running, a);
  // Cancelling a parked IRP completes it and leaves the current one running.
  EXPECT_TRUE(IoCancelIrp(b));
  EXPECT_EQ(r.cancelled, 1);
  EXPECT_EQ(q.running, a);
  // Cleanup of one file leaves the other file's IRPs parked.
  q.cleanup_irps(&f1);
  EXPECT_EQ(r.cancelled, 2);
  EXPECT_EQ(q.parked(), 1u);
  q.finish_current(STATUS_SUCCESS);
  EXPECT_EQ(q.running, c);
  EXPECT_EQ(q.started, 2);
  // The current IRP can be cancelled too when its start left a cancel routine in place: here it did
  // not, so IoCancelIrp only marks it and the owner finishes it.
  EXPECT_FALSE(IoCancelIrp(c));
  q.finish_current(STATUS_CANCELLED);
  EXPECT_EQ(q.running, nullptr);
  EXPECT_EQ(r.completed, 4);
  EXPECT_EQ(g_hook_calls, 4);
  // An IRP cancelled before it is queued never starts.
  PIRP e = make_irp(&r, &f1), g = make_irp(&r, &f1);
  send(e);
  g->Cancel = TRUE;
  send(g);
  EXPECT_EQ(r.cancelled, 4);
  q.finish_current(STATUS_SUCCESS);
  for (PIRP irp : {a, b, c, d, e, g}) IoFreeIrp(irp);
}

// A long queue whose IRPs all fail in their start: each is started after the one before has returned,
// never from inside it, so the stack stays flat however many wait.
TEST_F(Queue, IrpsFailingInTheirStartAreStartedOneAfterAnotherNotNested) {
  recorded r;
  FILE_OBJECT f{};
  constexpr int n = 2000;
  std::vector<PIRP> irps;
  for (int i = 0; i <= n; ++i) irps.push_back(make_irp(&r, &f));
  EXPECT_EQ(send(irps[0]), STATUS_PENDING);
  q.fail_at_once = true;
  for (int i = 1; i <= n; ++i) EXPECT_EQ(send(irps[i]), STATUS_PENDING);
  EXPECT_EQ(q.parked(), (ULONG)n);
  q.finish_current(STATUS_SUCCESS);
  EXPECT_EQ(r.completed, n + 1);
  EXPECT_EQ(q.started, n + 1);
  EXPECT_EQ(q.max_depth, 1);
  EXPECT_EQ(q.parked(), 0u);
  // Idle again: the next IRP starts at once.
  PIRP last = make_irp(&r, &f);
  EXPECT_EQ(send(last), STATUS_PENDING);
  EXPECT_EQ(r.completed, n + 2);
  for (PIRP irp : irps) IoFreeIrp(irp);
  IoFreeIrp(last);
}

struct held_completion {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

NTSTATUS hold_completion(PDEVICE_OBJECT, PIRP, PVOID ctx) {
  auto *h = static_cast<held_completion *>(ctx);
  h->entered = true;
  zephtest::wait_until([&] { return h->release.load(); });
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The owner tears a queue down while a cancel routine is still completing a parked IRP it could not take
// back: the queue outlives that completion.
TEST_F(Queue, DestructionWaitsForACancelRoutineStillCompletingAnIrp) {
  auto *q2 = new test_queue;
  q2->init(nullptr, true, true, count_hook);
  g_queue = q2;
  recorded r;
  FILE_OBJECT f{};
  PIRP a = make_irp(&r, &f);
  EXPECT_EQ(send(a), STATUS_PENDING);
  held_completion held;
  PIRP b = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(b)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(b, hold_completion, &held, TRUE, TRUE, TRUE);
  EXPECT_EQ(send(b), STATUS_PENDING);
  std::thread canceller([&] { IoCancelIrp(b); });
  ASSERT_TRUE(zephtest::wait_until([&] { return held.entered.load(); }));
  q2->finish_current(STATUS_SUCCESS);
  q2->cleanup_irps(nullptr);
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    delete q2;
    destroyed = true;
  });
  EXPECT_FALSE(zephtest::wait_until([&] { return destroyed.load(); }, std::chrono::milliseconds(200)));
  held.release = true;
  zephtest::join(canceller);
  zephtest::join(destroyer);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(g_hook_calls, 2);
  g_queue = &q;
  IoFreeIrp(a);
  IoFreeIrp(b);
}

TEST_F(Queue, CancellationRacingCompletion) {
  recorded r;
  FILE_OBJECT f{};
  constexpr int n = 400;
  std::vector<PIRP> irps;
  for (int i = 0; i < n; ++i) irps.push_back(make_irp(&r, &f));
  std::atomic<bool> go{false};
  std::thread producer([&] {
    while (!go) std::this_thread::yield();
    for (PIRP irp : irps) send(irp);
  });
  std::thread canceller([&] {
    while (!go) std::this_thread::yield();
    for (int i = n - 1; i >= 0; --i) IoCancelIrp(irps[i]);
  });
  go = true;
  // The owner finishes whatever is current until every IRP has been completed exactly once.
  bool done = zephtest::wait_until([&] {
    q.finish_current(STATUS_SUCCESS);
    return r.completed == n;
  });
  zephtest::join(producer);
  zephtest::join(canceller);
  EXPECT_TRUE(done);
  EXPECT_TRUE(sk::settle());
  EXPECT_EQ(r.completed, n);
  EXPECT_EQ(g_hook_calls, n);
  EXPECT_EQ(q.parked(), 0u);
  for (PIRP irp : irps) IoFreeIrp(irp);
}

// ---- delivery queues ----

// A delivery queue whose start accepts every IRP, as one does that was accepted just before its channel
// stopped; nothing ever fills it.
class accepting_delivery : public vantrel::delivery_queue {
 public:
  using delivery_queue::delivery_queue;

 protected:
  bool start_irp(PIRP irp) override {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return true;
  }
  bool fill(PIRP) override { return false; }
  void reset_source() override {}
};

accepting_delivery *g_delivery = nullptr;
NTSTATUS delivery_dispatch(PDEVICE_OBJECT, PIRP irp) { return g_delivery->queue_irp(irp); }
NTSTATUS delivery_entry(void *driver, void *) {
  static_cast<PDRIVER_OBJECT>(driver)->MajorFunction[IRP_MJ_READ] = delivery_dispatch;
  return STATUS_SUCCESS;
}

// The stop of a channel looks for the current IRP while a read that its start accepted has not yet put
// its cancel routine in place; the delivery that follows finds the channel stopped and ends the read
// instead of leaving it parked for ever.
TEST_F(Classlib, ADeliveryAfterTheChannelStoppedEndsTheCurrentRead) {
  std::string instance = plug_bare_instrument("DELIVERY");
  ASSERT_TRUE(standin::pnp::settle());
  auto pdo = static_cast<PDEVICE_OBJECT>(standin::usbbus::physical_device_object(instance));
  ASSERT_NE(pdo, nullptr);
  auto drv = static_cast<PDRIVER_OBJECT>(sk::create_driver("VtDelivery", delivery_entry));
  kl::device_names names;
  NTSTATUS st = STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT d = kl::device_object::create_instance(drv, sizeof(vantrel::protocol_device), L"VtDelivery", 0,
                                                         FILE_DEVICE_UNKNOWN, nullptr, 0, 0, &names, &st);
  ASSERT_NE(d, nullptr);
  auto *dev = kl::create_at<vantrel::protocol_device>(d->DeviceExtension, d, &names, pdo, 0UL);
  ASSERT_EQ(dev->creation_status(), STATUS_SUCCESS);
  {
    vantrel::interrupt_reader reader(dev, 0);
    accepting_delivery q(dev, &reader);
    g_delivery = &q;
    recorded r;
    PIRP irp = make_irp(&r, nullptr);
    dev->increment_outstanding_requests();
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_PENDING);
    sk::flush_dpcs();
    bool ended = r.completed == 1;
    EXPECT_TRUE(ended);
    if (!ended) {
      IoCancelIrp(irp);  // frees the queue to go
      sk::flush_dpcs();
    }
    EXPECT_EQ(r.completed, 1);
    EXPECT_EQ(r.cancelled, 1);  // the status a stop gives while the device is present
    IoFreeIrp(irp);
    g_delivery = nullptr;
  }
  IoDetachDevice(dev->usb().lower());
  dev->destroy();
  sk::unload_driver(drv);
  standin::usbbus::unplug(instance);
  ASSERT_TRUE(standin::pnp::settle());
}

}  // namespace
