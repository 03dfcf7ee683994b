// The outside acquisition driver's interface class and device-control codes (buffered, any access).
// Plain constants without dependencies, shared by the tray program and the simulated driver.
#ifndef KEELMON_CORE_ACQUISITION_CODES_H
#define KEELMON_CORE_ACQUISITION_CODES_H

#define LUME_CTL_CODE(function) ((0xBABAu << 16) | ((function) << 2))

// On the tray program's paths.
#define IOCTL_GET_CHANNEL_COUNTS LUME_CTL_CODE(0x950u)            // 0xBABA2540
#define IOCTL_GET_INFO_8 LUME_CTL_CODE(0x980u)                    // 0xBABA2600
#define IOCTL_GET_INPUT_RANGE_STEPS LUME_CTL_CODE(0x960u)         // 0xBABA2580
#define IOCTL_GET_OUTPUT_ATTENUATION_STEPS LUME_CTL_CODE(0x961u)  // 0xBABA2584
#define IOCTL_GET_INPUT_LIST_32 LUME_CTL_CODE(0x962u)             // 0xBABA2588
#define IOCTL_GET_LIST_16 LUME_CTL_CODE(0x963u)                   // 0xBABA258C
#define IOCTL_GET_LIST2_A LUME_CTL_CODE(0xA44u)                   // 0xBABA2910
#define IOCTL_GET_LIST2_B LUME_CTL_CODE(0xA45u)                   // 0xBABA2914
#define IOCTL_GET_LIST2_C LUME_CTL_CODE(0xA46u)                   // 0xBABA2918
#define IOCTL_GET_OUTPUT_LIST_32 LUME_CTL_CODE(0x970u)            // 0xBABA25C0
#define IOCTL_SET_OUTPUT_ATTENUATION LUME_CTL_CODE(0x9E1u)        // 0xBABA2784

// Inputs of a two-phase list request: the count, then the items; 0x300 asks for the range of 0x2918.
#define LUME_LIST_COUNT 0x100u
#define LUME_LIST_ITEMS 0x200u
#define LUME_LIST_RANGE 0x300u

// {FF646F80-8DEF-11D2-9449-00105A075F6B}
#define LUME_INTERFACE_GUID_INIT                                                   \
  {                                                                                \
    0xFF646F80, 0x8DEF, 0x11D2, { 0x94, 0x49, 0x00, 0x10, 0x5A, 0x07, 0x5F, 0x6B } \
  }

#endif
