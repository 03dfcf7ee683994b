// The environment behind the exports: the instrument API bound at run time as "morvex".
#ifndef TAVOBRIDGE_FLAT_ENV_H
#define TAVOBRIDGE_FLAT_ENV_H

#include "flat_backend.h"

namespace tavo {

environment &morvex_environment();

}  // namespace tavo

#endif
