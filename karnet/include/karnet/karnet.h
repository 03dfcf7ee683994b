// Everything of the device model.
#ifndef KARNET_KARNET_H
#define KARNET_KARNET_H

#include <karnet/iapi.h>

#endif
