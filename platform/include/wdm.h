/* Kernel-mode declarations of the Linux stand-in: objects, IRPs, IRQL, dispatcher objects, pool, registry,
   counted strings and the PnP/power calls a WDM function driver makes.

   Wide characters: kernel-mode code is compiled with -fshort-wchar (the `wdk` target adds it), so WCHAR and
   L"..." literals are 16-bit UTF-16 exactly as on Windows. Structures shared with normal user-mode translation
   units never carry wchar_t. */
#ifndef WB_WDM_H
#define WB_WDM_H

#include "wbase.h"
#include "ntstatus.h"
#include <string.h>

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ != 2
#error "kernel-mode code must be compiled with -fshort-wchar (link the wdk target)"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define DDKAPI
#define _IRQL_requires_max_(x)
#define _Use_decl_annotations_
#define DRIVER_INITIALIZE_EXPORT __attribute__((visibility("default")))

typedef short CSHORT;
typedef char CCHAR;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef const WCHAR *PCWCH;
typedef ULONG LOGICAL;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

struct _KTHREAD;
struct _EPROCESS;
typedef struct _KTHREAD *PKTHREAD, *PETHREAD, *PRKTHREAD;
typedef struct _EPROCESS *PEPROCESS;

/* ---- lists ---- */
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

static inline void InitializeListHead(PLIST_ENTRY h) { h->Flink = h->Blink = h; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY *h) { return (BOOLEAN)(h->Flink == h); }
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY e) {
  PLIST_ENTRY f = e->Flink, b = e->Blink;
  b->Flink = f;
  f->Blink = b;
  return (BOOLEAN)(f == b);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h) {
  PLIST_ENTRY e = h->Flink;
  RemoveEntryList(e);
  return e;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY h) {
  PLIST_ENTRY e = h->Blink;
  RemoveEntryList(e);
  return e;
}
static inline void InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY b = h->Blink;
  e->Flink = h;
  e->Blink = b;
  b->Flink = e;
  h->Blink = e;
}
static inline void InsertHeadList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY f = h->Flink;
  e->Flink = f;
  e->Blink = h;
  f->Blink = e;
  h->Flink = e;
}

/* ---- interlocked operations (compiler atomics, full barriers) ---- */
static inline LONG InterlockedIncrement(LONG volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedDecrement(LONG volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedExchange(LONG volatile *p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedExchangeAdd(LONG volatile *p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedOr(LONG volatile *p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedAnd(LONG volatile *p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedCompareExchange(LONG volatile *p, LONG v, LONG cmp) {
  __atomic_compare_exchange_n(p, &cmp, v, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile *p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile *p, PVOID v, PVOID cmp) {
  __atomic_compare_exchange_n(p, &cmp, v, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;
}

/* ---- counted strings ---- */
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const ANSI_STRING *PCANSI_STRING;

#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s)}

NTSYSAPI void RtlInitUnicodeString(PUNICODE_STRING dst, PCWSTR src);
NTSYSAPI void RtlInitAnsiString(PANSI_STRING dst, PCSZ src);
NTSYSAPI void RtlCopyUnicodeString(PUNICODE_STRING dst, PCUNICODE_STRING src);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dst, PCWSTR src);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dst, PCUNICODE_STRING src);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN case_insensitive);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING dst);
NTSYSAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING dst, PCANSI_STRING src, BOOLEAN allocate);
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dst, PCUNICODE_STRING src, BOOLEAN allocate);
NTSYSAPI void RtlFreeUnicodeString(PUNICODE_STRING s);
NTSYSAPI void RtlFreeAnsiString(PANSI_STRING s);
NTSYSAPI NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING dst);
NTSYSAPI SIZE_T RtlCompareMemory(const void *a, const void *b, SIZE_T n);

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, c) memset((d), (c), (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

/* ---- debugging ---- */
NTSYSAPI ULONG DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));
NTSYSAPI void DbgBreakPoint(void);
#define KdPrint(args) DbgPrint args
#define KdBreakPoint() DbgBreakPoint()
#if DBG
#define ASSERT(e) ((e) ? (void)0 : WbKernelAssertFailed(#e, __FILE__, __LINE__))
#else
#define ASSERT(e) ((void)0)
#endif
NTSYSAPI void WbKernelAssertFailed(PCSTR expr, PCSTR file, ULONG line);

/* ---- pool ---- */
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512
} POOL_TYPE;

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);
NTKERNELAPI void ExFreePool(PVOID p);
NTKERNELAPI void ExFreePoolWithTag(PVOID p, ULONG tag);
NTKERNELAPI DECLSPEC_NORETURN void ExRaiseStatus(NTSTATUS status);

/* ---- IRQL and spin locks ---- */
NTHALAPI KIRQL KeGetCurrentIrql(void);
NTHALAPI KIRQL KfRaiseIrql(KIRQL new_irql);
NTHALAPI void KeLowerIrql(KIRQL new_irql);
NTHALAPI KIRQL KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))

NTKERNELAPI void KeInitializeSpinLock(PKSPIN_LOCK lock);
NTKERNELAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock);
NTKERNELAPI void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL new_irql);
NTKERNELAPI void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
NTKERNELAPI void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
#define KeAcquireSpinLock(l, o) (*(o) = KfAcquireSpinLock(l))

/* ---- dispatcher objects ---- */
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type; /* 0 notification event, 1 synchronization event, 2 mutex */
  UCHAR Reserved[3];
  volatile LONG SignalState;
  PVOID Owner; /* mutex: owning thread token */
  LONG Recursion;
  ULONG Magic;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  ULONG Level;
} KMUTEX, *PKMUTEX, *PRKMUTEX, KMUTANT;

NTKERNELAPI void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
NTKERNELAPI LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
NTKERNELAPI LONG KeResetEvent(PRKEVENT event);
NTKERNELAPI void KeClearEvent(PRKEVENT event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT event);
NTKERNELAPI void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
NTKERNELAPI LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
NTKERNELAPI LONG KeReadStateMutex(PRKMUTEX mutex);
/* Timeout: negative = relative in 100 ns units, 0 = poll, NULL = forever. Returns STATUS_SUCCESS or STATUS_TIMEOUT. */
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                           PLARGE_INTEGER timeout);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
NTKERNELAPI PKTHREAD KeGetCurrentThread(void);
NTKERNELAPI void KeStallExecutionProcessor(ULONG microseconds);
NTKERNELAPI void KeQuerySystemTime(PLARGE_INTEGER time);
NTKERNELAPI void KeQueryTickCount(PLARGE_INTEGER ticks);
NTKERNELAPI ULONG KeQueryTimeIncrement(void);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())

/* ---- DPCs ---- */
struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC *dpc, PVOID context, PVOID arg1, PVOID arg2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;
typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData; /* non-null while queued */
} KDPC, *PKDPC, *PRKDPC;

NTKERNELAPI void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
NTKERNELAPI void KeFlushQueuedDpcs(void);

/* ---- I/O status, MDLs ---- */
typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
  struct _MDL *Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PEPROCESS Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800

typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

#define MmGetMdlVirtualAddress(m) ((PVOID)((PCHAR)(m)->StartVa + (m)->ByteOffset))
#define MmGetMdlByteCount(m) ((m)->ByteCount)
#define MmGetMdlByteOffset(m) ((m)->ByteOffset)
NTKERNELAPI PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);
NTKERNELAPI void MmBuildMdlForNonPagedPool(PMDL mdl);
NTKERNELAPI void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION op);
NTKERNELAPI void MmUnlockPages(PMDL mdl);

/* ---- objects ---- */
struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IO_STACK_LOCATION;

typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT *device, struct _IRP *irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef void DRIVER_UNLOAD(struct _DRIVER_OBJECT *driver);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT *driver, struct _DEVICE_OBJECT *pdo);
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT *driver, PUNICODE_STRING registry_path);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef void DRIVER_STARTIO(struct _DEVICE_OBJECT *device, struct _IRP *irp);
typedef DRIVER_STARTIO *PDRIVER_STARTIO;
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT *device, struct _IRP *irp, PVOID context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;
typedef void DRIVER_CANCEL(struct _DEVICE_OBJECT *device, struct _IRP *irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH_PAGED;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_QUERY_LEGACY_BUS_INFORMATION 0x18

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_REMOVABLE_MEDIA 0x00000001

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
#ifndef METHOD_FROM_CTL_CODE
#define METHOD_FROM_CTL_CODE(c) ((ULONG)((c) & 3))
#endif

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2
#define IO_KEYBOARD_INCREMENT 6
#define IO_SOUND_INCREMENT 8

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT *DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT *DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT *DriverObject;
  struct _DEVICE_OBJECT *NextDevice;
  struct _DEVICE_OBJECT *AttachedDevice;
  struct _IRP *CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
  KDPC Dpc;
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  struct _DEVOBJ_EXTENSION *DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT *RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
} FILE_OBJECT, *PFILE_OBJECT;

/* ---- power ---- */
typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject
} POWER_ACTION, *PPOWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved1 : 1;
  ULONG Reserved : 13;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020
typedef ULONG PNP_DEVICE_STATE, *PPNP_DEVICE_STATE;

/* ---- stack locations and IRPs ---- */
/* Members so marked start on a pointer boundary, as on the real platform: on x86-64 Parameters.Others.Argument2
   overlaps InputBufferLength and Argument3 IoControlCode, not the other way round. */
#define POINTER_ALIGNMENT __attribute__((aligned(sizeof(void *))))

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG POINTER_ALIGNMENT Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG POINTER_ALIGNMENT InputBufferLength;
      ULONG POINTER_ALIGNMENT IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE POINTER_ALIGNMENT Type;
      POWER_STATE POINTER_ALIGNMENT State;
      POWER_ACTION POINTER_ALIGNMENT ShutdownType;
    } Power;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      PVOID PowerSequence;
    } PowerSequence;
    struct {
      PVOID AllocatedResources;
      PVOID AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP *MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  volatile PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      struct _IO_STACK_LOCATION *CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
} IRP, *PIRP;

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
static inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
static inline void IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
static inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp), next = IoGetNextIrpStackLocation(irp);
  memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
static inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN on_success,
                                          BOOLEAN on_error, BOOLEAN on_cancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (on_success) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (on_error) next->Control |= SL_INVOKE_ON_ERROR;
  if (on_cancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
#define IoSizeOfIrp(stack) ((USHORT)(sizeof(IRP) + (stack) * sizeof(IO_STACK_LOCATION)))

NTKERNELAPI PIRP IoAllocateIrp(CCHAR stack_size, BOOLEAN charge_quota);
NTKERNELAPI void IoFreeIrp(PIRP irp);
NTKERNELAPI void IoReuseIrp(PIRP irp, NTSTATUS status);
NTKERNELAPI void IoInitializeIrp(PIRP irp, USHORT packet_size, CCHAR stack_size);
NTKERNELAPI NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
NTKERNELAPI void IofCompleteRequest(PIRP irp, CCHAR boost);
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))
NTKERNELAPI void IoMarkIrpPending(PIRP irp);
NTKERNELAPI BOOLEAN IoCancelIrp(PIRP irp);
NTKERNELAPI PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);
NTKERNELAPI void IoAcquireCancelSpinLock(PKIRQL irql);
NTKERNELAPI void IoReleaseCancelSpinLock(KIRQL irql);
NTKERNELAPI PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG input_length,
                                               PVOID output, ULONG output_length, BOOLEAN internal, PKEVENT event,
                                               PIO_STATUS_BLOCK iosb);
NTKERNELAPI PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN charge_quota, PIRP irp);
NTKERNELAPI void IoFreeMdl(PMDL mdl);
NTKERNELAPI void IoBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length);

NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name, ULONG type,
                                    ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device);
NTKERNELAPI void IoDeleteDevice(PDEVICE_OBJECT device);
NTKERNELAPI NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
NTKERNELAPI NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
NTKERNELAPI void IoDetachDevice(PDEVICE_OBJECT target);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device);
NTKERNELAPI void ObDereferenceObject(PVOID object);
NTKERNELAPI void ObReferenceObject(PVOID object);
NTKERNELAPI NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID *guid, PUNICODE_STRING reference,
                                               PUNICODE_STRING link);
NTKERNELAPI NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable);
NTKERNELAPI NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT device);
NTKERNELAPI void IoUnregisterShutdownNotification(PDEVICE_OBJECT device);
NTKERNELAPI void IoInvalidateDeviceRelations(PDEVICE_OBJECT pdo, int type);

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4
NTKERNELAPI NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG which, ACCESS_MASK access, PHANDLE key);

typedef enum _DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
  DevicePropertyDriverKeyName = 9,
  DevicePropertyPhysicalDeviceObjectName = 14
} DEVICE_REGISTRY_PROPERTY;
NTKERNELAPI NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                         PVOID buffer, PULONG result_length);

/* ---- work items ---- */
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef void IO_WORKITEM_ROUTINE(PDEVICE_OBJECT device, PVOID context);
typedef IO_WORKITEM_ROUTINE *PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue } WORK_QUEUE_TYPE;
NTKERNELAPI PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
NTKERNELAPI void IoFreeWorkItem(PIO_WORKITEM item);
NTKERNELAPI void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context);

/* ---- power manager ---- */
typedef void REQUEST_POWER_COMPLETE(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                    PIO_STATUS_BLOCK iosb);
typedef REQUEST_POWER_COMPLETE *PREQUEST_POWER_COMPLETE;
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp);
NTKERNELAPI void PoStartNextPowerIrp(PIRP irp);
NTKERNELAPI POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP *irp);

/* ---- registry ---- */
#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

#ifndef KEY_QUERY_VALUE
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL 0x001F0000
#endif
#ifndef REG_NONE
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#endif
#ifndef REG_OPTION_NON_VOLATILE
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#endif

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation,
  KeyValueFullInformation,
  KeyValuePartialInformation
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSYSAPI NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG title_index,
                              PUNICODE_STRING class_name, ULONG options, PULONG disposition);
NTSYSAPI NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSYSAPI NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS klass, PVOID info,
                                  ULONG length, PULONG result_length);
NTSYSAPI NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG title_index, ULONG type, PVOID data,
                                ULONG size);
NTSYSAPI NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING name);
NTSYSAPI NTSTATUS ZwClose(HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* WB_WDM_H */
