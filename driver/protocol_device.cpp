#include "protocol_device.h"

#include <morvex/wire.h>

namespace vantrel {

namespace {

volatile LONG g_live_devices = 0;

NTSTATUS capabilities_returned(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    PDEVICE_CAPABILITIES c = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (c) {
      c->Removable = 1;
      c->SurpriseRemovalOK = 1;
    }
  }
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

LONG protocol_device::live_devices() { return g_live_devices; }

protocol_device::protocol_device(PDEVICE_OBJECT self, kl::device_names *names, PDEVICE_OBJECT pdo, ULONG unit)
    : pnp_device(self, names, pdo, &zeph_wire::device_interface_guid_main), unit_(unit) {
  engine_gate_.init();
  mode_gate_.init();
  reset_gate_.init();
  vendor_gate_.init();
  KeInitializeSpinLock(&vendor_lock_);
  stopping_.init(NotificationEvent, false);
  InterlockedIncrement(&g_live_devices);
  if (!NT_SUCCESS(creation_status_)) return;
  creation_status_ = usb_.attach(self, pdo);
  if (!NT_SUCCESS(creation_status_)) return;
  lower_ = usb_.lower();
  idle_ = kl::create<idle_engine>(NonPagedPool, this);
  if (!idle_) {
    creation_status_ = STATUS_INSUFFICIENT_RESOURCES;
    IoDetachDevice(lower_);
    lower_ = nullptr;
    usb_.forget_lower();
    return;
  }
  current_ = idle_;
  // The library's policy except: interfaces are the teardown's to disable, and the removal waits until
  // every request has left instead of for a fixed moment.
  policy_.disable_interfaces_at_stop = false;
  policy_.disable_interfaces_at_remove = false;
  stop_timeout_ = remove_timeout_ = 0;
  self->StackSize = (CCHAR)(lower_->StackSize + 1);
}

protocol_device::~protocol_device() {
  destroy_engines();
  kl::destroy(idle_);
  idle_ = nullptr;
  current_ = nullptr;
  InterlockedDecrement(&g_live_devices);
  hardware_key_.close();
}

transfer_engine *protocol_device::enter_engine() {
  InterlockedIncrement(&engine_users_);
  return current_engine();
}

void protocol_device::leave_engine() { InterlockedDecrement(&engine_users_); }

void protocol_device::wait_engine_users() {
  LARGE_INTEGER t = kl::relative_ms(1);
  while (InterlockedOr(&engine_users_, 0) != 0) KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void protocol_device::make_current(transfer_engine *e) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&current_), e);
}

void protocol_device::destroy_engines() {
  // Never under a reader: the idle engine is current first, then the readers have left.
  if (current_engine() != idle_) make_current(idle_);
  wait_engine_users();
  kl::destroy(iso_);
  kl::destroy(bulk_);
  iso_ = bulk_ = nullptr;
}

NTSTATUS protocol_device::on_query_capabilities(PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, capabilities_returned, nullptr, TRUE, TRUE, TRUE);
  decrement_outstanding_requests();
  return IoCallDriver(lower_, irp);
}

NTSTATUS protocol_device::on_system_control(PIRP irp) { return pass_down(irp); }

NTSTATUS protocol_device::read_string_descriptor(UCHAR index, USHORT language, UCHAR *length, PWCHAR text,
                                                 ULONG size, ULONG *copied) {
  return usb_.read_string(index, language, length, text, size, copied);
}

NTSTATUS protocol_device::write_device_info() {
  HANDLE h = nullptr;
  // The writes need the set-value right, which the standard rights alone do not give.
  NTSTATUS st = IoOpenDeviceRegistryKey(physical_device(), PLUGPLAY_REGKEY_DEVICE,
                                        STANDARD_RIGHTS_ALL | KEY_SET_VALUE | KEY_QUERY_VALUE, &h);
  if (!NT_SUCCESS(st)) return st;
  hardware_key_.adopt(h, st);
  static PCWSTR const names[3] = {L"Product", L"SerialNumber", L"Manufacturer"};
  NTSTATUS result = STATUS_SUCCESS;
  for (int i = 0; i < 3; ++i) {
    WCHAR text[32];
    kl::zero(text, sizeof text);
    st = usb_.read_device_descriptor();
    if (!NT_SUCCESS(st)) break;
    const USB_DEVICE_DESCRIPTOR &d = usb_.device_descriptor();
    UCHAR index = i == 0 ? d.iProduct : i == 1 ? d.iSerialNumber : d.iManufacturer;
    ULONG copied = 0;
    // A string that cannot be read is stored empty, never with another value's text; a long one is cut
    // to 31 characters.
    if (index != 0) {
      NTSTATUS r = read_string_descriptor(index, language_en_us, nullptr, text, sizeof text, &copied);
      if (r == STATUS_INSUFFICIENT_RESOURCES) {
        st = r;  // out of pool is not a device that has no such string
        break;
      }
      if (!NT_SUCCESS(r) && r != STATUS_BUFFER_TOO_SMALL) text[0] = 0;
    }
    st = hardware_key_.write_string(names[i], text);
    if (!NT_SUCCESS(st) && NT_SUCCESS(result)) result = st;
  }
  if (NT_SUCCESS(st)) st = usb_.read_device_descriptor();
  if (NT_SUCCESS(st)) st = hardware_key_.write_dword(L"bcdDevice", usb_.device_descriptor().bcdDevice);
  if (NT_SUCCESS(st) && !NT_SUCCESS(result)) st = result;
  hardware_key_.close();
  return st;
}

NTSTATUS protocol_device::find_configuration(PCWSTR name, UCHAR *value) {
  UNICODE_STRING want;
  RtlInitUnicodeString(&want, name);
  UCHAR count = usb_.device_descriptor().bNumConfigurations;
  for (UCHAR i = 0; i < count; ++i) {
    NTSTATUS st = usb_.read_configuration_descriptor(i, kl::usb_lower_device::config_buffer_size);
    if (!NT_SUCCESS(st)) return st;
    PUSB_CONFIGURATION_DESCRIPTOR c = usb_.configuration_buffer();
    UCHAR config_value = c->bConfigurationValue;
    if (c->iConfiguration == 0) continue;
    WCHAR text[64];
    ULONG copied = 0;
    st = read_string_descriptor(c->iConfiguration, language_en_us, nullptr, text, sizeof text, &copied);
    if (!NT_SUCCESS(st) && st != STATUS_BUFFER_TOO_SMALL) return st;
    UNICODE_STRING got;
    RtlInitUnicodeString(&got, text);
    if (got.Length == want.Length && RtlCompareMemory(got.Buffer, want.Buffer, want.Length) == want.Length) {
      *value = config_value;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS protocol_device::build_engine(PCWSTR name, UCHAR mode, transfer_engine **slot, bool *registered,
                                       const GUID *guid) {
  UCHAR value = 0;
  NTSTATUS st = find_configuration(name, &value);
  if (!NT_SUCCESS(st)) return st;
  if (*slot) {
    kl::destroy(*slot);
    *slot = nullptr;
  }
  *slot = make_engine(this, mode, value);
  if (!*slot) return STATUS_INSUFFICIENT_RESOURCES;
  if (!*registered) {
    st = register_device_interface(guid);
    if (!NT_SUCCESS(st)) return st;
    *registered = true;
  }
  return STATUS_SUCCESS;
}

NTSTATUS protocol_device::on_start_device(PIRP) {
  stopping_.clear();
  NTSTATUS st = usb_.read_device_descriptor();
  if (!NT_SUCCESS(st)) return st;
  st = write_device_info();
  if (!NT_SUCCESS(st)) return st;
  NTSTATUS iso = build_engine(L"Isochrone", zeph_wire::MODE_ISO, &iso_, &iso_registered_,
                              &zeph_wire::device_interface_guid_iso);
  if (!NT_SUCCESS(iso) && iso != STATUS_UNSUCCESSFUL) return iso;
  NTSTATUS bulk = build_engine(L"Bulk", zeph_wire::MODE_BULK, &bulk_, &bulk_registered_,
                               &zeph_wire::device_interface_guid_bulk);
  if (!NT_SUCCESS(bulk) && bulk != STATUS_UNSUCCESSFUL) return bulk;
  if (!iso_ && !bulk_) return STATUS_UNSUCCESSFUL;
  st = select_configuration(1, 0, 0, 0);
  if (!NT_SUCCESS(st)) return st;
  enable_device_interfaces();
  InterlockedExchange(&torn_down_, 0);
  return STATUS_SUCCESS;
}

NTSTATUS protocol_device::select_configuration(UCHAR value, UCHAR a0, UCHAR a1, UCHAR a2) {
  NTSTATUS st = usb_.select_configuration(value, a0, a1, a2);
  if (!NT_SUCCESS(st) && st != STATUS_INVALID_PARAMETER && st != STATUS_INSUFFICIENT_RESOURCES)
    st = STATUS_UNSUCCESSFUL;
  return st;
}

NTSTATUS protocol_device::teardown_engines() {
  engine_gate_.take();
  if (!InterlockedOr(&torn_down_, 0)) {
    stopping_.set();
    transfer_engine *cur = current_engine();
    if (cur) cur->stop_channels();
    disable_device_interfaces();
    destroy_engines();
    usb_.deconfigure();
    InterlockedExchange(&torn_down_, 1);
  }
  engine_gate_.give();
  return STATUS_SUCCESS;
}

NTSTATUS protocol_device::on_stop_device(PIRP) {
  engine_gate_.take();
  transfer_engine *cur = current_engine();
  if (cur) cur->stop_channels();
  destroy_engines();
  engine_gate_.give();
  return STATUS_SUCCESS;
}

NTSTATUS protocol_device::on_remove_device(PIRP) { return teardown_engines(); }
NTSTATUS protocol_device::on_surprise_removal(PIRP) { return teardown_engines(); }

NTSTATUS protocol_device::on_create(PIRP irp) {
  irp->IoStatus.Information = 0;
  NTSTATUS st = STATUS_SUCCESS;
  if (open_count() != 0) {
    st = STATUS_ACCESS_DENIED;  // one handle at a time
  } else if (first_open_) {
    first_open_ = false;
  } else {
    reset_device();
  }
  return finish(irp, st);
}

NTSTATUS protocol_device::on_close(PIRP irp) {
  if (!InterlockedOr(&torn_down_, 0)) switch_engine(mode_record{0, 0, 0, 0});
  return finish(irp, STATUS_SUCCESS);
}

NTSTATUS protocol_device::on_read(PIRP irp) {
  transfer_engine *e = enter_engine();
  NTSTATUS st = e->read(irp);
  leave_engine();
  return st;
}

NTSTATUS protocol_device::on_write(PIRP irp) {
  transfer_engine *e = enter_engine();
  NTSTATUS st = e->write(irp);
  leave_engine();
  return st;
}

NTSTATUS protocol_device::on_cleanup(PIRP irp) {
  transfer_engine *e = enter_engine();
  e->cleanup(IoGetCurrentIrpStackLocation(irp)->FileObject);
  leave_engine();
  return finish(irp, STATUS_SUCCESS);
}

NTSTATUS protocol_device::switch_engine(mode_record rec) {
  mode_gate_.take();
  NTSTATUS st = switch_engine_held(rec);
  mode_gate_.give();
  return st;
}

NTSTATUS protocol_device::switch_engine_held(mode_record rec) {
  if (rec.mode == 0) stopping_.wait(100);
  engine_gate_.take();
  NTSTATUS st;
  if (unusable()) {
    if (current_engine() != idle_) {
      transfer_engine *cur = current_engine();
      cur->stop();
      make_current(idle_);
    }
    st = rec.mode == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  } else {
    transfer_engine *next = rec.mode == 0 ? idle_ : rec.mode == 1 ? bulk_ : rec.mode == 2 ? iso_ : nullptr;
    if (!next) {
      st = STATUS_NOT_IMPLEMENTED;
    } else {
      transfer_engine *cur = current_engine();
      st = cur->stop();
      if (NT_SUCCESS(st)) {
        // The stopped engine is not current while the next one starts.
        if (cur != idle_) make_current(idle_);
        st = next->start(rec.p1, rec.p2, rec.p3);
        if (NT_SUCCESS(st)) make_current(next);
      }
    }
  }
  engine_gate_.give();
  return st;
}

ULONG protocol_device::engine_word(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->Parameters.DeviceIoControl.InputBufferLength < zeph_wire::HEADER_SIZE ||
      s->Parameters.DeviceIoControl.IoControlCode != zeph_wire::IOCTL_VENDOR_COMMAND)
    return 0;
  ULONG word = zeph_wire::get24(static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer));
  return word == zeph_wire::WORD_RESTART_NOTIFY || word == zeph_wire::WORD_READ_PIPE_RESET ||
                 word == zeph_wire::WORD_WRITE_PIPE_RESET
             ? word
             : 0;
}

NTSTATUS protocol_device::vendor_dispatch(PIRP irp) {
  if (!engine_word(irp)) {
    transfer_engine *e = enter_engine();
    NTSTATUS st = e->vendor_request(irp);
    leave_engine();
    return st;
  }
  // The bulk engine's words restart channels and reset pipes: never while a mode change stops it or
  // selects a configuration (which rewrites the pipe table), and what the word is must still hold when it
  // reaches the instrument: a word taken for a plain request that then waited for the vendor gate while
  // mode 1 began would reset the instrument's side of a pipe and not the host's. So the vendor gate comes
  // first (waited for holding neither of the other gates, so that mode changes and teardown go on), then
  // the mode and engine gates; the engine is read under all three and the word sent before they are
  // given back. It is not counted as an engine user while it waits (teardown waits for the users holding
  // the engine gate).
  vendor_gate_.take();
  mode_gate_.take();
  engine_gate_.take();
  transfer_engine *e = enter_engine();
  NTSTATUS st;
  if (e == bulk_ || e == idle_) {
    st = e->vendor_request(irp);
    vendor_gate_.give();
  } else {
    st = vendor_request_async(irp, true);  // its completion gives the vendor gate back
  }
  engine_gate_.give();
  mode_gate_.give();
  leave_engine();
  return st;
}

NTSTATUS protocol_device::reset_device() {
  reset_gate_.take();
  // No mode change between reading the engine and restarting its mode: the mode gate is held throughout.
  mode_gate_.take();
  engine_gate_.take();
  transfer_engine *cur = enter_engine();
  if (unusable() || cur == idle_) {
    leave_engine();
    engine_gate_.give();
    mode_gate_.give();
    reset_gate_.give();
    return STATUS_SUCCESS;
  }
  InterlockedExchange(&resetting_, 1);
  mode_record rec = cur->record();
  cur->stop();
  make_current(idle_);
  leave_engine();
  engine_gate_.give();
  cancel_vendor_in_flight();
  NTSTATUS st = usb_.reset_port(10000);
  if (NT_SUCCESS(st) && rec.as_ulong() != 0) {
    st = switch_engine_held(mode_record{0, 0, 0, 0});
    if (NT_SUCCESS(st)) st = switch_engine_held(rec);
  }
  InterlockedExchange(&resetting_, 0);
  mode_gate_.give();
  reset_gate_.give();
  return st;
}

}  // namespace vantrel
