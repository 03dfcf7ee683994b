/* Device-control code layout. */
#ifndef WB_WINIOCTL_H
#define WB_WINIOCTL_H

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#ifndef CTL_CODE
#define CTL_CODE(type, function, method, access) (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#endif
#define DEVICE_TYPE_FROM_CTL_CODE(c) (((DWORD)(c)&0xffff0000) >> 16)
#ifndef METHOD_FROM_CTL_CODE
#define METHOD_FROM_CTL_CODE(c) ((DWORD)((c)&3))
#endif

#endif /* WB_WINIOCTL_H */
