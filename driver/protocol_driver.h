// The driver object: entry (parameters, pool arenas), AddDevice (unit numbers), unload.
#ifndef VANTREL_PROTOCOL_DRIVER_H
#define VANTREL_PROTOCOL_DRIVER_H

#include "classlib/kdriver.h"

namespace vantrel {

constexpr ksize_t nonpaged_arena_size = 0x40000;
constexpr ksize_t paged_arena_size = 4096;

class protocol_driver : public kl::kernel_driver {
 public:
  explicit protocol_driver(PDRIVER_OBJECT d) : kernel_driver(d) {}
  NTSTATUS driver_entry(PUNICODE_STRING registry_path) override;
  NTSTATUS add_device(PDEVICE_OBJECT pdo) override;
  void unload() override;

  ULONG unit_counter = 0;
  ULONG break_on_entry = 0;
  ULONG configuration = 0;

 private:
  bool arenas_made_ = false;
};

kl::kernel_driver *make_protocol_driver(PDRIVER_OBJECT driver);

}  // namespace vantrel

#endif
