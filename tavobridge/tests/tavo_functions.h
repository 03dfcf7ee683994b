// The flat API's exports, looked up by name as a Visual Basic program binds them.
#pragma once

#include <windows.h>

#include <tavobridge/tavo.h>

namespace tavo_test {

struct tavo_functions {
#define TAVO_MEMBER(name, args) name##_fn name = nullptr;
    TAVO_FUNCTIONS(TAVO_MEMBER)
#undef TAVO_MEMBER
    bool load(HMODULE m) {
        bool all = true;
#define TAVO_LOOKUP(name, args)                                                             \
    name = reinterpret_cast<name##_fn>(reinterpret_cast<void *>(GetProcAddress(m, #name))); \
    all = all && name;
        TAVO_FUNCTIONS(TAVO_LOOKUP)
#undef TAVO_LOOKUP
        return all;
    }
};

}  // namespace tavo_test
