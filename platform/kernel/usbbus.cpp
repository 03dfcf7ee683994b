// The USB bus driver: one physical device object per simulated instrument, serving URBs and port resets
// from the function driver above it against the instrument's USB face.
#include <usbdlib.h>

#include <simdev/usb_device.h>
#include <standin/usbbus.h>

#include <algorithm>
#include <map>
#include <optional>
#include <thread>

#include "kinternal.h"

namespace wbk {
extern std::atomic<ULONG> g_default_max_transfer;

namespace {

using simdev::usb_status;

std::atomic<bool> g_async_completion{false};
std::atomic<bool> g_async_pnp_power{false};

struct pipe_rec {
  UCHAR endpoint;
  USBD_PIPE_TYPE type;
};

struct transfer_rec {
  simdev::transfer_id id = 0;
  bool cancel_requested = false;
  UCHAR endpoint = 0;
  std::vector<simdev::iso_packet> packets;
};

// A finished bulk or interrupt transfer whose completion has not reached the driver yet.
struct held_completion {
  PIRP irp;
  PURB urb;
  usb_status status;
  size_t bytes;
  UCHAR endpoint;
};

struct bus_device {
  std::shared_ptr<simdev::usb_device> dev;
  PDEVICE_OBJECT pdo = nullptr;
  std::string instance;
  std::atomic<bool> gone{false};
  std::mutex select_mu;  // one selection at a time
  std::mutex mu;
  std::map<uintptr_t, pipe_rec> pipes;  // live pipe handles of the current selection
  // The host controller's data toggle of each bulk pipe (true: DATA1 next); DATA0 for a new pipe, after
  // a pipe reset and after a port reset.
  std::map<uintptr_t, bool> toggle;
  std::map<PIRP, transfer_rec> transfers;
  uintptr_t config_handle = 0;
  std::map<UCHAR, UCHAR> alternate;  // interface -> alternate setting of the current selection
  UCHAR configuration = 0;
  // (major << 8 | minor) of the PnP and power requests that reached this PDO, for tests.
  std::vector<unsigned> pnp_power_seen;
  // Faults of the bus itself, for tests (under mu).
  unsigned aborts_to_ignore = 0;
  unsigned resets_to_hang = 0;
  std::vector<PIRP> hung_resets;
  int hold_endpoint = -1;  // the transfer after hold_skip more on it is held until the pipe is aborted
  unsigned hold_skip = 0;
  std::vector<held_completion> held;
  bool hold_vendor = false;  // the next vendor request's completion waits for release_held_requests
  std::vector<std::pair<PIRP, NTSTATUS>> held_requests;
};

std::atomic<uintptr_t> g_next_handle{0x1000};

struct bus_state {
  std::mutex mu;
  std::map<std::string, bus_device *> devices;  // upper instance id
  unsigned serial = 0;
};
bus_state &bus() {
  static auto *b = new bus_state;
  return *b;
}

std::string upper8(std::string s) {
  for (auto &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

// The PDO's extension: its bus device until the removal lets it go, and the calls inside it. A deleted PDO
// may still be referenced and sent requests; the extension lives as long as the PDO's memory and answers
// them once the device itself is gone.
struct pdo_link {
  std::atomic<bus_device *> device{nullptr};
  std::atomic<unsigned> users{0};
};

pdo_link *link_of(PDEVICE_OBJECT pdo) { return static_cast<pdo_link *>(pdo->DeviceExtension); }

// A call into the bus for one PDO: its device, kept while the call runs, or none once it is gone.
class device_use {
 public:
  explicit device_use(pdo_link *link) : link_(link) {
    link_->users++;
    b_ = link_->device.load();
  }
  explicit device_use(PDEVICE_OBJECT pdo) : device_use(link_of(pdo)) {}
  ~device_use() { link_->users--; }
  device_use(const device_use &) = delete;
  device_use &operator=(const device_use &) = delete;
  bus_device *get() const { return b_; }

 private:
  pdo_link *link_;
  bus_device *b_;
};

void map_status(usb_status s, USBD_STATUS *usbd, NTSTATUS *st) {
  switch (s) {
    case usb_status::success: *usbd = USBD_STATUS_SUCCESS; *st = STATUS_SUCCESS; break;
    case usb_status::stall: *usbd = USBD_STATUS_STALL_PID; *st = STATUS_DEVICE_DATA_ERROR; break;
    case usb_status::cancelled: *usbd = USBD_STATUS_CANCELED; *st = STATUS_CANCELLED; break;
    case usb_status::removed: *usbd = USBD_STATUS_DEVICE_GONE; *st = STATUS_DEVICE_NOT_CONNECTED; break;
    case usb_status::not_responding: *usbd = USBD_STATUS_DEV_NOT_RESPONDING; *st = STATUS_DEVICE_DATA_ERROR; break;
    case usb_status::data_error: *usbd = USBD_STATUS_CRC; *st = STATUS_DEVICE_DATA_ERROR; break;
    case usb_status::babble: *usbd = USBD_STATUS_BUFFER_OVERRUN; *st = STATUS_DEVICE_DATA_ERROR; break;
    case usb_status::toggle_mismatch:
      *usbd = USBD_STATUS_DATA_TOGGLE_MISMATCH;
      *st = STATUS_DEVICE_DATA_ERROR;
      break;
    default: *usbd = USBD_STATUS_INVALID_PARAMETER; *st = STATUS_INVALID_PARAMETER; break;
  }
}

// Finishes a URB request that did not go to an endpoint queue: inside the call or from a bus thread.
NTSTATUS finish_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS st) {
  if (urb) urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = st;
  if (g_async_completion.load()) {
    IoMarkIrpPending(irp);
    queue_worker([irp] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // as from a host controller's DPC
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      KeLowerIrql(old);
    });
    return STATUS_PENDING;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

void *buffer_of(PVOID buffer, PMDL mdl, ULONG length) {
  // The host controller reaches a transfer buffer at DISPATCH_LEVEL and by DMA: it must be resident.
  if (buffer && length && wbk::in_paged_pool(buffer, length))
    wbk::violation("URB transfer buffer %p (%lu bytes) is in paged pool", buffer, (unsigned long)length);
  if (buffer) return buffer;
  return mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

NTSTATUS control(bus_device *b, PIRP irp, PURB urb, UCHAR request_type, UCHAR request, USHORT value, USHORT index,
                 PVOID buffer, PMDL mdl, ULONG *length) {
  simdev::setup_packet s;
  s.bmRequestType = request_type;
  s.bRequest = request;
  s.wValue = value;
  s.wIndex = index;
  s.wLength = (uint16_t)(*length > 0xFFFF ? 0xFFFF : *length);
  auto *data = static_cast<uint8_t *>(buffer_of(buffer, mdl, *length));
  if (s.wLength && !data) return finish_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  simdev::control_result r = b->dev->control(s, data);
  USBD_STATUS usbd;
  NTSTATUS st;
  map_status(r.status, &usbd, &st);
  *length = (ULONG)r.length;
  if ((request_type & 0x60) == 0x40) {
    std::lock_guard<std::mutex> l(b->mu);
    if (b->hold_vendor) {
      // Answered by the device; its completion waits until the test lets it go.
      b->hold_vendor = false;
      urb->UrbHeader.Status = usbd;
      IoMarkIrpPending(irp);
      b->held_requests.push_back({irp, st});
      return STATUS_PENDING;
    }
  }
  return finish_now(irp, urb, usbd, st);
}

// Completes the held vendor requests from a bus thread.
void release_requests(bus_device *b) {
  std::vector<std::pair<PIRP, NTSTATUS>> list;
  {
    std::lock_guard<std::mutex> l(b->mu);
    list.swap(b->held_requests);
  }
  for (auto &x : list)
    queue_worker([x] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      x.first->IoStatus.Status = x.second;
      IoCompleteRequest(x.first, IO_NO_INCREMENT);
      KeLowerIrql(old);
    });
}

const USB_INTERFACE_DESCRIPTOR *find_interface(PUSB_CONFIGURATION_DESCRIPTOR c, UCHAR number, UCHAR alt) {
  return USBD_ParseConfigurationDescriptorEx(c, c, number, alt, -1, -1, -1);
}

// Fills one interface record from the descriptor and gives its pipes fresh handles.
bool fill_interface(std::map<uintptr_t, pipe_rec> &pipes, PUSB_CONFIGURATION_DESCRIPTOR c,
                    PUSBD_INTERFACE_INFORMATION info) {
  const USB_INTERFACE_DESCRIPTOR *d = find_interface(c, info->InterfaceNumber, info->AlternateSetting);
  if (!d) return false;
  info->Class = d->bInterfaceClass;
  info->SubClass = d->bInterfaceSubClass;
  info->Protocol = d->bInterfaceProtocol;
  info->InterfaceHandle = (USBD_INTERFACE_HANDLE)g_next_handle.fetch_add(4);
  ULONG room = info->Length >= GET_USBD_INTERFACE_SIZE(0)
                   ? (ULONG)((info->Length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION))
                   : 0;
  if (d->bNumEndpoints > room) return false;
  info->NumberOfPipes = d->bNumEndpoints;
  auto *p = reinterpret_cast<const UCHAR *>(d) + d->bLength;
  auto *end = reinterpret_cast<const UCHAR *>(c) + c->wTotalLength;
  ULONG k = 0;
  while (k < d->bNumEndpoints && p + 2 <= end) {
    auto *e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(p);
    if (e->bLength < 2) break;
    if (e->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (e->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      USBD_PIPE_INFORMATION &pi = info->Pipes[k++];
      pi.MaximumPacketSize = e->wMaxPacketSize & 0x7FF;
      pi.EndpointAddress = e->bEndpointAddress;
      pi.Interval = e->bInterval;
      pi.PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & 3);
      if (!pi.MaximumTransferSize) pi.MaximumTransferSize = g_default_max_transfer.load();
      uintptr_t h = g_next_handle.fetch_add(4);
      pi.PipeHandle = (USBD_PIPE_HANDLE)h;
      pipes[h] = pipe_rec{e->bEndpointAddress, pi.PipeType};
    }
    p += e->bLength;
  }
  return k == d->bNumEndpoints;
}

NTSTATUS select_configuration(bus_device *b, PIRP irp, PURB urb) {
  auto &sc = urb->UrbSelectConfiguration;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  NTSTATUS st = STATUS_SUCCESS;
  {
    // The device calls wait for the completions of the transfers they end, and those take b->mu: only
    // the selection lock is held across them, and the request completes with no lock held.
    std::lock_guard<std::mutex> sel(b->select_mu);
    {
      std::lock_guard<std::mutex> l(b->mu);
      b->pipes.clear();  // every earlier pipe handle is stale from now on
      b->toggle.clear();
      b->alternate.clear();
      b->configuration = 0;
      b->config_handle = 0;
    }
    PUSB_CONFIGURATION_DESCRIPTOR c = sc.ConfigurationDescriptor;
    usb_status s = b->dev->set_configuration(c ? c->bConfigurationValue : 0);
    if (!c || s != usb_status::success) {
      if (!c) sc.ConfigurationHandle = nullptr;
      map_status(s, &usbd, &st);
    } else {
      std::map<uintptr_t, pipe_rec> pipes;
      std::map<UCHAR, UCHAR> alternate;
      auto *p = reinterpret_cast<UCHAR *>(&sc.Interface);
      auto *end = reinterpret_cast<UCHAR *>(urb) + urb->UrbHeader.Length;
      while (p + GET_USBD_INTERFACE_SIZE(0) <= end) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0) || p + info->Length > end) break;
        if (info->AlternateSetting) {
          s = b->dev->set_interface(info->InterfaceNumber, info->AlternateSetting);
          if (s != usb_status::success) {
            map_status(s, &usbd, &st);
            break;
          }
        }
        if (!fill_interface(pipes, c, info)) {
          usbd = USBD_STATUS_INVALID_PARAMETER;
          st = STATUS_INVALID_PARAMETER;
          break;
        }
        alternate[info->InterfaceNumber] = info->AlternateSetting;
        p += info->Length;
      }
      if (NT_SUCCESS(st)) {
        std::lock_guard<std::mutex> l(b->mu);
        b->pipes = std::move(pipes);
        b->alternate = std::move(alternate);
        b->configuration = c->bConfigurationValue;
        b->config_handle = g_next_handle.fetch_add(4);
        sc.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)b->config_handle;
      }
    }
  }
  return finish_now(irp, urb, usbd, st);
}

bool pipe_of(bus_device *b, USBD_PIPE_HANDLE h, pipe_rec *out) {
  std::lock_guard<std::mutex> l(b->mu);
  auto it = b->pipes.find((uintptr_t)h);
  if (it == b->pipes.end()) return false;
  *out = it->second;
  return true;
}

void transfer_cancel(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  device_use use(pdo);
  bus_device *b = use.get();
  if (!b) return;  // let go only once its transfers had all ended
  simdev::transfer_id id = 0;
  {
    std::lock_guard<std::mutex> l(b->mu);
    auto it = b->transfers.find(irp);
    if (it == b->transfers.end()) return;
    it->second.cancel_requested = true;
    id = it->second.id;
  }
  if (id) b->dev->cancel(id);  // its completion finishes the IRP as cancelled
}

void complete_transfer(PIRP irp, PURB urb, usb_status s, size_t bytes, std::vector<simdev::iso_packet> &packets);

// Hands held completions (of one endpoint, or all with -1) to the driver from a bus thread, after whatever
// the caller is finishing: a host controller whose completion arrived late.
void deliver_held(bus_device *b, int endpoint) {
  std::vector<held_completion> list;
  {
    std::lock_guard<std::mutex> l(b->mu);
    for (auto it = b->held.begin(); it != b->held.end();) {
      if (endpoint < 0 || it->endpoint == endpoint) {
        list.push_back(*it);
        it = b->held.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &h : list)
    queue_worker([h] {
      std::vector<simdev::iso_packet> none;
      complete_transfer(h.irp, h.urb, h.status, h.bytes, none);
    });
}

// Ends an endpoint transfer from the device's completion thread.
void transfer_done(bus_device *b, PIRP irp, PURB urb, usb_status s, size_t bytes) {
  if (!IoSetCancelRoutine(irp, nullptr)) {
    // IoCancelIrp has taken the routine and holds the cancel spin lock until the routine has read what it
    // needs of the IRP: wait for that before the IRP can be completed and freed.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  std::vector<simdev::iso_packet> packets;
  {
    std::lock_guard<std::mutex> l(b->mu);
    auto it = b->transfers.find(irp);
    if (it != b->transfers.end()) {
      UCHAR ep = it->second.endpoint;
      packets = std::move(it->second.packets);
      b->transfers.erase(it);
      if (b->hold_endpoint == ep && urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
        if (b->hold_skip) {
          --b->hold_skip;
        } else {
          // Finished on the wire; its completion comes after the next abort of the pipe.
          b->hold_endpoint = -1;
          b->held.push_back(held_completion{irp, urb, s, bytes, ep});
          return;
        }
      }
    }
  }
  complete_transfer(irp, urb, s, bytes, packets);
}

void complete_transfer(PIRP irp, PURB urb, usb_status s, size_t bytes, std::vector<simdev::iso_packet> &packets) {
  USBD_STATUS usbd;
  NTSTATUS st;
  map_status(s, &usbd, &st);
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    auto &iso = urb->UrbIsochronousTransfer;
    ULONG errors = 0, total = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets && i < packets.size(); ++i) {
      USBD_STATUS ps;
      NTSTATUS pst;
      map_status(packets[i].status, &ps, &pst);
      iso.IsoPacket[i].Length = packets[i].length;
      iso.IsoPacket[i].Status = ps;
      if (ps != USBD_STATUS_SUCCESS) ++errors;
      total += packets[i].length;
    }
    iso.ErrorCount = errors;
    iso.TransferBufferLength = total;
  } else {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)bytes;
  }
  urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = st;
  irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // completions arrive at DISPATCH_LEVEL, as from a host controller DPC
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

NTSTATUS start_transfer(PDEVICE_OBJECT pdo, bus_device *b, PIRP irp, PURB urb) {
  bool iso = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
  USBD_PIPE_HANDLE h = iso ? urb->UrbIsochronousTransfer.PipeHandle : urb->UrbBulkOrInterruptTransfer.PipeHandle;
  pipe_rec pipe;
  if (!pipe_of(b, h, &pipe)) return finish_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  if (iso != (pipe.type == UsbdPipeTypeIsochronous))
    return finish_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  auto &t = urb->UrbBulkOrInterruptTransfer;
  auto *data = static_cast<uint8_t *>(buffer_of(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength));
  ULONG length = t.TransferBufferLength;
  if (length && !data) return finish_now(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  transfer_rec rec;
  rec.endpoint = pipe.endpoint;
  if (iso) {
    auto &it = urb->UrbIsochronousTransfer;
    rec.packets.resize(it.NumberOfPackets);
    for (ULONG i = 0; i < it.NumberOfPackets; ++i) rec.packets[i].offset = it.IsoPacket[i].Offset;
  }
  bool added = false;
  {
    // Once the device is gone nothing is added: its removal waits only for the transfers it found.
    std::lock_guard<std::mutex> l(b->mu);
    if (!b->gone.load()) {
      b->transfers[irp] = std::move(rec);
      added = true;
    }
  }
  if (!added) return finish_now(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, transfer_cancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    transfer_done(b, irp, urb, usb_status::cancelled, 0);
    return STATUS_PENDING;
  }
  (void)pdo;
  simdev::transfer_id id;
  if (iso) {
    simdev::iso_packet *packets;
    {
      std::lock_guard<std::mutex> l(b->mu);
      packets = b->transfers[irp].packets.data();
    }
    id = b->dev->submit_iso(pipe.endpoint, data, length, packets, urb->UrbIsochronousTransfer.NumberOfPackets,
                            [b, irp, urb](usb_status s) { transfer_done(b, irp, urb, s, 0); });
  } else {
    // As a host controller does: an IN data packet whose toggle repeats the last one taken is the device
    // sending again a packet whose ACK it missed; it is dropped. OUT packets carry the pipe's toggle, which
    // moves on with each handshake.
    auto check = [b, h = (uintptr_t)h](bool data1) {
      std::lock_guard<std::mutex> l(b->mu);
      bool &expected = b->toggle[h];
      if (data1 != expected) return false;
      expected = !expected;
      return true;
    };
    auto send = [b, h = (uintptr_t)h](bool acknowledged) {
      std::lock_guard<std::mutex> l(b->mu);
      bool &next = b->toggle[h];
      const bool carried = next;
      if (acknowledged) next = !next;
      return carried;
    };
    simdev::packet_check host;
    if (pipe.type == UsbdPipeTypeBulk)
      host = (pipe.endpoint & 0x80) ? simdev::packet_check(check) : simdev::packet_check(send);
    id = b->dev->submit(
        pipe.endpoint, data, length, [b, irp, urb](usb_status s, size_t n) { transfer_done(b, irp, urb, s, n); },
        std::move(host));
  }
  bool cancel = false;
  {
    std::lock_guard<std::mutex> l(b->mu);
    auto it = b->transfers.find(irp);
    if (it != b->transfers.end()) {
      it->second.id = id;
      cancel = it->second.cancel_requested;
    }
  }
  if (cancel) b->dev->cancel(id);
  return STATUS_PENDING;
}

NTSTATUS submit_urb(PDEVICE_OBJECT pdo, bus_device *b, PIRP irp) {
  auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (!urb) return finish_now(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  if (b->gone.load()) return finish_now(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return select_configuration(b, irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &d = urb->UrbControlDescriptorRequest;
      return control(b, irp, urb, 0x80, USB_REQUEST_GET_DESCRIPTOR, (USHORT)(d.DescriptorType << 8 | d.Index),
                     d.LanguageId, d.TransferBuffer, d.TransferBufferMDL, &d.TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto &v = urb->UrbControlVendorClassRequest;
      USHORT f = urb->UrbHeader.Function;
      UCHAR type = (f >= URB_FUNCTION_VENDOR_DEVICE && f <= URB_FUNCTION_VENDOR_ENDPOINT) || f == URB_FUNCTION_VENDOR_OTHER
                       ? 0x40
                       : 0x20;
      UCHAR recipient = f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_CLASS_INTERFACE  ? 1
                        : f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_CLASS_ENDPOINT ? 2
                        : f == URB_FUNCTION_VENDOR_OTHER || f == URB_FUNCTION_CLASS_OTHER       ? 3
                                                                                                  : 0;
      UCHAR dir = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0;
      return control(b, irp, urb, (UCHAR)(dir | type | recipient | (v.RequestTypeReservedBits & 0x1F)), v.Request,
                     v.Value, v.Index, v.TransferBuffer, v.TransferBufferMDL, &v.TransferBufferLength);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
      return start_transfer(pdo, b, irp, urb);
    case URB_FUNCTION_ABORT_PIPE: {
      pipe_rec pipe;
      if (!pipe_of(b, urb->UrbPipeRequest.PipeHandle, &pipe))
        return finish_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      bool ignore;
      {
        std::lock_guard<std::mutex> l(b->mu);
        ignore = b->aborts_to_ignore > 0;
        if (ignore) --b->aborts_to_ignore;
      }
      // A hung abort answers success and ends nothing: the transfers stay pending until cancelled.
      if (ignore) return finish_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
      b->dev->abort_endpoint(pipe.endpoint);
      NTSTATUS st = finish_now(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
      deliver_held(b, pipe.endpoint);
      return st;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      pipe_rec pipe;
      if (!pipe_of(b, urb->UrbPipeRequest.PipeHandle, &pipe))
        return finish_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      USBD_STATUS usbd;
      NTSTATUS st;
      if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) {
        std::lock_guard<std::mutex> l(b->mu);
        b->toggle[(uintptr_t)urb->UrbPipeRequest.PipeHandle] = false;
      }
      map_status(b->dev->clear_halt(pipe.endpoint), &usbd, &st);
      return finish_now(irp, urb, usbd, st);
    }
    default:
      return finish_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

void hung_reset_cancel(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  device_use use(pdo);
  bus_device *b = use.get();
  if (!b) return;  // let go only once its hung resets had all ended
  {
    std::lock_guard<std::mutex> l(b->mu);
    auto it = std::find(b->hung_resets.begin(), b->hung_resets.end(), irp);
    if (it == b->hung_resets.end()) return;
    b->hung_resets.erase(it);
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Ends the port resets that never completed (the device is gone): those whose cancel routine is not running.
void end_hung_resets(bus_device *b) {
  std::vector<PIRP> list;
  {
    std::lock_guard<std::mutex> l(b->mu);
    for (auto it = b->hung_resets.begin(); it != b->hung_resets.end();) {
      if (IoSetCancelRoutine(*it, nullptr)) {
        list.push_back(*it);
        it = b->hung_resets.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (PIRP irp : list) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

NTSTATUS reset_port(bus_device *b, PIRP irp) {
  if (b->gone.load()) return finish_now(irp, nullptr, 0, STATUS_DEVICE_NOT_CONNECTED);
  {
    std::unique_lock<std::mutex> l(b->mu);
    if (b->resets_to_hang && !b->gone.load()) {
      // A reset that never completes: pending until it is cancelled or the device goes.
      --b->resets_to_hang;
      IoMarkIrpPending(irp);
      b->hung_resets.push_back(irp);
      IoSetCancelRoutine(irp, hung_reset_cancel);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        b->hung_resets.pop_back();
        l.unlock();
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      }
      return STATUS_PENDING;
    }
  }
  deliver_held(b, -1);
  {
    std::lock_guard<std::mutex> sel(b->select_mu);
    b->dev->reset_port();
    {
      std::lock_guard<std::mutex> l(b->mu);
      b->toggle.clear();
    }
    // The hub puts the device back as it was: same configuration and settings, same pipe handles.
    std::map<UCHAR, UCHAR> alt;
    UCHAR config;
    {
      std::lock_guard<std::mutex> l(b->mu);
      alt = b->alternate;
      config = b->configuration;
    }
    if (config) {
      b->dev->set_configuration(config);
      for (auto &kv : alt)
        if (kv.second) b->dev->set_interface(kv.first, kv.second);
    }
  }
  return finish_now(irp, nullptr, 0, STATUS_SUCCESS);
}

// A PnP or power request answered by the bus: at once, or (asynchronous mode) pending and completed
// from a bus thread, so that the drivers above see PendingReturned.
NTSTATUS complete_pnp_power(PIRP irp, NTSTATUS st) {
  if (g_async_pnp_power.load()) {
    IoMarkIrpPending(irp);
    queue_worker([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

// A request to a PDO whose device the bus has let go: the device is not connected.
NTSTATUS answer_gone(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS st = STATUS_NO_SUCH_DEVICE;
  if (s->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  if (s->MajorFunction == IRP_MJ_PNP || s->MajorFunction == IRP_MJ_SYSTEM_CONTROL) st = irp->IoStatus.Status;
  if (s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    st = STATUS_DEVICE_NOT_CONNECTED;
    auto *urb = static_cast<PURB>(s->Parameters.Others.Argument1);
    if (urb && s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
  }
  irp->IoStatus.Status = st;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return st;
}

NTSTATUS pdo_dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  device_use use(pdo);
  bus_device *b = use.get();
  if (!b) return answer_gone(irp);
  switch (s->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) return submit_urb(pdo, b, irp);
      if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_RESET_PORT) return reset_port(b, irp);
      if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        if (auto *status = static_cast<PULONG>(s->Parameters.Others.Argument1))
          *status = b->gone.load() ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return finish_now(irp, nullptr, 0, STATUS_SUCCESS);
      }
      return finish_now(irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MJ_PNP: {
      {
        std::lock_guard<std::mutex> l(b->mu);
        b->pnp_power_seen.push_back(IRP_MJ_PNP << 8 | s->MinorFunction);
      }
      NTSTATUS st = irp->IoStatus.Status;
      switch (s->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
          st = STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_CAPABILITIES:
          if (PDEVICE_CAPABILITIES c = s->Parameters.DeviceCapabilities.Capabilities) {
            c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int i = PowerSystemSleeping1; i < PowerSystemMaximum; ++i) c->DeviceState[i] = PowerDeviceD3;
            c->Removable = 1;
            c->DeviceD2 = 1;
            c->DeviceWake = PowerDeviceD2;
          }
          st = STATUS_SUCCESS;
          break;
        default:
          break;
      }
      irp->IoStatus.Status = st;
      return complete_pnp_power(irp, st);
    }
    case IRP_MJ_POWER:
      {
        std::lock_guard<std::mutex> l(b->mu);
        b->pnp_power_seen.push_back(IRP_MJ_POWER << 8 | s->MinorFunction);
      }
      PoStartNextPowerIrp(irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return complete_pnp_power(irp, STATUS_SUCCESS);
    default: {
      NTSTATUS st = s->MajorFunction == IRP_MJ_SYSTEM_CONTROL ? irp->IoStatus.Status : STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Status = st;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return st;
    }
  }
}

PDRIVER_OBJECT hub_driver() {
  static PDRIVER_OBJECT d = [] {
    PDRIVER_OBJECT o = create_driver_object(to_u16("\\Driver\\usbhub"));
    for (auto &f : o->MajorFunction) f = pdo_dispatch;
    return o;
  }();
  return d;
}

void device_left(bus_device *b) {
  if (b->gone.exchange(true)) return;
  deliver_held(b, -1);
  release_requests(b);
  end_hung_resets(b);
  pnp_device_gone(b->pdo);
}

// A plugged device by instance id, kept while the caller uses it (none once its removal has begun).
class found_device {
 public:
  explicit found_device(const std::string &instance) {
    auto &bs = bus();
    std::lock_guard<std::mutex> l(bs.mu);
    auto it = bs.devices.find(upper8(instance));
    if (it != bs.devices.end()) use_.emplace(link_of(it->second->pdo));
  }
  bus_device *get() const { return use_ ? use_->get() : nullptr; }

 private:
  std::optional<device_use> use_;
};

// Once the PDO is deleted: the bus device goes when nothing reaches it any more, the extension stays with
// the PDO's memory to answer late requests. Its transfers and hung port resets have all ended (the removal
// ended them, their completions and cancel routines may still be finishing), the calls inside it return.
void let_go(bus_device *b) {
  auto quiet = [b] {
    std::lock_guard<std::mutex> l(b->mu);
    return b->transfers.empty() && b->hung_resets.empty();
  };
  while (!quiet()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  pdo_link *link = link_of(b->pdo);
  link->device = nullptr;
  while (link->users.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  delete b;
}

std::string descriptor_text(const std::vector<uint8_t> &d) {
  std::string s;
  for (size_t i = 2; i + 1 < d.size(); i += 2) {
    uint16_t c = (uint16_t)(d[i] | d[i + 1] << 8);
    s.push_back(c < 0x80 ? (char)c : '_');
  }
  return s;
}

}  // namespace
}  // namespace wbk

using namespace wbk;

namespace standin::usbbus {

std::string plug(std::shared_ptr<simdev::usb_device> dev) {
  std::vector<uint8_t> dd = dev->device_descriptor();
  if (dd.size() < 18) return "";
  auto word = [&](int i) { return (unsigned)(dd[i] | dd[i + 1] << 8); };
  unsigned vid = word(8), pid = word(10), rev = word(12);
  std::string serial;
  if (dd[16]) serial = descriptor_text(dev->string_descriptor(dd[16]));
  char base[64];
  snprintf(base, sizeof base, "USB\\VID_%04X&PID_%04X", vid, pid);
  char with_rev[80];
  snprintf(with_rev, sizeof with_rev, "%s&REV_%04X", base, rev);
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(hub_driver(), sizeof(pdo_link), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return "";
  auto *b = new bus_device;
  b->dev = dev;
  b->pdo = pdo;
  // Trivially destructible: the extension's memory goes with the PDO's.
  new (pdo->DeviceExtension) pdo_link;
  link_of(pdo)->device = b;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  {
    auto &bs = bus();
    std::lock_guard<std::mutex> l(bs.mu);
    if (serial.empty()) serial = std::to_string(++bs.serial);
    std::string inst = std::string(base) + "\\" + serial;
    while (bs.devices.count(upper8(inst))) inst = std::string(base) + "\\" + serial + "_" + std::to_string(++bs.serial);
    b->instance = inst;
    bs.devices[upper8(inst)] = b;
  }
  pdo_identity id;
  id.instance_id = b->instance;
  id.hardware_ids = {with_rev, base};
  set_pdo_identity(pdo, id);
  dev->set_removal_handler([b] { device_left(b); });
  pnp_device_arrived(pdo, [b, pdo] {
    {
      auto &bs = bus();
      std::lock_guard<std::mutex> l(bs.mu);
      bs.devices.erase(upper8(b->instance));
    }
    b->dev->set_removal_handler(nullptr);  // a handler running now has returned
    if (!b->gone.exchange(true)) b->dev->remove();
    deliver_held(b, -1);
    release_requests(b);
    end_hung_resets(b);
    IoDeleteDevice(pdo);
    let_go(b);
  });
  return b->instance;
}

void unplug(const std::string &instance) {
  found_device found(instance);
  bus_device *b = found.get();
  if (!b) return;
  b->dev->remove();
  device_left(b);
}

void set_asynchronous_completion(bool on) { g_async_completion = on; }

void set_asynchronous_pnp_power(bool on) { g_async_pnp_power = on; }

void ignore_aborts(const std::string &instance, unsigned count) {
  found_device found(instance);
  if (bus_device *b = found.get()) {
    std::lock_guard<std::mutex> l(b->mu);
    b->aborts_to_ignore = count;
  }
}

void hold_completion_until_abort(const std::string &instance, uint8_t endpoint, unsigned skip) {
  found_device found(instance);
  if (bus_device *b = found.get()) {
    std::lock_guard<std::mutex> l(b->mu);
    b->hold_endpoint = endpoint;
    b->hold_skip = skip;
  }
}

size_t held_completions(const std::string &instance) {
  found_device found(instance);
  bus_device *b = found.get();
  if (!b) return 0;
  std::lock_guard<std::mutex> l(b->mu);
  return b->held.size();
}

void hold_next_vendor_request(const std::string &instance) {
  found_device found(instance);
  if (bus_device *b = found.get()) {
    std::lock_guard<std::mutex> l(b->mu);
    b->hold_vendor = true;
  }
}

size_t held_vendor_requests(const std::string &instance) {
  found_device found(instance);
  bus_device *b = found.get();
  if (!b) return 0;
  std::lock_guard<std::mutex> l(b->mu);
  return b->held_requests.size();
}

void release_vendor_requests(const std::string &instance) {
  found_device found(instance);
  if (bus_device *b = found.get()) release_requests(b);
}

void hang_port_resets(const std::string &instance, unsigned count) {
  found_device found(instance);
  if (bus_device *b = found.get()) {
    std::lock_guard<std::mutex> l(b->mu);
    b->resets_to_hang = count;
  }
}

void set_default_max_transfer_size(uint32_t bytes) { g_default_max_transfer = bytes; }

std::vector<std::string> devices() {
  auto &bs = bus();
  std::lock_guard<std::mutex> l(bs.mu);
  std::vector<std::string> out;
  for (auto &kv : bs.devices) out.push_back(kv.second->instance);
  return out;
}

std::vector<unsigned> pnp_power_requests_seen(const std::string &instance) {
  auto &bs = bus();
  std::lock_guard<std::mutex> l(bs.mu);
  auto it = bs.devices.find(upper8(instance));
  if (it == bs.devices.end()) return {};
  std::lock_guard<std::mutex> l2(it->second->mu);
  return it->second->pnp_power_seen;
}

void *physical_device_object(const std::string &instance) {
  auto &bs = bus();
  std::lock_guard<std::mutex> l(bs.mu);
  auto it = bs.devices.find(upper8(instance));
  return it == bs.devices.end() ? nullptr : it->second->pdo;
}

}  // namespace standin::usbbus
