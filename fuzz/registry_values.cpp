// Registry values the stack reads, of any type, size and bytes: the device description's values
// (the instrument's hardware key), the tray program's active-devices list (its path value, the list's
// entry names and values) and the driver's Parameters.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <karnet/device_description.h>
#include <standin/registry.h>

#include "core/device_info.h"

bool fuzz_read_driver_parameters(unsigned long* break_on_entry, unsigned long* configuration);

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

const char* const device_key = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1A2B&PID_0100\\FUZZ\\Device Parameters";
const char* const paths_key = "Software\\Ondrel_Fasko\\Drivers\\Paths";
const char* const driver_key = "SYSTEM\\CurrentControlSet\\Services\\FuzzDrv";

struct slot {
    std::string key, name;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    standin::registry::reset();
    // What a working installation holds; the input then changes, adds or replaces values.
    standin::registry::set_string(HKEY_LOCAL_MACHINE, paths_key, "FuzzDrv", std::string("\\Registry\\Machine\\") + driver_key);
    standin::registry::create_key(HKEY_LOCAL_MACHINE, std::string(driver_key) + "\\Active Devices\\0");
    standin::registry::create_key(HKEY_LOCAL_MACHINE, device_key);
    standin::registry::create_key(HKEY_LOCAL_MACHINE, std::string(driver_key) + "\\Parameters");

    const std::string list = std::string(driver_key) + "\\Active Devices\\";
    // Records: slot, type, length (two bytes), bytes. Entry slots name their list entry in the slot's
    // high bits; slot 15 makes an entry key whose name is the bytes.
    std::size_t i = 0;
    while (i + 4 <= size) {
        const std::uint8_t which = data[i];
        const DWORD type = data[i + 1];
        std::size_t n = data[i + 2] | (std::size_t(data[i + 3]) << 8);
        i += 4;
        n = std::min(n, size - i);
        std::vector<std::uint8_t> bytes(data + i, data + i + n);
        i += n;
        const std::string entry = list + std::to_string(which >> 4);
        slot s;
        switch (which & 15) {
        case 0: s = {device_key, "Product"}; break;
        case 1: s = {device_key, "SerialNumber"}; break;
        case 2: s = {device_key, "Manufacturer"}; break;
        case 3: s = {device_key, "bcdDevice"}; break;
        case 4: s = {paths_key, "FuzzDrv"}; break;
        case 5: s = {entry, "DeviceName"}; break;
        case 6: s = {entry, "PublicName"}; break;
        case 7: s = {std::string(driver_key) + "\\Parameters", "BreakOnEntry"}; break;
        case 8: s = {std::string(driver_key) + "\\Parameters", "configuration"}; break;
        case 15: {
            std::string name(bytes.begin(), bytes.end());
            if (name.find('\\') == std::string::npos && name.find('\0') == std::string::npos && !name.empty())
                standin::registry::create_key(HKEY_LOCAL_MACHINE, list + name);
            continue;
        }
        default: continue;
        }
        standin::registry::set_raw(HKEY_LOCAL_MACHINE, s.key, s.name, type, bytes);
    }

    karnet::device_description d("USB\\VID_1A2B&PID_0100\\FUZZ", "SYSTEM\\CurrentControlSet\\Enum\\",
                                 "\\Device Parameters", "fuzz");
    require(d.product.size() < 64 && d.serial_number.size() < 64 && d.manufacturer.size() < 64);
    require(d.bcd_device <= 0xFFFF);

    keelmon::active_devices a = keelmon::read_active_devices("FuzzDrv");
    require(a.device_names.size() == a.public_names.size());
    for (std::size_t k = 0; k < a.count(); ++k) require(a.device_names[k].size() <= 20 && a.public_names[k].size() <= 20);

    unsigned long break_on_entry = 0, configuration = 0;
    fuzz_read_driver_parameters(&break_on_entry, &configuration);
    return 0;
}
