// The simulated outside acquisition driver: answers the device-control requests of the acquisition
// device from a per-device configuration that tests set (simdev/acquisition.h), at once or pended and
// completed from a DPC, and registers the device's interface while it is started.
#include <wdm.h>

#include <simdev/acquisition.h>

#include "core/acquisition_codes.h"

namespace {

const GUID kInterface = LUME_INTERFACE_GUID_INIT;
constexpr int kUnits = 32;

struct unit {
    bool used;
    acqsim_config config;
    acqsim_set_record last;
    uint32_t requests;
    LIST_ENTRY held;  // answered requests kept pending while the configuration says so
};

KSPIN_LOCK g_lock;
bool g_lock_ready = false;
unit g_units[kUnits];
acqsim_config g_next;
bool g_have_next = false;

struct ext {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    UNICODE_STRING iface;
    KSPIN_LOCK lock;
    LIST_ENTRY pended;
    KDPC dpc;
    volatile LONG removed;
    int unit;
};

ext *X(PDEVICE_OBJECT d) { return static_cast<ext *>(d->DeviceExtension); }

void ensure_lock() {
    if (!g_lock_ready) {
        KeInitializeSpinLock(&g_lock);
        g_lock_ready = true;
    }
}

NTSTATUS finish(PIRP irp, NTSTATUS st, ULONG_PTR info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

const acqsim_list *list_of(acqsim_config &c, ULONG code, ULONG *item_size) {
    *item_size = 4;
    switch (code) {
    case IOCTL_GET_INPUT_RANGE_STEPS: *item_size = 2; return &c.input_range;
    case IOCTL_GET_OUTPUT_ATTENUATION_STEPS: *item_size = 2; return &c.attenuation;
    case IOCTL_GET_INPUT_LIST_32: return &c.input_list_32;
    case IOCTL_GET_LIST_16: *item_size = 2; return &c.list_16;
    case IOCTL_GET_LIST2_A: return &c.list2_a;
    case IOCTL_GET_LIST2_B: return &c.list2_b;
    case IOCTL_GET_LIST2_C: *item_size = 2; return &c.list2_c;
    case IOCTL_GET_OUTPUT_LIST_32: return &c.output_list_32;
    default: return nullptr;
    }
}

// Works out one request against a copy of the configuration; the result goes into IoStatus.
void answer(unit &u, acqsim_config &c, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    auto *buf = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS st = STATUS_SUCCESS;
    ULONG_PTR info = 0;
    ULONG item_size = 0;
    const acqsim_list *list = list_of(c, code, &item_size);
    if (code == c.fail_code) {
        st = STATUS_DEVICE_DATA_ERROR;
    } else if (code == IOCTL_GET_CHANNEL_COUNTS) {
        if (out < sizeof c.counts) {
            st = STATUS_BUFFER_TOO_SMALL;
        } else {
            memcpy(buf, c.counts, sizeof c.counts);
            info = sizeof c.counts;
        }
    } else if (code == IOCTL_GET_INFO_8) {
        ULONG n = c.info_size > 8 ? 8 : c.info_size;
        if (out < n) {
            st = STATUS_BUFFER_TOO_SMALL;
        } else {
            ULONG block[2] = {c.serial_number, c.device_version};
            memcpy(buf, block, n);
            info = n;
        }
    } else if (list) {
        ULONG phase = 0;
        if (in < 4) {
            st = STATUS_INVALID_PARAMETER;
        } else {
            memcpy(&phase, buf, 4);
        }
        ULONG count = list->count > ACQSIM_MAX_ITEMS ? ACQSIM_MAX_ITEMS : list->count;
        if (!NT_SUCCESS(st)) {
        } else if (phase == LUME_LIST_COUNT) {
            if (out < 4) {
                st = STATUS_BUFFER_TOO_SMALL;
            } else {
                ULONG reported = code == c.zero_count_code ? 0 : count;
                memcpy(buf, &reported, 4);
                info = 4;
            }
        } else if (phase == LUME_LIST_ITEMS) {
            ULONG need = count * item_size;
            if (out < need) {
                st = STATUS_BUFFER_TOO_SMALL;
            } else {
                for (ULONG i = 0; i < count; ++i) {
                    if (item_size == 2) {
                        SHORT v = (SHORT)list->items[i];
                        memcpy(buf + 2 * i, &v, 2);
                    } else {
                        ULONG v = (ULONG)list->items[i];
                        memcpy(buf + 4 * i, &v, 4);
                    }
                }
                info = code == c.short_items_code && need >= item_size ? need - item_size : need;
            }
        } else if (phase == LUME_LIST_RANGE && code == IOCTL_GET_LIST2_C && c.list2_c_range_size) {
            ULONG n = c.list2_c_range_size > 6 ? 6 : c.list2_c_range_size;
            if (out < n) {
                st = STATUS_BUFFER_TOO_SMALL;
            } else {
                memcpy(buf, c.list2_c_range, n);
                info = n;
            }
        } else {
            st = STATUS_INVALID_PARAMETER;
        }
    } else if (code == IOCTL_SET_OUTPUT_ATTENUATION) {
        ULONG n = c.counts[4];
        ULONG head[4] = {};
        if (in >= 16) memcpy(head, buf, 16);
        bool good = in >= 16 && in == 2 * n + 16 && head[0] == in && head[1] == 0 && in <= ACQSIM_MAX_RECORD;
        for (ULONG d = 0; good && d < n && d < 64; ++d) {
            bool selected = d < 32 ? (head[2] >> d) & 1 : (head[3] >> (d - 32)) & 1;
            USHORT index = 0;
            memcpy(&index, buf + 16 + 2 * d, 2);
            if (selected && index >= c.attenuation.count) good = false;
        }
        if (good && !(head[2] | head[3])) good = false;
        if (!good) {
            st = STATUS_INVALID_PARAMETER;
        } else {
            u.last.sets++;
            u.last.size = in;
            memcpy(u.last.bytes, buf, in);
        }
    } else {
        st = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = NT_SUCCESS(st) ? info : 0;
}

void dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
    ext *e = static_cast<ext *>(context);
    LIST_ENTRY done;
    InitializeListHead(&done);
    KeAcquireSpinLockAtDpcLevel(&e->lock);
    while (!IsListEmpty(&e->pended)) InsertTailList(&done, RemoveHeadList(&e->pended));
    KeReleaseSpinLockFromDpcLevel(&e->lock);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS on_ioctl(PDEVICE_OBJECT d, PIRP irp) {
    ext *e = X(d);
    if (e->removed) return finish(irp, STATUS_DEVICE_REMOVED, 0);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    unit &u = g_units[e->unit];
    u.requests++;
    acqsim_config c = u.config;
    answer(u, c, irp);
    KeReleaseSpinLock(&g_lock, irql);
    if (!c.pend) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return irp->IoStatus.Status;
    }
    IoMarkIrpPending(irp);
    if (c.pend == 2) {
        KeAcquireSpinLock(&g_lock, &irql);
        InsertTailList(&u.held, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_PENDING;
    }
    KeAcquireSpinLock(&e->lock, &irql);
    InsertTailList(&e->pended, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&e->lock, irql);
    KeInsertQueueDpc(&e->dpc, nullptr, nullptr);
    return STATUS_PENDING;
}

NTSTATUS on_create(PDEVICE_OBJECT d, PIRP irp) {
    ext *e = X(d);
    if (e->removed) return finish(irp, STATUS_DELETE_PENDING, 0);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    bool refuse = g_units[e->unit].config.refuse_open != 0;
    KeReleaseSpinLock(&g_lock, irql);
    return finish(irp, refuse ? STATUS_ACCESS_DENIED : STATUS_SUCCESS, 0);
}

NTSTATUS on_plain(PDEVICE_OBJECT, PIRP irp) { return finish(irp, STATUS_SUCCESS, 0); }

NTSTATUS start_done(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(ctx), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Moves the unit's held requests to `out` (g_lock held).
void take_held(unit &u, LIST_ENTRY *out) {
    while (!IsListEmpty(&u.held)) InsertTailList(out, RemoveHeadList(&u.held));
}

void complete_all(LIST_ENTRY *list) {
    while (!IsListEmpty(list)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(list), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void release_unit(ext *e) {
    LIST_ENTRY held;
    InitializeListHead(&held);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    g_units[e->unit].used = false;
    take_held(g_units[e->unit], &held);
    KeReleaseSpinLock(&g_lock, irql);
    complete_all(&held);
}

NTSTATUS on_pnp(PDEVICE_OBJECT d, PIRP irp) {
    ext *e = X(d);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, start_done, &ev, TRUE, TRUE, TRUE);
        if (IoCallDriver(e->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS st = irp->IoStatus.Status;
        if (NT_SUCCESS(st)) IoSetDeviceInterfaceState(&e->iface, TRUE);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        InterlockedExchange(&e->removed, 1);
        IoSetDeviceInterfaceState(&e->iface, FALSE);
        LIST_ENTRY held;
        InitializeListHead(&held);
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        take_held(g_units[e->unit], &held);
        KeReleaseSpinLock(&g_lock, irql);
        complete_all(&held);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        InterlockedExchange(&e->removed, 1);
        IoSetDeviceInterfaceState(&e->iface, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS st = IoCallDriver(e->lower, irp);
        KeFlushQueuedDpcs();
        RtlFreeUnicodeString(&e->iface);
        release_unit(e);
        IoDetachDevice(e->lower);
        IoDeleteDevice(d);
        return st;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(e->lower, irp);
}

NTSTATUS on_power(PDEVICE_OBJECT d, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(X(d)->lower, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    ensure_lock();
    int slot = -1;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (int i = 0; i < kUnits && slot < 0; ++i)
        if (!g_units[i].used) slot = i;
    if (slot >= 0) {
        memset(&g_units[slot], 0, sizeof g_units[slot]);
        InitializeListHead(&g_units[slot].held);
        g_units[slot].used = true;
        if (g_have_next) g_units[slot].config = g_next;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (slot < 0) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT d;
    NTSTATUS st =
        IoCreateDevice(driver, sizeof(ext), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &d);
    if (!NT_SUCCESS(st)) {
        KeAcquireSpinLock(&g_lock, &irql);
        g_units[slot].used = false;
        KeReleaseSpinLock(&g_lock, irql);
        return st;
    }
    ext *e = X(d);
    memset(e, 0, sizeof *e);
    e->self = d;
    e->pdo = pdo;
    e->unit = slot;
    KeInitializeSpinLock(&e->lock);
    InitializeListHead(&e->pended);
    KeInitializeDpc(&e->dpc, dpc_routine, e);
    st = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &e->iface);
    if (!NT_SUCCESS(st)) {
        release_unit(e);
        IoDeleteDevice(d);
        return st;
    }
    e->lower = IoAttachDeviceToDeviceStack(d, pdo);
    d->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) {}

unit *find_unit(uint32_t serial) {
    for (auto &u : g_units)
        if (u.used && u.config.serial_number == serial) return &u;
    return nullptr;
}

// Runs fn on the device with that serial number under the lock; 0 when there is none.
template <class F>
int with_unit(uint32_t serial, F fn) {
    ensure_lock();
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    unit *u = find_unit(serial);
    if (u) fn(*u);
    KeReleaseSpinLock(&g_lock, irql);
    return u ? 1 : 0;
}

}  // namespace

extern "C" DRIVER_INITIALIZE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ensure_lock();
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = on_plain;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_plain;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = on_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = on_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}

extern "C" __attribute__((visibility("default"))) void acqsim_set_next(const acqsim_config *config) {
    ensure_lock();
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    g_have_next = config != nullptr;
    if (config) g_next = *config;
    KeReleaseSpinLock(&g_lock, irql);
}

extern "C" __attribute__((visibility("default"))) int acqsim_update(uint32_t serial, const acqsim_config *config) {
    LIST_ENTRY released;
    InitializeListHead(&released);
    int found = with_unit(serial, [&](unit &u) {
        if (config) u.config = *config;
        if (u.config.pend != 2) take_held(u, &released);
    });
    complete_all(&released);
    return found;
}

extern "C" __attribute__((visibility("default"))) int acqsim_last_set(uint32_t serial, acqsim_set_record *out) {
    return with_unit(serial, [&](unit &u) {
        if (out) *out = u.last;
    });
}

extern "C" __attribute__((visibility("default"))) int acqsim_requests(uint32_t serial, uint32_t *count) {
    return with_unit(serial, [&](unit &u) {
        if (count) *count = u.requests;
    });
}
