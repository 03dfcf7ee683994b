#ifndef WB_USB100_H
#define WB_USB100_H
#include "usbspec.h"
#endif
