#include "core_fixture.h"
