// The driver object and its entry glue, and the device object with per-major-function dispatch.
#ifndef VANTREL_KDRIVER_H
#define VANTREL_KDRIVER_H

#include "kobjects.h"

namespace kl {

class kernel_driver {
 public:
  explicit kernel_driver(PDRIVER_OBJECT d) : driver_object(d) {}
  virtual ~kernel_driver() = default;
  virtual NTSTATUS driver_entry(PUNICODE_STRING registry_path);
  // Destroys the device objects still owned by the driver.
  virtual void unload();
  virtual NTSTATUS add_device(PDEVICE_OBJECT pdo);
  virtual NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT driver_object;
  counted_unicode_string registry_path;
  UCHAR flags = 0;
  bool has_devices = false;
};

// The one driver object and the link prefix chosen at entry.
kernel_driver *the_driver();
PCWSTR link_prefix();

// DriverEntry's body: probes the link prefix, makes the driver object with `make` (non-paged pool), installs
// the glue and runs driver_entry. A failed entry leaves nothing behind.
NTSTATUS driver_entry_glue(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path,
                           kernel_driver *(*make)(PDRIVER_OBJECT driver));

// Prints the allocation-failure message of the pool arenas.
void allocation_failure_hook(ksize_t size, POOL_TYPE type);

// The names a device object is created with; taken over by the object built in its extension.
struct device_names {
  counted_unicode_string name;
  counted_unicode_string link;
};

class device_object {
 public:
  static constexpr ULONG marker_created = 0xA04B4458;

  // Creates "\Device\<name><unit>" and, with a link name, "<prefix><link><unit>". On failure nothing is
  // left (a device whose link could not be made is deleted here) and none is returned.
  static PDEVICE_OBJECT create_instance(PDRIVER_OBJECT driver, ULONG extension_size, PCWSTR name, ULONG unit,
                                        ULONG type, PCWSTR link_name, ULONG characteristics, ULONG flags,
                                        device_names *names, NTSTATUS *status);
  static device_object *from(PDEVICE_OBJECT d) { return static_cast<device_object *>(d->DeviceExtension); }

  device_object(PDEVICE_OBJECT self, device_names *names);
  virtual ~device_object();
  // Runs the destructor and deletes the system device object (which holds this object).
  virtual void destroy();
  virtual NTSTATUS irp_dispatch(PIRP irp);

  virtual NTSTATUS on_create(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_close(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_read(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_write(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_device_control(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_internal_device_control(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_cleanup(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_power(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_system_control(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_pnp(PIRP irp) { return on_major_default(irp); }
  virtual NTSTATUS on_major_default(PIRP irp);

  static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  PDEVICE_OBJECT self() const { return self_; }
  const UNICODE_STRING &device_name() const { return names_.name.value(); }
  const UNICODE_STRING &link_name() const { return names_.link.value(); }
  void delete_link();

 protected:
  PDEVICE_OBJECT self_;
  ULONG marker_;
  device_names names_;
  bool link_created_ = false;
};

}  // namespace kl

#endif
