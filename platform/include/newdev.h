/* The Plug and Play installer's driver update for devices that carry a hardware id. */
#ifndef WB_NEWDEV_H
#define WB_NEWDEV_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);

#ifdef __cplusplus
}
#endif

#endif /* WB_NEWDEV_H */
