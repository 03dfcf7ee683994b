// Device-control codes of the test driver (tests only). Shared by the driver and the user-mode tests.
#ifndef WB_TESTDRV_H
#define WB_TESTDRV_H

#define TD_CTL(fn, method) ((0x22u << 16) | ((fn) << 2) | (method))

// Output = input (as much as fits); Information = bytes copied.
#define IOCTL_TD_ECHO TD_CTL(0x800, 0)
// Input {status, count}: pended, then completed from a DPC with that status and `count` bytes of 0x5A.
#define IOCTL_TD_COMPLETE_DPC TD_CTL(0x801, 0)
// Parked until released, cancelled, cleaned up or the device goes away.
#define IOCTL_TD_PARK TD_CTL(0x802, 0)
// Input {status}: completes every parked request with it (output filled with 0xAB). Output: count released.
#define IOCTL_TD_RELEASE TD_CTL(0x803, 0)
// Input {refuse}: later opens fail with STATUS_ACCESS_DENIED while set.
#define IOCTL_TD_REFUSE_OPENS TD_CTL(0x804, 0)
// Output: td_stats.
#define IOCTL_TD_STATS TD_CTL(0x805, 0)
// Direct output buffer filled with 0..n-1.
#define IOCTL_TD_DIRECT_OUT TD_CTL(0x806, 2)
// Completed with STATUS_DEVICE_DATA_ERROR, Information 0.
#define IOCTL_TD_FAIL TD_CTL(0x807, 0)

// On a USB device: the 18-byte device descriptor, read with a URB from the bus driver below.
#define IOCTL_TD_USB_DEVICE_DESCRIPTOR TD_CTL(0x808, 0)
// On a USB device: the vendor read of the instrument's 24 configuration words (72 bytes, IN).
#define IOCTL_TD_USB_VENDOR_READ TD_CTL(0x809, 0)
// Parked like IOCTL_TD_PARK, but the dispatch routine returns STATUS_SUCCESS (a rule break).
#define IOCTL_TD_PARK_NOT_PENDING TD_CTL(0x80A, 0)
// Input {ms}: IRP_MN_REMOVE_DEVICE keeps the device and its link that long before deleting them.
#define IOCTL_TD_HOLD_REMOVE TD_CTL(0x80B, 0)

struct td_stats {
  unsigned opens;
  unsigned cleanups;
  unsigned closes;
  unsigned parked;
  unsigned cancelled;
  unsigned surprise_removed;
  unsigned power_irps;        // IRP_MJ_POWER requests seen
  unsigned last_power_minor;
  unsigned last_power_type;   // 0 system, 1 device
  unsigned last_power_state;
};

// {6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}
#define TD_INTERFACE_GUID_INIT {0x6F1B2C3D, 0x4E5F, 0x4A6B, {0x8C, 0x7D, 0x9E, 0x0F, 0x1A, 0x2B, 0x3C, 0x4D}}

#endif
