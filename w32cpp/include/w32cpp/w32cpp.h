// Everything of the support library.
#ifndef W32CPP_W32CPP_H
#define W32CPP_W32CPP_H

#include <w32cpp/callback.h>
#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/loader.h>
#include <w32cpp/lock.h>
#include <w32cpp/status.h>
#include <w32cpp/task.h>
#include <w32cpp/trace.h>
#include <w32cpp/waitable.h>

#endif
