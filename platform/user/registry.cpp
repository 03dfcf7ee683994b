// The registry: one in-memory store per process, case-insensitive names, optionally backed by a
// text file named by ZEPH_REGISTRY (loaded at first use, rewritten after every change).
//
// File format, one key per section, values below it:
//   [HKEY_LOCAL_MACHINE\Software\Vendor\Key]
//   "Name"=sz:"text with \\ and \" escaped"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,ff
//   "List"=multi:"one","two"
//   "Other"=hex(2):41,00          (any type, raw bytes)
//   @=sz:"the default value"
// Lines starting with ';' or '#' are comments.
#include <standin/registry.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal.h"

using namespace wb;

namespace {

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct reg_value {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct reg_key {
  std::string name;
  std::map<std::string, std::shared_ptr<reg_key>> subkeys;  // by lower-case name, so sorted
  std::vector<reg_value> values;                           // in the order set
  bool deleted = false;

  reg_value *find_value(const std::string &n) {
    for (auto &v : values)
      if (strcasecmp(v.name.c_str(), n.c_str()) == 0) return &v;
    return nullptr;
  }
};

struct root_def {
  HKEY hkey;
  const char *name;
};

const root_def k_roots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},   {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

struct store {
  std::recursive_mutex m;
  std::map<uintptr_t, std::shared_ptr<reg_key>> roots;
  std::unordered_map<uintptr_t, std::shared_ptr<reg_key>> open;
  uintptr_t next = 0x40000000;
  std::string file;
  bool loaded = false;

  store() {
    reset_roots();
    if (const char *f = std::getenv("ZEPH_REGISTRY")) file = f;
  }

  void reset_roots() {
    for (auto &r : roots) mark_deleted(*r.second);
    roots.clear();
    for (auto &r : k_roots) {
      auto k = std::make_shared<reg_key>();
      k->name = r.name;
      roots[reinterpret_cast<uintptr_t>(r.hkey)] = k;
    }
  }

  static void mark_deleted(reg_key &k) {
    k.deleted = true;
    for (auto &s : k.subkeys) mark_deleted(*s.second);
  }

  // Caller holds m.
  void ensure_loaded();
  bool load(const std::string &path);
  bool save(const std::string &path);
  void changed() {
    if (!file.empty()) save(file);
  }

  std::shared_ptr<reg_key> key_of(HKEY h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    auto r = roots.find(v);
    if (r != roots.end()) return r->second;
    auto o = open.find(v);
    if (o != open.end()) return o->second;
    return nullptr;
  }

  HKEY add_open(std::shared_ptr<reg_key> k) {
    do {
      next += 4;
      if (next >= 0x7FFFFFF0) next = 0x40000004;
    } while (open.count(next));
    open.emplace(next, std::move(k));
    return reinterpret_cast<HKEY>(next);
  }

  std::shared_ptr<reg_key> root_by_name(const std::string &n) {
    for (auto &r : k_roots)
      if (strcasecmp(r.name, n.c_str()) == 0) return roots[reinterpret_cast<uintptr_t>(r.hkey)];
    if (strcasecmp(n.c_str(), "HKLM") == 0) return roots[reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE)];
    if (strcasecmp(n.c_str(), "HKCU") == 0) return roots[reinterpret_cast<uintptr_t>(HKEY_CURRENT_USER)];
    return nullptr;
  }
};

store &reg() {
  static auto *s = new store;
  return *s;
}

std::vector<std::string> split_path(const char *path) {
  std::vector<std::string> parts;
  if (!path) return parts;
  std::string cur;
  for (const char *p = path; *p; ++p) {
    if (*p == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// Walks (and with create, makes) a path below `k`. Null when a component is missing.
std::shared_ptr<reg_key> walk(std::shared_ptr<reg_key> k, const std::vector<std::string> &parts, bool create,
                              bool *created = nullptr) {
  for (auto &p : parts) {
    auto it = k->subkeys.find(lower(p));
    if (it == k->subkeys.end()) {
      if (!create) return nullptr;
      auto n = std::make_shared<reg_key>();
      n->name = p;
      k->subkeys.emplace(lower(p), n);
      k = n;
      if (created) *created = true;
    } else {
      k = it->second;
    }
  }
  return k;
}

// ---- file format -------------------------------------------------------------------------

std::string quote(const std::string &s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') o += '\\';
    o += c;
  }
  return o + "\"";
}

std::string hex_bytes(const std::vector<uint8_t> &d) {
  std::string o;
  char b[4];
  for (size_t i = 0; i < d.size(); ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    if (i) o += ',';
    o += b;
  }
  return o;
}

std::string format_value(const reg_value &v) {
  const auto &d = v.data;
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !d.empty() && d.back() == 0 &&
      std::find(d.begin(), d.end() - 1, 0) == d.end() - 1) {
    std::string s(d.begin(), d.end() - 1);
    return (v.type == REG_SZ ? "sz:" : "expand:") + quote(s);
  }
  if (v.type == REG_DWORD && d.size() == 4) {
    uint32_t x;
    std::memcpy(&x, d.data(), 4);
    char b[16];
    std::snprintf(b, sizeof b, "dword:%08x", x);
    return b;
  }
  if (v.type == REG_MULTI_SZ && d.size() >= 2 && d[d.size() - 1] == 0 && d[d.size() - 2] == 0) {
    std::vector<std::string> items;
    std::string cur;
    for (size_t i = 0; i + 1 < d.size(); ++i) {
      if (d[i] == 0) {
        items.push_back(cur);
        cur.clear();
      } else {
        cur += static_cast<char>(d[i]);
      }
    }
    bool no_empty = std::none_of(items.begin(), items.end(), [](auto &s) { return s.empty(); });
    if (no_empty && d.size() > 2) {
      std::string o = "multi:";
      for (size_t i = 0; i < items.size(); ++i) o += (i ? "," : "") + quote(items[i]);
      return o;
    }
  }
  if (v.type == REG_BINARY) return "hex:" + hex_bytes(d);
  return "hex(" + std::to_string(v.type) + "):" + hex_bytes(d);
}

void write_key(std::ostream &os, const std::string &path, const reg_key &k) {
  if (!k.values.empty() || k.subkeys.empty()) {
    os << "[" << path << "]\n";
    for (auto &v : k.values) os << (v.name.empty() ? std::string("@") : quote(v.name)) << "=" << format_value(v) << "\n";
    os << "\n";
  }
  for (auto &s : k.subkeys) write_key(os, path + "\\" + s.second->name, *s.second);
}

// Reads a quoted string at s[i]; advances i past it.
bool read_quoted(const std::string &s, size_t &i, std::string &out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size() && s[i] != '"') {
    if (s[i] == '\\' && i + 1 < s.size()) ++i;
    out += s[i++];
  }
  if (i >= s.size()) return false;
  ++i;
  return true;
}

bool read_hex(const std::string &s, std::vector<uint8_t> &out) {
  out.clear();
  std::string t;
  for (char c : s)
    if (!std::isspace(static_cast<unsigned char>(c))) t += c;
  if (t.empty()) return true;
  std::stringstream ss(t);
  std::string byte;
  while (std::getline(ss, byte, ',')) {
    if (byte.empty() || byte.size() > 2 || !std::all_of(byte.begin(), byte.end(), ::isxdigit)) return false;
    out.push_back(static_cast<uint8_t>(std::strtoul(byte.c_str(), nullptr, 16)));
  }
  return true;
}

bool parse_value(const std::string &text, reg_value &v) {
  auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string kind = text.substr(0, colon), rest = text.substr(colon + 1);
  if (kind == "sz" || kind == "expand") {
    size_t i = 0;
    std::string s;
    if (!read_quoted(rest, i, s)) return false;
    v.type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
    v.data.assign(s.begin(), s.end());
    v.data.push_back(0);
    return true;
  }
  if (kind == "dword") {
    char *end = nullptr;
    unsigned long x = std::strtoul(rest.c_str(), &end, 16);
    if (end == rest.c_str()) return false;
    uint32_t d = static_cast<uint32_t>(x);
    v.type = REG_DWORD;
    v.data.resize(4);
    std::memcpy(v.data.data(), &d, 4);
    return true;
  }
  if (kind == "multi") {
    v.type = REG_MULTI_SZ;
    v.data.clear();
    size_t i = 0;
    while (i < rest.size()) {
      std::string s;
      if (!read_quoted(rest, i, s)) return false;
      v.data.insert(v.data.end(), s.begin(), s.end());
      v.data.push_back(0);
      while (i < rest.size() && (rest[i] == ',' || std::isspace(static_cast<unsigned char>(rest[i])))) ++i;
    }
    v.data.push_back(0);
    if (v.data.size() == 1) v.data.push_back(0);
    return true;
  }
  if (kind == "hex") {
    v.type = REG_BINARY;
    return read_hex(rest, v.data);
  }
  if (kind.rfind("hex(", 0) == 0 && kind.back() == ')') {
    v.type = static_cast<DWORD>(std::strtoul(kind.c_str() + 4, nullptr, 10));
    return read_hex(rest, v.data);
  }
  return false;
}

bool store::load(const std::string &path) {
  reset_roots();
  std::ifstream in(path);
  if (!in) return true;  // no file yet: an empty store
  std::string line;
  std::shared_ptr<reg_key> cur;
  bool ok = true;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == ';' || line[b] == '#') continue;
    line = line.substr(b);
    if (line[0] == '[') {
      auto e = line.rfind(']');
      if (e == std::string::npos) {
        ok = false;
        cur = nullptr;
        continue;
      }
      auto parts = split_path(line.substr(1, e - 1).c_str());
      if (parts.empty() || !(cur = root_by_name(parts[0]))) {
        ok = false;
        cur = nullptr;
        continue;
      }
      parts.erase(parts.begin());
      cur = walk(cur, parts, true);
      continue;
    }
    reg_value v;
    size_t i = 0;
    if (line[0] == '@') {
      i = 1;
    } else if (!read_quoted(line, i, v.name)) {
      ok = false;
      continue;
    }
    if (!cur || i >= line.size() || line[i] != '=' || !parse_value(line.substr(i + 1), v)) {
      ok = false;
      continue;
    }
    if (reg_value *old = cur->find_value(v.name))
      *old = v;
    else
      cur->values.push_back(v);
  }
  return ok;
}

bool store::save(const std::string &path) {
  std::ostringstream os;
  os << "; registry store\n\n";
  for (auto &r : k_roots) {
    auto &k = roots[reinterpret_cast<uintptr_t>(r.hkey)];
    if (!k->values.empty())
      write_key(os, r.name, *k);
    else
      for (auto &s : k->subkeys) write_key(os, std::string(r.name) + "\\" + s.second->name, *s.second);
  }
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    out << os.str();
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

void store::ensure_loaded() {
  if (loaded) return;
  loaded = true;
  if (!file.empty() && !load(file))
    std::fprintf(stderr, "registry: some lines of %s could not be read\n", file.c_str());
}

// Common entry: locks the store, loads it, resolves hKey.
struct session {
  std::lock_guard<std::recursive_mutex> g;
  store &s;
  session() : g(reg().m), s(reg()) { s.ensure_loaded(); }
};

LSTATUS key_status(const std::shared_ptr<reg_key> &k) {
  if (!k) return ERROR_INVALID_HANDLE;
  if (k->deleted) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

LSTATUS open_key(HKEY h, LPCSTR sub, PHKEY out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  auto t = walk(k, split_path(sub), false);
  if (!t) return ERROR_FILE_NOT_FOUND;
  *out = ss.s.add_open(t);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY h, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out) {
  (void)options;
  (void)sam;
  return open_key(h, sub, out);
}

LSTATUS WINAPI RegOpenKeyA(HKEY h, LPCSTR sub, PHKEY out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  if (!sub || !*sub) {
    // As on Windows: the same handle comes back.
    session ss;
    auto k = ss.s.key_of(h);
    if (LSTATUS st = key_status(k)) return st;
    *out = h;
    return ERROR_SUCCESS;
  }
  return open_key(h, sub, out);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY h, LPCSTR sub, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                               const SECURITY_ATTRIBUTES *sa, PHKEY out, LPDWORD disposition) {
  (void)reserved;
  (void)cls;
  (void)options;
  (void)sam;
  (void)sa;
  if (!out) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  bool created = false;
  auto t = walk(k, split_path(sub), true, &created);
  *out = ss.s.add_open(t);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  if (created) ss.s.changed();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyA(HKEY h, LPCSTR sub, PHKEY out) {
  return RegCreateKeyExA(h, sub, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, out, nullptr);
}

LSTATUS WINAPI RegQueryValueExA(HKEY h, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb) {
  (void)reserved;
  if (data && !cb) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  reg_value *v = k->find_value(name ? name : "");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  DWORD need = static_cast<DWORD>(v->data.size());
  if (!cb) return ERROR_SUCCESS;
  if (!data) {
    *cb = need;
    return ERROR_SUCCESS;
  }
  if (*cb < need) {
    *cb = need;
    return ERROR_MORE_DATA;
  }
  if (need) std::memcpy(data, v->data.data(), need);
  *cb = need;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY h, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD cb) {
  (void)reserved;
  if (!data && cb) return ERROR_NOACCESS;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  reg_value nv;
  nv.name = name ? name : "";
  nv.type = type;
  if (cb) nv.data.assign(data, data + cb);
  if (reg_value *v = k->find_value(nv.name)) {
    v->type = nv.type;
    v->data = std::move(nv.data);
  } else {
    k->values.push_back(std::move(nv));
  }
  ss.s.changed();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY h, LPCSTR name) {
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  std::string n = name ? name : "";
  auto it = std::find_if(k->values.begin(), k->values.end(),
                         [&](const reg_value &v) { return strcasecmp(v.name.c_str(), n.c_str()) == 0; });
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  k->values.erase(it);
  ss.s.changed();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY h, DWORD index, LPSTR name, LPDWORD cch, LPDWORD reserved, LPSTR cls,
                             LPDWORD cch_class, PFILETIME last_write) {
  (void)reserved;
  if (!name || !cch) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = k->subkeys.begin();
  std::advance(it, index);
  const std::string &n = it->second->name;
  if (*cch <= n.size()) return ERROR_MORE_DATA;
  std::memcpy(name, n.c_str(), n.size() + 1);
  *cch = static_cast<DWORD>(n.size());
  if (cls && cch_class && *cch_class) *cls = '\0';
  if (cch_class) *cch_class = 0;
  if (last_write) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyA(HKEY h, DWORD index, LPSTR name, DWORD cch) {
  DWORD n = cch;
  return RegEnumKeyExA(h, index, name, &n, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumValueA(HKEY h, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD cb) {
  (void)reserved;
  if (!name || !cch_name || (data && !cb)) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const reg_value &v = k->values[index];
  if (*cch_name <= v.name.size()) return ERROR_MORE_DATA;
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *cch_name = static_cast<DWORD>(v.name.size());
  if (type) *type = v.type;
  if (cb) {
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data && *cb < need) {
      *cb = need;
      return ERROR_MORE_DATA;
    }
    if (data && need) std::memcpy(data, v.data.data(), need);
    *cb = need;
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY h, LPSTR cls, LPDWORD cch_class, LPDWORD reserved, LPDWORD subkeys,
                                LPDWORD max_subkey_len, LPDWORD max_class_len, LPDWORD values,
                                LPDWORD max_value_name_len, LPDWORD max_value_len, LPDWORD security,
                                PFILETIME last_write) {
  (void)reserved;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  if (cls && cch_class && *cch_class) *cls = '\0';
  if (cch_class) *cch_class = 0;
  if (subkeys) *subkeys = static_cast<DWORD>(k->subkeys.size());
  if (max_subkey_len) {
    size_t m = 0;
    for (auto &s : k->subkeys) m = std::max(m, s.second->name.size());
    *max_subkey_len = static_cast<DWORD>(m);
  }
  if (max_class_len) *max_class_len = 0;
  if (values) *values = static_cast<DWORD>(k->values.size());
  size_t mn = 0, md = 0;
  for (auto &v : k->values) {
    mn = std::max(mn, v.name.size());
    md = std::max(md, v.data.size());
  }
  if (max_value_name_len) *max_value_name_len = static_cast<DWORD>(mn);
  if (max_value_len) *max_value_len = static_cast<DWORD>(md);
  if (security) *security = 0;
  if (last_write) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY h, LPCSTR sub) {
  if (!sub) return ERROR_INVALID_PARAMETER;
  session ss;
  auto k = ss.s.key_of(h);
  if (LSTATUS st = key_status(k)) return st;
  auto parts = split_path(sub);
  if (parts.empty()) return ERROR_ACCESS_DENIED;  // a key cannot delete itself through ""
  std::string leaf = parts.back();
  parts.pop_back();
  auto parent = walk(k, parts, false);
  if (!parent) return ERROR_FILE_NOT_FOUND;
  auto it = parent->subkeys.find(lower(leaf));
  if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
  if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
  it->second->deleted = true;
  parent->subkeys.erase(it);
  ss.s.changed();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegFlushKey(HKEY h) {
  session ss;
  auto k = ss.s.key_of(h);
  if (!k) return ERROR_INVALID_HANDLE;
  ss.s.changed();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY h) {
  session ss;
  auto v = reinterpret_cast<uintptr_t>(h);
  if (ss.s.roots.count(v)) return ERROR_SUCCESS;
  auto it = ss.s.open.find(v);
  if (it == ss.s.open.end()) return ERROR_INVALID_HANDLE;
  ss.s.open.erase(it);
  return ERROR_SUCCESS;
}

}  // extern "C"

// ---- test and demo control ---------------------------------------------------------------

namespace standin::registry {

namespace {
std::shared_ptr<reg_key> seed_key(store &s, HKEY root, const std::string &key) {
  auto k = s.key_of(root);
  if (!k) return nullptr;
  return walk(k, split_path(key.c_str()), true);
}

void seed(HKEY root, const std::string &key, const std::string &name, DWORD type, std::vector<uint8_t> data) {
  session ss;
  auto k = seed_key(ss.s, root, key);
  if (!k) return;
  if (reg_value *v = k->find_value(name)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    k->values.push_back(reg_value{name, type, std::move(data)});
  }
  ss.s.changed();
}
}  // namespace

void reset() {
  session ss;
  ss.s.reset_roots();
}

std::string file() {
  session ss;
  return ss.s.file;
}

bool use_file(const std::string &path, bool load) {
  std::lock_guard<std::recursive_mutex> g(reg().m);
  store &s = reg();
  s.file = path;
  s.loaded = true;
  if (!load) return true;
  if (path.empty()) {
    s.reset_roots();
    return true;
  }
  return s.load(path);
}

bool save(const std::string &path) {
  session ss;
  return ss.s.save(path);
}

void set_string(HKEY root, const std::string &key, const std::string &name, const std::string &value) {
  std::vector<uint8_t> d(value.begin(), value.end());
  d.push_back(0);
  seed(root, key, name, REG_SZ, std::move(d));
}

void set_dword(HKEY root, const std::string &key, const std::string &name, std::uint32_t value) {
  std::vector<uint8_t> d(4);
  std::memcpy(d.data(), &value, 4);
  seed(root, key, name, REG_DWORD, std::move(d));
}

void set_binary(HKEY root, const std::string &key, const std::string &name, const std::vector<std::uint8_t> &value) {
  seed(root, key, name, REG_BINARY, value);
}

void set_multi_string(HKEY root, const std::string &key, const std::string &name,
                      const std::vector<std::string> &value) {
  std::vector<uint8_t> d;
  for (auto &s : value) {
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
  }
  d.push_back(0);
  if (d.size() == 1) d.push_back(0);
  seed(root, key, name, REG_MULTI_SZ, std::move(d));
}

void set_raw(HKEY root, const std::string &key, const std::string &name, DWORD type,
             const std::vector<std::uint8_t> &data) {
  seed(root, key, name, type, data);
}

void create_key(HKEY root, const std::string &key) {
  session ss;
  if (seed_key(ss.s, root, key)) ss.s.changed();
}

bool key_exists(HKEY root, const std::string &key) {
  session ss;
  auto k = ss.s.key_of(root);
  return k && walk(k, split_path(key.c_str()), false) != nullptr;
}

void delete_tree(HKEY root, const std::string &key) {
  session ss;
  auto k = ss.s.key_of(root);
  if (!k) return;
  auto parts = split_path(key.c_str());
  if (parts.empty()) return;
  std::string leaf = parts.back();
  parts.pop_back();
  auto parent = walk(k, parts, false);
  if (!parent) return;
  auto it = parent->subkeys.find(lower(leaf));
  if (it == parent->subkeys.end()) return;
  store::mark_deleted(*it->second);
  parent->subkeys.erase(it);
  ss.s.changed();
}

}  // namespace standin::registry
