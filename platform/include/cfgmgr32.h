/* Configuration manager: the status of a device node. */
#ifndef WB_CFGMGR32_H
#define WB_CFGMGR32_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVINST, *PDEVINST;
typedef DWORD DEVNODE, *PDEVNODE;

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE

#define DN_DRIVER_LOADED 0x00000002
#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400

/* WAIT_OBJECT_0 once no installation is pending, WAIT_TIMEOUT when one still is after the time-out. */
DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout);
CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags);

#ifdef __cplusplus
}
#endif

#endif /* WB_CFGMGR32_H */
