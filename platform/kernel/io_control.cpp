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
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
    if (irp) {
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SHUTDOWN;
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      send_irp_and_wait(d, irp, false);
    }
    dereference_device(d);
  }
}
}  // namespace standin::kernel
