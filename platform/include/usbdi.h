/* The USB driver interface: URBs, pipe records and the internal device-control codes. */
#ifndef WB_USBDI_H
#define WB_USBDI_H
#include "usb.h"
#include "usbioctl.h"
#endif
