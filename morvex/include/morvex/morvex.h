// Everything a client of the instrument API includes.
#ifndef MORVEX_MORVEX_H
#define MORVEX_MORVEX_H

#include <morvex/iapi.h>
#include <morvex/requests.h>
#include <morvex/session.h>
#include <morvex/wire.h>

#endif
