// I/O manager: the control interface for tests and tools (shutdown notification).
#include "io_internal.h"

#include <standin/kernel.h>

using namespace wbk;

// ---- control interface ----
namespace standin::kernel {
void send_shutdown_notifications() {
  std::vector<PDEVICE_OBJECT> list;
  {
    std::lock_guard<std::mutex> l(g_ns);
    list = g_shutdown;
    for (auto *d : list) reference_device(d);
  }
  for (auto *d : list) {
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
    if (irp) {
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SHUTDOWN;
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->UserIosb = &iosb;
      irp->UserEvent = &ev;
      set_irp_finalizer(irp, [](PIRP done) {
        *done->UserIosb = done->IoStatus;
        PKEVENT e = done->UserEvent;
        free_irp_internal(done);
        KeSetEvent(e, 0, FALSE);
      });
      if (IoCallDriver(d, irp) == STATUS_PENDING) KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    }
    dereference_device(d);
  }
}
}  // namespace standin::kernel
