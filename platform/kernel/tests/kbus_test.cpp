// The USB bus driver and the USB driver library, driven with URBs sent straight to an instrument's PDO.
#include <usbdlib.h>

#include <gtest/gtest.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/kernel.h>
#include <zephtest/kernel.h>
#include <zephtest/kernel_wait.h>
#include <zephtest/wait.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace sk = standin::kernel;
namespace sb = standin::usbbus;

namespace {

struct pending_urb {
  KEVENT ev;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS returned = 0;
  NTSTATUS wait() {
    const NTSTATUS st = zephtest::ke_wait(&ev);
    EXPECT_EQ(st, STATUS_SUCCESS) << "the URB did not complete";
    return st == STATUS_SUCCESS ? iosb.Status : st;
  }
  bool done() {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
  }
};

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    zephtest::forget_violations();
    simdev::instrument_config cfg;
    cfg.serial_number = "B" + std::to_string(++serial);
    model = std::make_shared<simdev::instrument>(cfg);
    dev = std::make_shared<simdev::usb_device>(model);
    dev->set_frame_us(100);
    instance = sb::plug(dev);
    ASSERT_FALSE(instance.empty());
    ASSERT_TRUE(standin::pnp::settle());
    pdo = static_cast<PDEVICE_OBJECT>(sb::physical_device_object(instance));
    ASSERT_NE(pdo, nullptr);
  }
  void TearDown() override {
    sb::set_asynchronous_completion(false);
    sb::set_asynchronous_pnp_power(false);
    sb::set_default_max_transfer_size(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    if (select_urb) ExFreePool(select_urb);
    standin::pnp::remove_device(instance, false);
    EXPECT_TRUE(standin::pnp::settle());
    zephtest::expect_no_violations();
  }

  std::unique_ptr<pending_urb> send(PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    auto p = std::make_unique<pending_urb>();
    KeInitializeEvent(&p->ev, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &p->ev, &p->iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    p->returned = IoCallDriver(pdo, irp);
    return p;
  }
  NTSTATUS call(PURB urb) { return send(urb)->wait(); }
  NTSTATUS abort_pipe(const USBD_PIPE_INFORMATION &p) {
    URB abort{};
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbPipeRequest.PipeHandle = p.PipeHandle;
    return call(&abort);
  }

  std::vector<UCHAR> descriptor(UCHAR type, UCHAR index, USHORT lang, ULONG length) {
    std::vector<UCHAR> buf(length);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, lang, buf.data(),
                                 nullptr, length, nullptr);
    EXPECT_EQ(call(&urb), STATUS_SUCCESS);
    buf.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return buf;
  }

  // Selects configuration `index` with the given alternate settings of interfaces 0, 1, 2.
  NTSTATUS select(UCHAR index, std::vector<UCHAR> alts) {
    config = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, 0, 4096);
    auto *c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (UCHAR i = 0; i < alts.size(); ++i) {
      PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(c, c, i, alts[i], -1, -1, -1);
      EXPECT_NE(d, nullptr);
      list.push_back({d, nullptr});
    }
    list.push_back({nullptr, nullptr});
    if (select_urb) ExFreePool(select_urb);
    select_urb = USBD_CreateConfigurationRequestEx(c, list.data());
    EXPECT_NE(select_urb, nullptr);
    NTSTATUS st = call(select_urb);
    pipes.clear();
    for (size_t i = 0; i + 1 < list.size(); ++i)
      for (ULONG k = 0; k < list[i].Interface->NumberOfPipes; ++k) pipes.push_back(list[i].Interface->Pipes[k]);
    return st;
  }

  USBD_PIPE_INFORMATION pipe(UCHAR endpoint) {
    for (auto &p : pipes)
      if (p.EndpointAddress == endpoint) return p;
    ADD_FAILURE() << "no pipe for endpoint " << (int)endpoint;
    return {};
  }

  NTSTATUS vendor(bool in, UCHAR request, USHORT value, USHORT index, void *data, ULONG length, URB *out = nullptr) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, value, index, data,
                          nullptr, length, nullptr);
    NTSTATUS st = call(&urb);
    if (out) *out = urb;
    return st;
  }

  void transfer(URB &urb, const USBD_PIPE_INFORMATION &p, void *buf, ULONG len) {
    memset(&urb, 0, sizeof urb);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), p.PipeHandle, buf,
                                           nullptr, len,
                                           (p.EndpointAddress & 0x80) ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                                                      : 0,
                                           nullptr);
  }

  static inline int serial = 0;
  std::shared_ptr<simdev::instrument> model;
  std::shared_ptr<simdev::usb_device> dev;
  std::string instance;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<UCHAR> config;
  PURB select_urb = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;
};

// The driver sizes its URBs by these numbers and sets Parameters.Others.Argument1 on stack locations whose
// IoControlCode it set first: the layouts are those of the 64-bit platform.
TEST(UsbLayout, UrbAndStackLocationLayoutsAreThoseOfThePlatform) {
  static_assert(sizeof(void *) == 8, "the layouts below are the 64-bit ones");
  EXPECT_EQ(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 136u);
  EXPECT_EQ(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 136u);
  EXPECT_EQ(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), 128u);
  EXPECT_EQ(sizeof(struct _URB_ISOCH_TRANSFER), 152u);
  EXPECT_EQ(sizeof(struct _URB_PIPE_REQUEST), 40u);
  EXPECT_EQ(sizeof(USBD_INTERFACE_INFORMATION), 48u);
  EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument2),
            offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength));
  EXPECT_EQ(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3),
            offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode));
  EXPECT_EQ(sizeof(USB_STRING_DESCRIPTOR::bString[0]), 2u);
  EXPECT_TRUE((std::is_same_v<std::remove_extent_t<decltype(USB_STRING_DESCRIPTOR::bString)>, WCHAR>));
}

TEST_F(Bus, PlugGivesAnInstanceAndDescriptors) {
  EXPECT_EQ(instance, "USB\\VID_1A2B&PID_0100\\B" + std::to_string(serial));
  EXPECT_EQ(standin::pnp::device_state(instance), "no driver");
  auto d = descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  ASSERT_EQ(d.size(), 18u);
  auto *dd = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(d.data());
  EXPECT_EQ(dd->idVendor, 0x1A2B);
  EXPECT_EQ(dd->bcdDevice, 0x0105);
  EXPECT_EQ(dd->bNumConfigurations, 2);
  auto s = descriptor(USB_STRING_DESCRIPTOR_TYPE, 4, 0x0409, 255);
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s[0], 10);  // "Bulk": 2 + 4 x 2
  // A short buffer gets the first bytes only (a size query).
  EXPECT_EQ(descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 4).size(), 4u);
}

// The host controller fills a transfer buffer at DISPATCH_LEVEL: one in paged pool is a broken rule, one in
// non-paged pool, or inside a paged block's neighbour, is not.
TEST_F(Bus, ATransferBufferInPagedPoolIsReported) {
  for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
    auto *buf = static_cast<UCHAR *>(ExAllocatePoolWithTag(type, 64, 'tseT'));
    ASSERT_NE(buf, nullptr);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 4,
                                 0x0409, buf + 8, nullptr, 32, nullptr);
    EXPECT_EQ(call(&urb), STATUS_SUCCESS);
    bool reported = false;
    for (auto &v : sk::take_violations()) reported |= v.find("is in paged pool") != std::string::npos;
    EXPECT_EQ(reported, type == PagedPool);
    ExFreePoolWithTag(buf, 'tseT');
  }
}

TEST_F(Bus, ParseAndSelectThenDeconfigure) {
  sb::set_default_max_transfer_size(65536);
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  ASSERT_EQ(pipes.size(), 3u);
  EXPECT_EQ(pipe(0x82).PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(pipe(0x81).PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipe(0x81).MaximumPacketSize, 64);
  EXPECT_EQ(pipe(0x01).MaximumTransferSize, 65536u);
  EXPECT_EQ(dev->configuration(), 1);
  USBD_PIPE_INFORMATION old = pipe(0x81);
  // Deconfigure: no descriptor.
  URB urb{};
  UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(dev->configuration(), 0);
  // Pipe handles of the earlier selection are stale.
  UCHAR buf[8];
  transfer(urb, old, buf, 3);
  EXPECT_EQ(call(&urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  // The parser walks interfaces by number and setting.
  auto *c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 5, -1, -1, -1, -1), nullptr);
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bInterfaceNumber, 0);
  PUSB_INTERFACE_DESCRIPTOR next =
      USBD_ParseConfigurationDescriptorEx(c, (UCHAR *)first + first->bLength, -1, -1, -1, -1, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bInterfaceNumber, 1);
}

TEST_F(Bus, SelectingWithTransfersPendingCancelsThem) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION irq = pipe(0x82);
  URB a;
  UCHAR ba[63];
  transfer(a, irq, ba, 63);
  auto pa = send(&a);  // waits for an event that never comes
  ASSERT_EQ(pa->returned, STATUS_PENDING);
  // Deconfiguring ends the waiting transfer; the bus must not hold its own lock while the device waits
  // for that transfer's completion.
  URB dc{};
  UsbBuildSelectConfigurationRequest(&dc, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  auto f = std::async(std::launch::async, [&] { return call(&dc); });
  if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    fprintf(stderr, "select-configuration with a transfer pending never completed (deadlock)\n");
    std::_Exit(1);
  }
  EXPECT_EQ(f.get(), STATUS_SUCCESS);
  EXPECT_EQ(pa->wait(), STATUS_CANCELLED);
  EXPECT_EQ(a.UrbHeader.Status, USBD_STATUS_CANCELED);
  // A new selection with a transfer pending works the same way, and the old handle is stale.
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  URB b;
  UCHAR bb[63];
  transfer(b, pipe(0x82), bb, 63);
  auto pb = send(&b);
  auto g = std::async(std::launch::async, [&] { return select(0, {0, 0, 0}); });
  if (g.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    fprintf(stderr, "select-configuration with a transfer pending never completed (deadlock)\n");
    std::_Exit(1);
  }
  EXPECT_EQ(g.get(), STATUS_SUCCESS);
  EXPECT_EQ(pb->wait(), STATUS_CANCELLED);
  URB c;
  transfer(c, irq, bb, 63);
  EXPECT_EQ(call(&c), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Bus, VendorRequestsInOutAndWithoutData) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  // Write the 12 normal configuration words (OUT), read all 24 back (IN).
  std::vector<UCHAR> words(36);
  for (size_t i = 0; i < words.size(); ++i) words[i] = (UCHAR)(i + 1);
  ASSERT_EQ(vendor(false, 0x00, 0x0002, 1, words.data(), 36), STATUS_SUCCESS);
  std::vector<UCHAR> back(72, 0xEE);
  URB urb;
  ASSERT_EQ(vendor(true, 0x00, 0x0002, 3, back.data(), 72, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 72u);
  EXPECT_EQ(memcmp(back.data(), words.data(), 36), 0);
  EXPECT_EQ(back[36], 0);
  // A command without data.
  EXPECT_EQ(vendor(false, 0x00, 0x0003, 3, nullptr, 0), STATUS_SUCCESS);
  // An unknown request: STALL, reported as a data error with the USB status beside it.
  EXPECT_EQ(vendor(false, 0x77, 0, 0, nullptr, 0, &urb), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(Bus, BulkTransfersCompleteInOrderAndInWaitsForData) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION in = pipe(0x81);
  URB u1, u2, u3;
  UCHAR len1[3], data[256], len2[3];
  transfer(u1, in, len1, 3);
  transfer(u2, in, data, sizeof data);
  transfer(u3, in, len2, 3);
  auto p1 = send(&u1), p2 = send(&u2), p3 = send(&u3);
  EXPECT_EQ(p1->returned, STATUS_PENDING);
  EXPECT_FALSE(p1->done());  // nothing to read yet
  // A measurement of 2 blocks: word 0x000003 value 1, one 24-bit word N = 2.
  UCHAR n[3] = {2, 0, 0};
  ASSERT_EQ(vendor(false, 0x00, 0x0003, 1, n, 3), STATUS_SUCCESS);
  ASSERT_EQ(p1->wait(), STATUS_SUCCESS);
  ASSERT_EQ(p2->wait(), STATUS_SUCCESS);
  ASSERT_EQ(p3->wait(), STATUS_SUCCESS);
  EXPECT_EQ(u1.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  ULONG n1 = len1[0] | len1[1] << 8 | len1[2] << 16;
  EXPECT_EQ(n1, 200u);
  EXPECT_EQ(u2.UrbBulkOrInterruptTransfer.TransferBufferLength, 200u);
  EXPECT_EQ(u3.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(data[0], 1);  // status word of the block
  // OUT: a framed message reaches the firmware.
  USBD_PIPE_INFORMATION out = pipe(0x01);
  UCHAR msg[8] = {5, 0, 0, 'h', 'e', 'l', 'l', 'o'};
  URB uo;
  transfer(uo, out, msg, 8);
  ASSERT_EQ(call(&uo), STATUS_SUCCESS);
  auto got = model->take_received_messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::string(got[0].begin(), got[0].end()), "hello");
}

TEST_F(Bus, AbortPipeCompletesPendingUrbsCancelled) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION irq = pipe(0x82);
  URB a, b;
  UCHAR ba[63], bb[63];
  transfer(a, irq, ba, 63);
  transfer(b, irq, bb, 63);
  auto pa = send(&a), pb = send(&b);
  EXPECT_EQ(abort_pipe(irq), STATUS_SUCCESS);
  EXPECT_EQ(pa->wait(), STATUS_CANCELLED);
  EXPECT_EQ(pb->wait(), STATUS_CANCELLED);
  EXPECT_EQ(a.UrbHeader.Status, USBD_STATUS_CANCELED);
  // The pipe works again afterwards: an event arrives on the next transfer.
  URB c;
  UCHAR bc[63];
  transfer(c, irq, bc, 63);
  auto pc = send(&c);
  model->raise_event(0x1234);
  ASSERT_EQ(pc->wait(), STATUS_SUCCESS);
  EXPECT_EQ(c.UrbBulkOrInterruptTransfer.TransferBufferLength, 63u);
  EXPECT_EQ(bc[1] | bc[2] << 8, 0x1234);
}

TEST_F(Bus, CancellingAPendingTransferIrp) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  URB u;
  UCHAR buf[63];
  transfer(u, pipe(0x82), buf, 63);
  KEVENT ev;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  s->Parameters.Others.Argument1 = &u;
  struct ctx_t {
    KEVENT *ev;
    IO_STATUS_BLOCK *iosb;
  } ctx{&ev, &iosb};
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP i, PVOID c) -> NTSTATUS {
        auto *x = static_cast<ctx_t *>(c);
        *x->iosb = i->IoStatus;
        KeSetEvent(x->ev, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &ctx, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  ASSERT_EQ(zephtest::ke_wait(&ev), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_CANCELED);
  IoFreeIrp(irp);
}

TEST_F(Bus, StallThenResetPipe) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION in = pipe(0x81);
  model->set_halt(0x81, true);
  URB u;
  UCHAR buf[3];
  transfer(u, in, buf, 3);
  EXPECT_EQ(call(&u), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_STALL_PID);
  URB reset{};
  reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbPipeRequest.PipeHandle = in.PipeHandle;
  EXPECT_EQ(call(&reset), STATUS_SUCCESS);
  EXPECT_FALSE(dev->halted(0x81));
  transfer(u, in, buf, 3);
  auto p = send(&u);
  model->queue_bulk_message({1, 2, 3, 4});
  EXPECT_EQ(p->wait(), STATUS_SUCCESS);
  EXPECT_EQ(buf[0], 4);
}

TEST_F(Bus, IsochronousPacketsAsSoonAsPossible) {
  ASSERT_EQ(select(1, {0, 2, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION iso = pipe(0x81);
  EXPECT_EQ(iso.PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(iso.MaximumPacketSize, 240);
  UCHAR n[3] = {0, 0, 0};  // run until stopped
  ASSERT_EQ(vendor(false, 0x00, 0x0003, 1, n, 3), STATUS_SUCCESS);
  const ULONG packets = 8;
  std::vector<UCHAR> storage(GET_ISO_URB_SIZE(packets));
  auto *urb = reinterpret_cast<PURB>(storage.data());
  std::vector<UCHAR> buf(240 * packets);
  auto &t = urb->UrbIsochronousTransfer;
  t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  t.Hdr.Length = (USHORT)storage.size();
  t.PipeHandle = iso.PipeHandle;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = buf.data();
  t.TransferBufferLength = (ULONG)buf.size();
  t.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * 240;
  ASSERT_EQ(call(urb), STATUS_SUCCESS);
  EXPECT_EQ(t.ErrorCount, 0u);
  for (ULONG i = 0; i < packets; ++i) {
    EXPECT_EQ(t.IsoPacket[i].Length, 240u) << i;
    EXPECT_EQ(t.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
  }
  EXPECT_EQ(simdev::check_pattern(simdev::seed::measurement, 0, std::span<const uint8_t>(buf.data(), 240)),
            std::nullopt);
  vendor(false, 0x00, 0x0003, 3, nullptr, 0);
}

TEST_F(Bus, AsynchronousCompletionAndPortReset) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  sb::set_asynchronous_completion(true);
  std::vector<UCHAR> back(72);
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 0x00, 0x0002, 3, back.data(), nullptr, 72, nullptr);
  auto p = send(&urb);
  EXPECT_EQ(p->returned, STATUS_PENDING);
  EXPECT_EQ(p->wait(), STATUS_SUCCESS);
  // Completions arrive at DISPATCH_LEVEL, as they do from the host controller.
  struct seen_t {
    KEVENT ev;
    std::atomic<int> irql{-1};
  } seen;
  KeInitializeEvent(&seen.ev, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  s->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
        auto *x = static_cast<seen_t *>(c);
        x->irql = KeGetCurrentIrql();
        KeSetEvent(&x->ev, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  ASSERT_EQ(zephtest::ke_wait(&seen.ev), STATUS_SUCCESS);
  EXPECT_EQ(seen.irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  IoFreeIrp(irp);
  // A port reset keeps the selection and the pipe handles.
  auto r = send(nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_EQ(r->wait(), STATUS_SUCCESS);
  EXPECT_EQ(dev->configuration(), 1);
  URB u;
  UCHAR buf[63];
  transfer(u, pipe(0x82), buf, 63);
  auto pe = send(&u);
  model->raise_event(7);
  EXPECT_EQ(pe->wait(), STATUS_SUCCESS);
}

TEST_F(Bus, AfterSurpriseRemovalUrbsFail) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  URB u;
  UCHAR buf[63];
  transfer(u, pipe(0x82), buf, 63);
  auto p = send(&u);
  ObReferenceObject(pdo);  // keep the PDO while we still send to it
  sb::unplug(instance);
  EXPECT_EQ(p->wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(vendor(false, 0x00, 0x0003, 3, nullptr, 0), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(standin::pnp::settle());
  EXPECT_EQ(standin::pnp::device_state(instance), "absent");  // no handle open: removed at once
  ObDereferenceObject(pdo);
}

// Once removed, the device goes: its instrument model and the device's thread with it. A PDO still
// referenced answers a late request from what the bus kept of it: not connected.
TEST_F(Bus, ARemovedDeviceGoesAndItsPdoAnswersLateRequests) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  ObReferenceObject(pdo);  // a stale reference: the PDO's memory stays
  std::weak_ptr<simdev::usb_device> device = dev;
  std::weak_ptr<simdev::instrument> instrument = model;
  dev.reset();
  model.reset();
  standin::pnp::remove_device(instance, false);
  ASSERT_TRUE(standin::pnp::settle());
  EXPECT_TRUE(device.expired()) << "the bus still holds the removed device";
  EXPECT_TRUE(instrument.expired());
  URB u{};
  EXPECT_EQ(vendor(false, 0x00, 0x0003, 3, nullptr, 0, &u), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(send(nullptr, IOCTL_INTERNAL_USB_RESET_PORT)->wait(), STATUS_DEVICE_NOT_CONNECTED);
  ObDereferenceObject(pdo);
}

TEST_F(Bus, AHungAbortEndsNothingUntilTheTransfersAreCancelled) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION irq = pipe(0x82);
  URB a;
  UCHAR ba[63];
  transfer(a, irq, ba, 63);
  auto pa = send(&a);
  sb::ignore_aborts(instance, 1);
  EXPECT_EQ(abort_pipe(irq), STATUS_SUCCESS);
  EXPECT_FALSE(pa->done());  // still pending: the abort ended nothing
  EXPECT_EQ(abort_pipe(irq), STATUS_SUCCESS);
  EXPECT_EQ(pa->wait(), STATUS_CANCELLED);
}

TEST_F(Bus, ACompletionHeldBackArrivesAfterTheAbortWithItsData) {
  ASSERT_EQ(select(0, {0, 0, 0}), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION in = pipe(0x81);
  sb::hold_completion_until_abort(instance, 0x81, 0);
  URB u;
  UCHAR buf[3];
  transfer(u, in, buf, 3);
  auto p = send(&u);
  model->queue_bulk_message({1, 2, 3, 4});
  ASSERT_TRUE(zephtest::wait_until([&] { return sb::held_completions(instance) == 1; }));
  EXPECT_FALSE(p->done());
  EXPECT_EQ(abort_pipe(in), STATUS_SUCCESS);
  // It ended on the wire before the abort: it completes with its data, not cancelled.
  EXPECT_EQ(p->wait(), STATUS_SUCCESS);
  EXPECT_EQ(u.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(sb::held_completions(instance), 0u);
}

TEST_F(Bus, APortResetThatNeverCompletesEndsWhenCancelled) {
  sb::hang_port_resets(instance, 1);
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(c), 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &ev, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_TRUE(IoCancelIrp(irp));
  ASSERT_EQ(zephtest::ke_wait(&ev), STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  IoFreeIrp(irp);
  // The next reset completes.
  EXPECT_EQ(send(nullptr, IOCTL_INTERNAL_USB_RESET_PORT)->wait(), STATUS_SUCCESS);
}

struct pnp_seen {
  KEVENT done;
  std::atomic<void *> thread{nullptr};
  std::atomic<bool> pending_returned{false};
};

NTSTATUS note_pnp_completion(PDEVICE_OBJECT, PIRP irp, PVOID c) {
  auto *x = static_cast<pnp_seen *>(c);
  x->thread = KeGetCurrentThread();
  x->pending_returned = irp->PendingReturned != 0;
  KeSetEvent(&x->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// In asynchronous mode the PDO answers PnP and power requests with STATUS_PENDING and completes them from a
// bus thread, so the drivers above take their PendingReturned paths.
TEST_F(Bus, PnpAndPowerRequestsCompleteFromABusThreadWhenAsked) {
  for (bool async : {false, true}) {
    sb::set_asynchronous_pnp_power(async);
    for (UCHAR major : {(UCHAR)IRP_MJ_PNP, (UCHAR)IRP_MJ_POWER}) {
      pnp_seen seen;
      KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
      DEVICE_CAPABILITIES caps{};
      PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
      PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
      s->MajorFunction = major;
      if (major == IRP_MJ_PNP) {
        s->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
      } else {
        s->MinorFunction = IRP_MN_SET_POWER;
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = PowerDeviceD0;
      }
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      IoSetCompletionRoutine(irp, note_pnp_completion, &seen, TRUE, TRUE, TRUE);
      NTSTATUS st = IoCallDriver(pdo, irp);
      EXPECT_EQ(st, async ? STATUS_PENDING : STATUS_SUCCESS) << (int)major;
      ASSERT_EQ(zephtest::ke_wait(&seen.done), STATUS_SUCCESS);
      EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
      EXPECT_EQ(seen.pending_returned.load(), async) << (int)major;
      EXPECT_EQ(seen.thread.load() != KeGetCurrentThread(), async) << (int)major;
      if (major == IRP_MJ_PNP) {
        EXPECT_TRUE(caps.Removable);
      }
      IoFreeIrp(irp);
    }
  }
}

struct power_result {
  KEVENT done;
  NTSTATUS status = -1;
  UCHAR minor = 0xFF;
};

TEST_F(Bus, PowerRequestsReachTheStackAndComplete) {
  power_result r;
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(
                pdo, IRP_MN_SET_POWER, d3,
                [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID ctx, PIO_STATUS_BLOCK iosb) {
                  auto *p = static_cast<power_result *>(ctx);
                  p->status = iosb->Status;
                  p->minor = minor;
                  KeSetEvent(&p->done, 0, FALSE);
                },
                &r, nullptr),
            STATUS_PENDING);
  ASSERT_EQ(zephtest::ke_wait(&r.done), STATUS_SUCCESS);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.minor, IRP_MN_SET_POWER);
  POWER_STATE old = PoSetPowerState(pdo, DevicePowerState, d3);
  EXPECT_EQ(old.DeviceState, PowerDeviceD0);
  old = PoSetPowerState(pdo, DevicePowerState, d3);
  EXPECT_EQ(old.DeviceState, PowerDeviceD3);
}

}  // namespace
