// I/O manager: MDLs and the buffers of I/O-manager IRPs.
#include "io_internal.h"

#include <cstring>

using namespace wbk;

// ---- buffers of I/O-manager IRPs ----
extern "C" PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp) {
  auto *m = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), tag4("Mdl ")));
  if (!m) return nullptr;
  memset(m, 0, sizeof *m);
  m->Size = sizeof(MDL);
  m->StartVa = (PVOID)((ULONG_PTR)va & ~(ULONG_PTR)0xFFF);
  m->ByteOffset = (ULONG)((ULONG_PTR)va & 0xFFF);
  m->ByteCount = length;
  m->MappedSystemVa = va;
  if (irp) {
    if (!secondary) {
      irp->MdlAddress = m;
    } else {
      PMDL *pp = &irp->MdlAddress;
      while (*pp) pp = &(*pp)->Next;
      *pp = m;
    }
  }
  return m;
}

extern "C" void IoFreeMdl(PMDL mdl) { ExFreePool(mdl); }

extern "C" void IoBuildPartialMdl(PMDL, PMDL target, PVOID va, ULONG length) {
  target->StartVa = (PVOID)((ULONG_PTR)va & ~(ULONG_PTR)0xFFF);
  target->ByteOffset = (ULONG)((ULONG_PTR)va & 0xFFF);
  target->ByteCount = length;
  target->MappedSystemVa = va;
  target->MdlFlags |= MDL_PARTIAL;
}

extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) {
  if (!mdl) {
    violation("MmGetSystemAddressForMdlSafe(NULL)");
    return nullptr;
  }
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return static_cast<char *>(mdl->StartVa) + mdl->ByteOffset;
}

extern "C" void MmBuildMdlForNonPagedPool(PMDL mdl) { mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }
extern "C" void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE, LOCK_OPERATION) { mdl->MdlFlags |= MDL_PAGES_LOCKED; }
extern "C" void MmUnlockPages(PMDL mdl) { mdl->MdlFlags &= ~MDL_PAGES_LOCKED; }

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG in_length,
                                              PVOID output, ULONG out_length, BOOLEAN internal, PKEVENT event,
                                              PIO_STATUS_BLOCK iosb) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) violation("IoBuildDeviceIoControlRequest at IRQL %d", KeGetCurrentIrql());
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  s->Parameters.DeviceIoControl.IoControlCode = code;
  s->Parameters.DeviceIoControl.InputBufferLength = in_length;
  s->Parameters.DeviceIoControl.OutputBufferLength = out_length;
  ULONG method = METHOD_FROM_CTL_CODE(code);
  PVOID sysbuf = nullptr;
  if (method == METHOD_BUFFERED) {
    ULONG n = in_length > out_length ? in_length : out_length;
    if (n) {
      sysbuf = ExAllocatePoolWithTag(NonPagedPool, n, tag4("IoBf"));
      if (!sysbuf) {
        free_irp_internal(irp);
        return nullptr;
      }
      if (input && in_length) memcpy(sysbuf, input, in_length);
    }
    irp->AssociatedIrp.SystemBuffer = sysbuf;
  } else if (method == METHOD_NEITHER) {
    s->Parameters.DeviceIoControl.Type3InputBuffer = input;
    irp->UserBuffer = output;
  } else {
    irp->AssociatedIrp.SystemBuffer = input;
    if (output && out_length) IoAllocateMdl(output, out_length, FALSE, FALSE, irp);
  }
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  set_irp_finalizer(irp, [method, output, out_length, sysbuf](PIRP done) {
    if (method == METHOD_BUFFERED && sysbuf) {
      ULONG_PTR n = done->IoStatus.Information;
      if (!NT_ERROR(done->IoStatus.Status) && output && n) memcpy(output, sysbuf, n > out_length ? out_length : n);
      ExFreePool(sysbuf);
    }
    if (done->MdlAddress) IoFreeMdl(done->MdlAddress);
    if (done->UserIosb) *done->UserIosb = done->IoStatus;
    PKEVENT ev = done->UserEvent;
    free_irp_internal(done);
    if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
  });
  return irp;
}
