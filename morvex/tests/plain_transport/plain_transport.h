// The plain transport's face to its test: plugs one bulk instrument that the device manager lists.
#ifndef MORVEX_TESTS_PLAIN_TRANSPORT_H
#define MORVEX_TESTS_PLAIN_TRANSPORT_H

#include <stddef.h>

#include <karnet/types.h>

extern "C" {
// Makes the transport, puts it in holder (which the caller keeps) and registers it.
void plain_transport_plug(karnet::protocol_handle* holder);
void plain_transport_unplug();
// Requests still pending, and how often the handle's requests were cancelled.
size_t plain_transport_pending();
int plain_transport_cancels();
}

#endif
