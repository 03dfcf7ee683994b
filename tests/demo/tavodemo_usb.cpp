// The main job's client over USB on the stand-in: the kernel driver installed for the instrument's
// hardware id and a simulated instrument plugged into the USB bus, then the client's own run with
// --usb. (On Windows the client runs alone against a real instrument.)
#include <memory>
#include <string>
#include <vector>

#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "tavodemo.h"

int main(int argc, char **argv) {
    standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
    auto model = std::make_shared<simdev::instrument>();
    auto usb = std::make_shared<simdev::usb_device>(model);
    std::string instance = standin::usbbus::plug(usb);
    standin::pnp::settle();
    std::vector<char *> args(argv, argv + argc);
    std::string flag = "--usb";
    args.push_back(flag.data());
    int rc = tavodemo_main(int(args.size()), args.data());
    standin::usbbus::unplug(instance);
    standin::pnp::settle();
    return rc;
}
