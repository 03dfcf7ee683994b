/* The stand-in's kernel headers are one set: ntddk.h is wdm.h. */
#ifndef WB_NTDDK_H
#define WB_NTDDK_H
#include "wdm.h"
#endif
