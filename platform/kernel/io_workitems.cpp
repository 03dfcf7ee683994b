// I/O manager: work items.
#include "io_internal.h"

#include <new>

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  std::atomic<bool> queued{false};
};

using namespace wbk;

// ---- work items ----
extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
  auto *w = new (std::nothrow) _IO_WORKITEM;
  if (!w) return nullptr;
  w->device = device;
  reference_device(device);
  return w;
}

extern "C" void IoFreeWorkItem(PIO_WORKITEM item) {
  if (item->queued.load()) {
    violation("IoFreeWorkItem on a queued work item");
    return;
  }
  dereference_device(item->device);
  delete item;
}

extern "C" void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) violation("IoQueueWorkItem at IRQL %d", KeGetCurrentIrql());
  if (item->queued.exchange(true)) {
    violation("IoQueueWorkItem on a work item that is already queued");
    return;
  }
  PDEVICE_OBJECT dev = item->device;
  reference_device(dev);
  queue_worker([item, routine, context, dev] {
    item->queued = false;
    {
      callout_guard g("work item routine");
      routine(dev, context);
    }
    dereference_device(dev);
  });
}
