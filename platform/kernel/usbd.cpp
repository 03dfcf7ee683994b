// The USB driver library: configuration-descriptor parsing and the select-configuration request builder.
#include <usbdlib.h>

#include <atomic>

#include "kinternal.h"

namespace wbk {
std::atomic<ULONG> g_default_max_transfer{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE};
}  // namespace wbk

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID buffer, ULONG length, PVOID start, LONG type) {
  auto *p = static_cast<UCHAR *>(start);
  auto *end = static_cast<UCHAR *>(buffer) + length;
  while (p + 2 <= end) {
    auto *d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (d->bLength < 2 || p + d->bLength > end) return nullptr;  // malformed: stop rather than run off
    if (d->bDescriptorType == type) return d;
    p += d->bLength;
  }
  return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                                         PVOID start, LONG number, LONG alternate,
                                                                         LONG klass, LONG subclass, LONG protocol) {
  if (!config) return nullptr;
  ULONG total = config->wTotalLength;
  auto *base = reinterpret_cast<UCHAR *>(config);
  auto *p = static_cast<UCHAR *>(start ? start : config);
  while (p >= base && p < base + total) {
    auto *d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
        USBD_ParseDescriptors(config, total, p, USB_INTERFACE_DESCRIPTOR_TYPE));
    if (!d) return nullptr;
    if ((number == -1 || d->bInterfaceNumber == number) && (alternate == -1 || d->bAlternateSetting == alternate) &&
        (klass == -1 || d->bInterfaceClass == klass) && (subclass == -1 || d->bInterfaceSubClass == subclass) &&
        (protocol == -1 || d->bInterfaceProtocol == protocol))
      return d;
    p = reinterpret_cast<UCHAR *>(d) + d->bLength;
  }
  return nullptr;
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                  PUSBD_INTERFACE_LIST_ENTRY list) {
  if (!config || !list) return nullptr;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t count = 0;
  for (auto *e = list; e->InterfaceDescriptor; ++e, ++count)
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  if (!count) return nullptr;
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, wbk::tag4("Usbd")));
  if (!urb) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
  auto *p = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
  for (auto *e = list; e->InterfaceDescriptor; ++e) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = wbk::g_default_max_transfer.load();
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    p += info->Length;
  }
  return urb;
}
