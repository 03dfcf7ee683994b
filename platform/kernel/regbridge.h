// The kernel's door to the process registry store (the same one RegOpenKeyExA uses). Plain C++: the
// implementation is a normal user-mode translation unit; names and REG_SZ data are narrow (UTF-8).
#ifndef WINPLAT_KERNEL_REGBRIDGE_H
#define WINPLAT_KERNEL_REGBRIDGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace wbreg {

enum class hive { machine, users };

// Opens (or creates) hive\path. Returns null and a Win32 error when it fails; *created tells whether
// the key was made now.
void *open(hive h, const std::string &path, bool create, bool *created, long *error);
void close(void *key);
// Win32 error codes (0, 2 = not found, 234 = more data never happens: the data comes back whole).
long query(void *key, const std::string &name, uint32_t *type, std::vector<uint8_t> *data);
long set(void *key, const std::string &name, uint32_t type, const std::vector<uint8_t> &data);
long remove_value(void *key, const std::string &name);

// Convenience for the PnP manager.
void set_string(const std::string &path, const std::string &name, const std::string &value);
void set_multi_string(const std::string &path, const std::string &name, const std::vector<std::string> &values);
void create_key(const std::string &path);

}  // namespace wbreg

#endif
