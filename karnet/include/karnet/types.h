// Names shared by the device model's headers.
#ifndef KARNET_TYPES_H
#define KARNET_TYPES_H

#include <windows.h>

#include <list>

#include <w32cpp/callback.h>
#include <w32cpp/handle.h>

#include <karnet/guid.h>

namespace karnet {

class iapi;
class io_assync;
class io_control;
class io_device_interface;
class io_device_interface_intf;
class io_operation;
class io_protocol;
class io_read;
class io_session;
class io_session_intf;
class io_write;

using protocol_handle = w32cpp::auto_handle<io_protocol>;
using assync_handle = w32cpp::auto_handle<io_assync>;

// What a protocol's open returns: 0 or INVALID_HANDLE_VALUE when the device could not be opened.
using device_handle = HANDLE;

// Arrival and removal notices: (the protocol that saw the change, the interface class).
using device_callback = w32cpp::icallback<protocol_handle&, guid&>;
using device_listener_list = w32cpp::listener_list<protocol_handle&, guid&>;

// No-argument notices: a device went away, a session was closed by it.
using notice_callback = w32cpp::icallback<>;
using notice_listener_list = w32cpp::listener_list<>;

using interface_list = std::list<io_device_interface>;

}  // namespace karnet

#endif
