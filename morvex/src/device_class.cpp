// The device classes: built into every client of the API, as the classes are handed out by reference.
#include <morvex/iapi.h>

namespace morvex {

io_device_interface_class::io_device_interface_class(const GUID& interface_class) : guid_(&interface_class) {
    arrival_ = w32cpp::make_member_callback<io_device_interface_class, karnet::protocol_handle&, karnet::guid&>(
        this, &io_device_interface_class::on_arrival);
    removal_ = w32cpp::make_member_callback<io_device_interface_class, karnet::protocol_handle&, karnet::guid&>(
        this, &io_device_interface_class::on_removal);
    if (library_) {
        library_->arrival_listeners().add(arrival_);
        library_->removal_listeners().add(removal_);
    }
}

io_device_interface_class::~io_device_interface_class() {
    // Removal waits for a notice in progress on another thread; after it the callbacks never run.
    if (library_) {
        library_->arrival_listeners().remove(arrival_);
        library_->removal_listeners().remove(removal_);
    }
    arrival_->unbind();
    removal_->unbind();
}

void io_device_interface_class::on_arrival(karnet::protocol_handle&, karnet::guid& interface_class) {
    if (!(interface_class == karnet::guid(*guid_))) return;
    arrived_.set();
    changed_.set();
}

void io_device_interface_class::on_removal(karnet::protocol_handle&, karnet::guid& interface_class) {
    if (!(interface_class == karnet::guid(*guid_))) return;
    removed_.set();
    changed_.set();
}

}  // namespace morvex
