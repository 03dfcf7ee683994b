// An instrument on the bus with no driver bound: a bare PDO for kernel-side tests. Built with RTTI, as
// the simulated instrument's objects are made here.
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/usbbus.h>

#include <string>

std::string plug_bare_instrument(const std::string &serial) {
  simdev::instrument_config c;
  c.product_id = 0x0F0F;  // no driver is bound to this id
  c.serial_number = serial;
  return standin::usbbus::plug(std::make_shared<simdev::usb_device>(std::make_shared<simdev::instrument>(c)));
}
