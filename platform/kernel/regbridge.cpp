// Registry access for the kernel stand-in, through the process registry store.
#include "regbridge.h"

#include <windows.h>

namespace wbreg {

void *open(hive h, const std::string &path, bool create, bool *created, long *error) {
  HKEY root = h == hive::machine ? HKEY_LOCAL_MACHINE : HKEY_USERS;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS st = create ? RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition)
                      : RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (error) *error = st;
  if (created) *created = disposition == REG_CREATED_NEW_KEY;
  return st == ERROR_SUCCESS ? (void *)key : nullptr;
}

void close(void *key) {
  if (key) RegCloseKey((HKEY)key);
}

long query(void *key, const std::string &name, uint32_t *type, std::vector<uint8_t> *data) {
  DWORD t = 0, size = 0;
  LSTATUS st = RegQueryValueExA((HKEY)key, name.c_str(), nullptr, &t, nullptr, &size);
  for (int tries = 0; st == ERROR_SUCCESS && tries < 4; ++tries) {
    data->assign(size, 0);
    DWORD got = size;
    st = RegQueryValueExA((HKEY)key, name.c_str(), nullptr, &t, data->empty() ? nullptr : data->data(), &got);
    if (st == ERROR_MORE_DATA) {
      size = got;
      st = ERROR_SUCCESS;
      continue;
    }
    data->resize(got);
    break;
  }
  if (type) *type = t;
  return st;
}

long set(void *key, const std::string &name, uint32_t type, const std::vector<uint8_t> &data) {
  return RegSetValueExA((HKEY)key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(), (DWORD)data.size());
}

long remove_value(void *key, const std::string &name) { return RegDeleteValueA((HKEY)key, name.c_str()); }

void set_string(const std::string &path, const std::string &name, const std::string &value) {
  void *k = open(hive::machine, path, true, nullptr, nullptr);
  if (!k) return;
  std::vector<uint8_t> d(value.begin(), value.end());
  d.push_back(0);
  set(k, name, REG_SZ, d);
  close(k);
}

void set_multi_string(const std::string &path, const std::string &name, const std::vector<std::string> &values) {
  void *k = open(hive::machine, path, true, nullptr, nullptr);
  if (!k) return;
  std::vector<uint8_t> d;
  for (auto &v : values) {
    d.insert(d.end(), v.begin(), v.end());
    d.push_back(0);
  }
  d.push_back(0);
  set(k, name, REG_MULTI_SZ, d);
  close(k);
}

void create_key(const std::string &path) { close(open(hive::machine, path, true, nullptr, nullptr)); }

}  // namespace wbreg
