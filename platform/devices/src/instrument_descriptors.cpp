// The instrument's device, configuration and string descriptors.
#include "instrument_firmware.h"

namespace simdev {

using namespace fw;

std::vector<std::uint8_t> instrument::device_descriptor() const {
    std::vector<std::uint8_t> d{18, 1};
    put16(d, 0x0110);
    d.insert(d.end(), {0xFF, 0x00, 0x00, 8});
    put16(d, cfg_.vendor_id);
    put16(d, cfg_.product_id);
    put16(d, cfg_.bcd_device);
    d.insert(d.end(), {str_manufacturer, str_product, str_serial, configuration_count()});
    return d;
}

namespace {

void put_interface(std::vector<std::uint8_t>& d, std::uint8_t number, std::uint8_t alt) {
    d.insert(d.end(), {9, 4, number, alt, 1, 0xFF, 0x00, 0x00, 0});
}

void put_endpoint(std::vector<std::uint8_t>& d, std::uint8_t addr, std::uint8_t attr, std::uint16_t maxp,
                  std::uint8_t interval) {
    d.insert(d.end(), {7, 5, addr, attr});
    put16(d, maxp);
    d.push_back(interval);
}

}  // namespace

std::vector<std::uint8_t> instrument::configuration_descriptor(std::uint8_t index) const {
    if (index >= configuration_count()) return {};
    // Value 1 is "Bulk", value 2 "Isochrone", whatever their place in the list.
    const bool reversed = cfg_.isochrone_listed_first && configuration_count() == 2;
    const std::uint8_t value = static_cast<std::uint8_t>(reversed ? configuration_count() - index : index + 1);
    std::vector<std::uint8_t> d{9, 2, 0, 0, 3, value, static_cast<std::uint8_t>(value == 1 ? str_bulk : str_iso),
                                0x80, 50};
    put_interface(d, 0, 0);
    put_endpoint(d, ep_interrupt, 3, cfg_.interrupt_max_packet, cfg_.interrupt_interval);
    if (value == 1) {
        put_interface(d, 1, 0);
        put_endpoint(d, ep_bulk_in, 2, cfg_.usb_bulk_max_packet, 0);
    } else {
        put_interface(d, 1, 0);
        put_endpoint(d, ep_bulk_in, 1, 0, 1);  // zero bandwidth at setting 0
        for (std::size_t i = 0; i < cfg_.iso_packet_sizes.size(); ++i) {
            put_interface(d, 1, static_cast<std::uint8_t>(i + 1));
            put_endpoint(d, ep_bulk_in, 1, cfg_.iso_packet_sizes[i], 1);
        }
    }
    put_interface(d, 2, 0);
    put_endpoint(d, ep_bulk_out, 2, cfg_.usb_bulk_max_packet, 0);
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::optional<std::vector<std::uint8_t>> instrument::string_descriptor(std::uint8_t index, std::uint16_t lang) const {
    if (index == 0) return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};
    if (lang != 0x0409) return std::nullopt;
    const std::string* s = nullptr;
    static const std::string bulk = "Bulk", iso = "Isochrone";
    switch (index) {
    case str_manufacturer: s = &cfg_.manufacturer; break;
    case str_product: s = &cfg_.product; break;
    case str_serial: s = &cfg_.serial_number; break;
    case str_bulk: s = &bulk; break;
    case str_iso: s = &iso; break;
    default: return std::nullopt;
    }
    std::size_t n = std::min<std::size_t>(s->size(), 126);
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * n), 3};
    for (std::size_t i = 0; i < n; ++i) put16(d, static_cast<unsigned char>((*s)[i]));
    return d;
}

}  // namespace simdev
