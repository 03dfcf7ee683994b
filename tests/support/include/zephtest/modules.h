// Whether a shared library is mapped into the test process: the loader's own bookkeeping aside, a
// library that was really unloaded is gone from the dynamic linker's list.
#pragma once

#include <link.h>

#include <cstring>
#include <string>

namespace zephtest {

// True while a library whose file is named `file` ("quillon8.so") is mapped.
inline bool mapped(const char* file) {
    struct search {
        std::string suffix;
        bool found;
    } s{std::string("/") + file, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<search*>(data);
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.size() >= s->suffix.size() &&
                name.compare(name.size() - s->suffix.size(), s->suffix.size(), s->suffix) == 0)
                s->found = true;
            return 0;
        },
        &s);
    return s.found;
}

}  // namespace zephtest
