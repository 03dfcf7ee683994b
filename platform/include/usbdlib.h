/* The USB driver library: configuration parsing and request builders. */
#ifndef WB_USBDLIB_H
#define WB_USBDLIB_H

#include "wdm.h"
#include "usbdi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

/* -1 for any of the numeric arguments matches every value. */
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config, PVOID start,
                                                              LONG interface_number, LONG alternate_setting,
                                                              LONG interface_class, LONG interface_subclass,
                                                              LONG interface_protocol);
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID buffer, ULONG length, PVOID start, LONG type);
/* Allocates (pool) a select-configuration URB for the listed interfaces; fills each entry's Interface pointer.
   The caller frees it with ExFreePool. */
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY list);

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipe, buffer, mdl, buffer_length, flags, link)          \
  do {                                                                                                           \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                         \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                                 \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipe);                                                       \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (buffer_length);                                    \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (mdl);                                                 \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (buffer);                                                 \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (flags);                                                   \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                          \
  } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, type, index, language, buffer, mdl, buffer_length, link)          \
  do {                                                                                                           \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                         \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                                 \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (buffer_length);                                   \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (mdl);                                                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (buffer);                                                \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (type);                                                  \
    (urb)->UrbControlDescriptorRequest.Index = (index);                                                          \
    (urb)->UrbControlDescriptorRequest.LanguageId = (language);                                                  \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                         \
  } while (0)

#define UsbBuildVendorRequest(urb, function, length, flags, reserved_bits, request, value, index, buffer, mdl,       \
                              buffer_length, link)                                                               \
  do {                                                                                                           \
    (urb)->UrbHeader.Function = (function);                                                                      \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                                 \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (buffer_length);                                  \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (mdl);                                               \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (buffer);                                               \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reserved_bits);                               \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                                     \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                                         \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                                         \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (flags);                                                 \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                        \
  } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, config)                                                 \
  do {                                                                                                           \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                               \
    (urb)->UrbHeader.Length = (USHORT)(length);                                                                 \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (config);                                            \
  } while (0)

#ifdef __cplusplus
}
#endif

#endif /* WB_USBDLIB_H */
