// Test and demo control of the registry store (one per process).
#ifndef STANDIN_REGISTRY_H
#define STANDIN_REGISTRY_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace standin::registry {

// Empties the store (every hive). Keys still open read as deleted (ERROR_KEY_DELETED).
// Does not touch the persistence file.
void reset();

// The persistence file: the store is loaded from it at first use and written back after every
// change. Set at start-up from the environment variable ZEPH_REGISTRY; "" means none.
std::string file();
// Switches to another file (or none with ""); with load = true the store is replaced by the
// file's contents (an absent file gives an empty store). False when the file cannot be parsed.
bool use_file(const std::string &path, bool load = true);
// Writes the store to `path` now. False on an I/O error.
bool save(const std::string &path);

// Seeding. `key` is a path below the root, with backslashes ("Software\\Vendor\\Key"); missing
// keys are created. Names are case-insensitive as everywhere in the store.
void set_string(HKEY root, const std::string &key, const std::string &name, const std::string &value);
void set_dword(HKEY root, const std::string &key, const std::string &name, std::uint32_t value);
void set_binary(HKEY root, const std::string &key, const std::string &name,
                const std::vector<std::uint8_t> &value);
void set_multi_string(HKEY root, const std::string &key, const std::string &name,
                      const std::vector<std::string> &value);
// Raw value with any type; `data` is stored exactly as given.
void set_raw(HKEY root, const std::string &key, const std::string &name, DWORD type,
             const std::vector<std::uint8_t> &data);
void create_key(HKEY root, const std::string &key);
bool key_exists(HKEY root, const std::string &key);
// Removes a key with everything below it.
void delete_tree(HKEY root, const std::string &key);

}  // namespace standin::registry

#endif
