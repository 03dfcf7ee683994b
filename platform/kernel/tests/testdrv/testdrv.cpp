// A small WDM function driver for the stand-in's tests, loaded like a .sys: create/cleanup/close,
// buffered and direct I/O, requests pended and completed from a DPC, a cancel-safe parking list, PnP
// start / surprise removal / remove, a device interface and a \DosDevices\ link.
#include <wdm.h>
#include <usbdlib.h>

#include <morvex/wire.h>

#include "testdrv.h"
#include "zephtest/kernel_wait.h"

namespace {

const GUID kInterface = TD_INTERFACE_GUID_INIT;
constexpr ULONG kTag = 0x76445454;  // "TTDv"

struct ext {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING iface;
  UNICODE_STRING link;
  KSPIN_LOCK lock;
  LIST_ENTRY parked;
  LIST_ENTRY dpc_list;
  KDPC dpc;
  volatile LONG refuse;
  volatile LONG removed;
  td_stats stats;
  UCHAR data[4096];
  ULONG data_len;
  // On the USB bus: the instrument's interfaces (main, bulk), one opener at a time, and the device
  // values written into the hardware key.
  bool usb;
  bool usb_interfaces;
  UNICODE_STRING usb_iface[2];
  volatile LONG open_now;
  volatile LONG hold_remove_ms;
};

LONG g_units = 0;

ext *X(PDEVICE_OBJECT d) { return static_cast<ext *>(d->DeviceExtension); }

NTSTATUS finish(PIRP irp, NTSTATUS st, ULONG_PTR info) {
  irp->IoStatus.Status = st;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

void on_cancel(PDEVICE_OBJECT d, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ext *e = X(d);
  KIRQL irql;
  KeAcquireSpinLock(&e->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  e->stats.parked--;
  e->stats.cancelled++;
  KeReleaseSpinLock(&e->lock, irql);
  finish(irp, STATUS_CANCELLED, 0);
}

NTSTATUS park(ext *e, PIRP irp) {
  KIRQL irql;
  IoMarkIrpPending(irp);
  KeAcquireSpinLock(&e->lock, &irql);
  InsertTailList(&e->parked, &irp->Tail.Overlay.ListEntry);
  e->stats.parked++;
  IoSetCancelRoutine(irp, on_cancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    // Cancelled before the routine was in place: nobody else will complete it.
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    e->stats.parked--;
    e->stats.cancelled++;
    KeReleaseSpinLock(&e->lock, irql);
    finish(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&e->lock, irql);
  return STATUS_PENDING;
}

// Takes the parked IRPs (of one file object, or all) whose cancel routine could still be taken back.
void take_parked(ext *e, PFILE_OBJECT file, LIST_ENTRY *out) {
  InitializeListHead(out);
  KIRQL irql;
  KeAcquireSpinLock(&e->lock, &irql);
  for (PLIST_ENTRY le = e->parked.Flink; le != &e->parked;) {
    PIRP irp = CONTAINING_RECORD(le, IRP, Tail.Overlay.ListEntry);
    le = le->Flink;
    if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
    if (!IoSetCancelRoutine(irp, nullptr)) continue;  // its cancel routine owns it now
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    e->stats.parked--;
    InsertTailList(out, &irp->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&e->lock, irql);
}

void complete_list(LIST_ENTRY *list, NTSTATUS st, bool fill) {
  while (!IsListEmpty(list)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(list), IRP, Tail.Overlay.ListEntry);
    ULONG n = 0;
    if (fill) {
      n = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
      if (n) memset(irp->AssociatedIrp.SystemBuffer, 0xAB, n);
    }
    finish(irp, st, NT_ERROR(st) ? 0 : n);
  }
}

void dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
  ext *e = static_cast<ext *>(context);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&e->lock);
  while (!IsListEmpty(&e->dpc_list)) InsertTailList(&done, RemoveHeadList(&e->dpc_list));
  KeReleaseSpinLockFromDpcLevel(&e->lock);
  while (!IsListEmpty(&done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
    auto *in = static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS st = (NTSTATUS)in[0];
    ULONG n = in[1];
    ULONG out = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (n > out) n = out;
    if (n) memset(irp->AssociatedIrp.SystemBuffer, 0x5A, n);
    finish(irp, st, n);
  }
}

NTSTATUS on_create(PDEVICE_OBJECT d, PIRP irp) {
  ext *e = X(d);
  if (InterlockedOr(&e->removed, 0)) return finish(irp, STATUS_DELETE_PENDING, 0);  // set by the PnP thread
  if (e->refuse) return finish(irp, STATUS_ACCESS_DENIED, 0);
  if (InterlockedIncrement(&e->open_now) > 1 && e->usb) {
    InterlockedDecrement(&e->open_now);
    return finish(irp, STATUS_ACCESS_DENIED, 0);
  }
  InterlockedIncrement((LONG *)&e->stats.opens);
  return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_cleanup(PDEVICE_OBJECT d, PIRP irp) {
  ext *e = X(d);
  LIST_ENTRY list;
  take_parked(e, IoGetCurrentIrpStackLocation(irp)->FileObject, &list);
  complete_list(&list, STATUS_CANCELLED, false);
  InterlockedIncrement((LONG *)&e->stats.cleanups);
  return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_close(PDEVICE_OBJECT d, PIRP irp) {
  InterlockedDecrement(&X(d)->open_now);
  InterlockedIncrement((LONG *)&X(d)->stats.closes);
  return finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS on_read_write(PDEVICE_OBJECT d, PIRP irp) {
  ext *e = X(d);
  if (InterlockedOr(&e->removed, 0)) return finish(irp, STATUS_DEVICE_REMOVED, 0);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG len = s->Parameters.Read.Length;
  if (!len) return finish(irp, STATUS_SUCCESS, 0);
  auto *buf = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  if (!buf) return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  KIRQL irql;
  KeAcquireSpinLock(&e->lock, &irql);
  ULONG n;
  if (s->MajorFunction == IRP_MJ_WRITE) {
    n = len > sizeof e->data ? sizeof e->data : len;
    memcpy(e->data, buf, n);
    e->data_len = n;
  } else {
    n = len > e->data_len ? e->data_len : len;
    memcpy(buf, e->data, n);
  }
  KeReleaseSpinLock(&e->lock, irql);
  return finish(irp, STATUS_SUCCESS, n);
}

// Sends one URB to the bus driver below and waits for it (PASSIVE_LEVEL).
NTSTATUS submit_urb(ext *e, PURB urb) {
  KEVENT ev;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, e->lower, nullptr, 0, nullptr, 0, TRUE, &ev,
                                           &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS st = IoCallDriver(e->lower, irp);
  if (st == STATUS_PENDING) {
    if (zephtest::ke_wait(&ev) != STATUS_SUCCESS) {
      // A URB the bus keeps: cancelled, so that the test's request fails instead of hanging.
      DbgPrint("testdrv: a URB did not complete in time\n");
      IoCancelIrp(irp);
      if (zephtest::ke_wait(&ev) != STATUS_SUCCESS)
        zephtest::give_up("a cancelled URB");
    }
    st = iosb.Status;
  }
  return st;
}

NTSTATUS on_ioctl(PDEVICE_OBJECT d, PIRP irp) {
  ext *e = X(d);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buf = irp->AssociatedIrp.SystemBuffer;
  if (InterlockedOr(&e->removed, 0)) return finish(irp, STATUS_DEVICE_REMOVED, 0);
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TD_ECHO:
      return finish(irp, STATUS_SUCCESS, in < out ? in : out);
    case IOCTL_TD_COMPLETE_DPC: {
      if (in < 8) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      IoMarkIrpPending(irp);
      KIRQL irql;
      KeAcquireSpinLock(&e->lock, &irql);
      InsertTailList(&e->dpc_list, &irp->Tail.Overlay.ListEntry);
      KeReleaseSpinLock(&e->lock, irql);
      KeInsertQueueDpc(&e->dpc, nullptr, nullptr);
      return STATUS_PENDING;
    }
    case IOCTL_TD_PARK:
      return park(e, irp);
    case IOCTL_TD_PARK_NOT_PENDING:
      park(e, irp);
      return STATUS_SUCCESS;
    case IOCTL_TD_RELEASE: {
      if (in < 4) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      NTSTATUS st = *static_cast<NTSTATUS *>(buf);
      LIST_ENTRY list;
      take_parked(e, nullptr, &list);
      ULONG count = 0;
      for (PLIST_ENTRY le = list.Flink; le != &list; le = le->Flink) ++count;
      complete_list(&list, st, true);
      if (out >= 4) {
        *static_cast<ULONG *>(buf) = count;
        return finish(irp, STATUS_SUCCESS, 4);
      }
      return finish(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_TD_HOLD_REMOVE:
      if (in < 4) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      InterlockedExchange(&e->hold_remove_ms, *static_cast<LONG *>(buf));
      return finish(irp, STATUS_SUCCESS, 0);
    case IOCTL_TD_REFUSE_OPENS:
      if (in < 4) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      InterlockedExchange(&e->refuse, *static_cast<LONG *>(buf));
      return finish(irp, STATUS_SUCCESS, 0);
    case IOCTL_TD_STATS: {
      if (out < sizeof(td_stats)) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KIRQL irql;
      KeAcquireSpinLock(&e->lock, &irql);
      memcpy(buf, &e->stats, sizeof(td_stats));
      KeReleaseSpinLock(&e->lock, irql);
      return finish(irp, STATUS_SUCCESS, sizeof(td_stats));
    }
    case IOCTL_TD_DIRECT_OUT: {
      if (!irp->MdlAddress) return finish(irp, STATUS_INVALID_PARAMETER, 0);
      auto *p = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      ULONG n = MmGetMdlByteCount(irp->MdlAddress);
      for (ULONG i = 0; i < n; ++i) p[i] = (UCHAR)i;
      return finish(irp, STATUS_SUCCESS, n);
    }
    case IOCTL_TD_USB_DEVICE_DESCRIPTOR: {
      if (out < sizeof(USB_DEVICE_DESCRIPTOR)) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      URB urb;
      memset(&urb, 0, sizeof urb);
      UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                   0, buf, nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
      NTSTATUS st = submit_urb(e, &urb);
      return finish(irp, st, NT_SUCCESS(st) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
    }
    case IOCTL_TD_USB_VENDOR_READ: {
      if (out < 72) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
      URB urb;
      memset(&urb, 0, sizeof urb);
      UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0x00, 0x0002, 3, buf, nullptr, 72,
                            nullptr);
      NTSTATUS st = submit_urb(e, &urb);
      return finish(irp, st, NT_SUCCESS(st) ? urb.UrbControlVendorClassRequest.TransferBufferLength : 0);
    }
    case IOCTL_TD_FAIL:
      return finish(irp, STATUS_DEVICE_DATA_ERROR, 0);
    default:
      return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// Text of string descriptor `index` (language 0x0409) into a 64-byte buffer, written as REG_SZ.
void write_string_value(ext *e, HANDLE key, const WCHAR *name, UCHAR index) {
  UCHAR raw[64];
  memset(raw, 0, sizeof raw);
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, index,
                               0x0409, raw, nullptr, sizeof raw, nullptr);
  if (!NT_SUCCESS(submit_urb(e, &urb))) return;
  ULONG got = urb.UrbControlDescriptorRequest.TransferBufferLength;
  ULONG chars = got >= 2 && raw[0] >= 2 ? (ULONG)(raw[0] < got ? raw[0] : got) / 2 - 1 : 0;
  if (chars > 31) chars = 31;
  WCHAR text[32];
  memcpy(text, raw + 2, chars * 2);
  text[chars] = 0;
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  ZwSetValueKey(key, &n, 0, REG_SZ, text, chars * 2 + 2);
}

// A device on the USB bus: the instrument's interfaces and its values in the hardware key.
void start_usb(ext *e) {
  USB_DEVICE_DESCRIPTOR dd;
  memset(&dd, 0, sizeof dd);
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                               &dd, nullptr, sizeof dd, nullptr);
  if (!NT_SUCCESS(submit_urb(e, &urb))) return;  // not a USB device (root bus)
  e->usb = true;
  HANDLE key;
  // The standard rights alone do not let a driver set values: ask for the right the writes need.
  if (NT_SUCCESS(IoOpenDeviceRegistryKey(e->pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL | KEY_SET_VALUE, &key))) {
    write_string_value(e, key, L"Product", dd.iProduct);
    write_string_value(e, key, L"SerialNumber", dd.iSerialNumber);
    write_string_value(e, key, L"Manufacturer", dd.iManufacturer);
    ULONG bcd = dd.bcdDevice;
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, L"bcdDevice");
    ZwSetValueKey(key, &n, 0, REG_DWORD, &bcd, sizeof bcd);
    ZwClose(key);
  }
  if (!e->usb_interfaces) {
    e->usb_interfaces = NT_SUCCESS(
        IoRegisterDeviceInterface(e->pdo, &zeph_wire::device_interface_guid_main, nullptr, &e->usb_iface[0]));
    if (e->usb_interfaces &&
        !NT_SUCCESS(IoRegisterDeviceInterface(e->pdo, &zeph_wire::device_interface_guid_bulk, nullptr, &e->usb_iface[1]))) {
      RtlFreeUnicodeString(&e->usb_iface[0]);
      e->usb_interfaces = false;
    }
  }
  if (e->usb_interfaces)
    for (auto &i : e->usb_iface) IoSetDeviceInterfaceState(&i, TRUE);
}

void stop_usb(ext *e, bool free_names) {
  if (!e->usb_interfaces) return;
  for (auto &i : e->usb_iface) {
    IoSetDeviceInterfaceState(&i, FALSE);
    if (free_names) RtlFreeUnicodeString(&i);
  }
  if (free_names) e->usb_interfaces = false;
}

NTSTATUS start_done(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
  if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(ctx), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS on_pnp(PDEVICE_OBJECT d, PIRP irp) {
  ext *e = X(d);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT ev;
      KeInitializeEvent(&ev, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, start_done, &ev, TRUE, TRUE, TRUE);
      // The IRP is not ours to finish while the bus keeps it: a start that never comes back ends the test.
      if (IoCallDriver(e->lower, irp) == STATUS_PENDING && zephtest::ke_wait(&ev) != STATUS_SUCCESS)
        zephtest::give_up("IRP_MN_START_DEVICE below");
      NTSTATUS st = irp->IoStatus.Status;
      if (NT_SUCCESS(st)) {
        start_usb(e);
        IoSetDeviceInterfaceState(&e->iface, TRUE);
      }
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return st;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
      InterlockedExchange(&e->removed, 1);
      e->stats.surprise_removed = 1;
      // Requests in flight end before the interfaces go, as the instrument's driver stops its engines first.
      LIST_ENTRY list;
      take_parked(e, nullptr, &list);
      complete_list(&list, STATUS_DEVICE_REMOVED, false);
      IoSetDeviceInterfaceState(&e->iface, FALSE);
      stop_usb(e, false);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(e->lower, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      InterlockedExchange(&e->removed, 1);
      if (LONG ms = InterlockedOr(&e->hold_remove_ms, 0)) {
        LARGE_INTEGER t;
        t.QuadPart = -10000LL * ms;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
      }
      IoSetDeviceInterfaceState(&e->iface, FALSE);
      stop_usb(e, true);
      LIST_ENTRY list;
      take_parked(e, nullptr, &list);
      complete_list(&list, STATUS_DEVICE_REMOVED, false);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS st = IoCallDriver(e->lower, irp);
      IoDeleteSymbolicLink(&e->link);
      RtlFreeUnicodeString(&e->link);
      RtlFreeUnicodeString(&e->iface);
      IoDetachDevice(e->lower);
      IoDeleteDevice(d);
      return st;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(e->lower, irp);
}

NTSTATUS on_power(PDEVICE_OBJECT d, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  {
    KIRQL irql;
    KeAcquireSpinLock(&X(d)->lock, &irql);
    X(d)->stats.power_irps++;
    X(d)->stats.last_power_minor = s->MinorFunction;
    X(d)->stats.last_power_type = s->Parameters.Power.Type;
    X(d)->stats.last_power_state = s->Parameters.Power.Type == SystemPowerState
                                       ? (unsigned)s->Parameters.Power.State.SystemState
                                       : (unsigned)s->Parameters.Power.State.DeviceState;
    KeReleaseSpinLock(&X(d)->lock, irql);
  }
  if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState)
    PoSetPowerState(d, DevicePowerState, s->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(X(d)->lower, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  LONG unit = InterlockedIncrement(&g_units) - 1;
  WCHAR name_buf[64], link_buf[64];
  UNICODE_STRING name = {0, sizeof name_buf, name_buf}, link = {0, sizeof link_buf, link_buf}, num;
  WCHAR num_buf[16];
  num.Buffer = num_buf;
  num.Length = 0;
  num.MaximumLength = sizeof num_buf;
  RtlIntegerToUnicodeString((ULONG)unit, 10, &num);
  RtlAppendUnicodeToString(&name, L"\\Device\\WbTest");
  RtlAppendUnicodeStringToString(&name, &num);
  RtlAppendUnicodeToString(&link, L"\\DosDevices\\WbTest");
  RtlAppendUnicodeStringToString(&link, &num);
  PDEVICE_OBJECT d;
  NTSTATUS st = IoCreateDevice(driver, sizeof(ext), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
  if (!NT_SUCCESS(st)) return st;
  ext *e = X(d);
  memset(e, 0, sizeof *e);
  e->self = d;
  e->pdo = pdo;
  KeInitializeSpinLock(&e->lock);
  InitializeListHead(&e->parked);
  InitializeListHead(&e->dpc_list);
  KeInitializeDpc(&e->dpc, dpc_routine, e);
  st = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &e->iface);
  if (NT_SUCCESS(st)) {
    e->link.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, link.Length + 2, kTag));
    e->link.MaximumLength = (USHORT)(link.Length + 2);
    RtlCopyUnicodeString(&e->link, &link);
    st = IoCreateSymbolicLink(&e->link, &name);
  }
  if (!NT_SUCCESS(st)) {
    if (e->iface.Buffer) RtlFreeUnicodeString(&e->iface);
    if (e->link.Buffer) ExFreePool(e->link.Buffer);
    IoDeleteDevice(d);
    return st;
  }
  e->lower = IoAttachDeviceToDeviceStack(d, pdo);
  d->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  d->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) { DbgPrint("testdrv: unload\n"); }

}  // namespace

extern "C" DRIVER_INITIALIZE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  g_units = 0;
  driver->MajorFunction[IRP_MJ_CREATE] = on_create;
  driver->MajorFunction[IRP_MJ_CLEANUP] = on_cleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
  driver->MajorFunction[IRP_MJ_READ] = on_read_write;
  driver->MajorFunction[IRP_MJ_WRITE] = on_read_write;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_ioctl;
  driver->MajorFunction[IRP_MJ_PNP] = on_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = on_power;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = unload;
  DbgPrint("testdrv: entry\n");
  return STATUS_SUCCESS;
}
