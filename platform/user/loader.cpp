// The loader: LoadLibraryA/GetProcAddress/FreeLibrary over dlopen, with Windows library names.
//
// "name" or "name.dll" becomes "name.so"; a name with a folder ("C:\x\y\name", "/opt/x/name")
// is mapped with map_path and tried there only; a bare name is looked for beside the executable,
// then in the current folder, then beside winplat, then on the dynamic linker's path. Names of
// system libraries ("kernel32", "setupapi", ...) give a module for winplat itself, so
// GetProcAddress finds the stand-in's own functions. Libraries are opened RTLD_LOCAL: each keeps its own symbols.
//
// DLL entry point: when a library defines DllMain (windows.h declares it with default
// visibility), it is called with DLL_PROCESS_ATTACH when the library is first loaded and with
// DLL_PROCESS_DETACH before it is finally freed, under the loader lock. Thread attach and
// detach calls are not made. A FALSE from the attach call fails the load with
// ERROR_DLL_INIT_FAILED (the library gets its detach call first, as on Windows).
//
// Process exit (a return from main, exit, ExitProcess): before the libraries' static objects go, the
// exiting thread takes the loader lock for good, the other threads stop where they stand
// (process_exit.cpp), the exiting thread's fiber-local values go to their callbacks, and every
// library still loaded gets DLL_PROCESS_DETACH with a non-null reserved argument, the last loaded
// first. A FreeLibrary after that only counts.
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <set>

#include <standin/loader.h>
#include <standin/process.h>

#include "internal.h"
#include "process_exit.h"
#include "wide.h"

using namespace wb;

namespace {

typedef BOOL(WINAPI *dll_main_fn)(HINSTANCE, DWORD, LPVOID);

struct module_rec {
  std::string path;  // the file as loaded
  std::string base;  // lower-case name without folder and extension
  void *dl = nullptr;
  unsigned refs = 0;
  bool system = false;  // winplat itself or the executable: never unloaded
  dll_main_fn dll_main = nullptr;
};

struct loader_state {
  std::recursive_mutex m;  // the loader lock; DllMain may load further libraries
  std::map<uintptr_t, module_rec *> by_handle;
  uintptr_t next = 0x10000000;
  module_rec *winplat = nullptr;
  module_rec *exe = nullptr;
  std::set<std::string> hidden_libraries;  // system library bases that tests made absent
  std::set<std::string> hidden_entries;
  bool image_path_set = false;  // a test named the executable's file (standin/process.h)
  std::string image_path;
  bool exiting = false;  // the process's exit has detached the libraries
};

loader_state &loader() {
  static auto *l = new loader_state;
  return *l;
}

const char *const k_system_names[] = {"kernel32", "user32",   "advapi32", "setupapi", "version",  "shell32",
                                      "gdi32",    "comctl32", "comdlg32", "ole32",    "oleaut32", "tapi32",
                                      "ntdll",    "cfgmgr32", "newdev",   "msvcrt",   "winmm",    "ws2_32"};

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "C:\x\Karnet8.DLL" -> "karnet8"
std::string base_name(const std::string &name) {
  size_t slash = name.find_last_of("\\/");
  std::string b = slash == std::string::npos ? name : name.substr(slash + 1);
  size_t dot = b.rfind('.');
  if (dot != std::string::npos) b = b.substr(0, dot);
  return lower(b);
}

// The file name Linux has for a Windows library name: extension .dll (or none) becomes .so.
std::string so_file(const std::string &name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ".so";
  if (dot == name.size() - 1) return name.substr(0, dot);  // "name." means: no extension
  if (strcasecmp(name.c_str() + dot, ".dll") == 0) return name.substr(0, dot) + ".so";
  return name;
}

std::string exe_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p(buf);
  size_t s = p.rfind('/');
  return s == std::string::npos ? "." : p.substr(0, s);
}

HMODULE add_module(loader_state &l, module_rec *m) {
  l.next += 0x10000;
  l.by_handle.emplace(l.next, m);
  return reinterpret_cast<HMODULE>(l.next);
}

HMODULE handle_of(loader_state &l, module_rec *m) {
  for (auto &e : l.by_handle)
    if (e.second == m) return reinterpret_cast<HMODULE>(e.first);
  return add_module(l, m);
}

module_rec *module_of(loader_state &l, HMODULE h) {
  auto it = l.by_handle.find(reinterpret_cast<uintptr_t>(h));
  return it == l.by_handle.end() ? nullptr : it->second;
}

module_rec *winplat_module(loader_state &l) {
  if (!l.winplat) {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&LoadLibraryA), &info);
    auto *m = new module_rec;
    m->path = info.dli_fname ? info.dli_fname : "winplat";
    m->base = "winplat";
    m->dl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    m->system = true;
    m->refs = 1;
    l.winplat = m;
  }
  return l.winplat;
}

module_rec *exe_module(loader_state &l) {
  if (!l.exe) {
    auto *m = new module_rec;
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    m->path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    m->base = base_name(m->path);
    m->dl = dlopen(nullptr, RTLD_NOW);
    m->system = true;
    m->refs = 1;
    l.exe = m;
  }
  return l.exe;
}

// The symbol only when the module itself defines it (not one of its dependencies).
void *own_symbol(module_rec *m, const char *name) {
  void *p = dlsym(m->dl, name);
  if (!p || m->system) return p;
  link_map *lm = nullptr;
  Dl_info info{};
  if (dlinfo(m->dl, RTLD_DI_LINKMAP, &lm) != 0 || !lm || !dladdr(p, &info) || !info.dli_fname) return nullptr;
  return std::strcmp(info.dli_fname, lm->l_name) == 0 ? p : nullptr;
}

// ZEPH_ABSENT_LIBRARIES (names separated by commas, e.g. "tapi32") and standin::loader::hide_library
// play a machine without them: ERROR_MOD_NOT_FOUND.
bool is_absent(loader_state &l, const std::string &base) {
  bool absent = l.hidden_libraries.count(base) != 0;
  if (const char *list = std::getenv("ZEPH_ABSENT_LIBRARIES")) {
    std::string all = "," + lower(list) + ",";
    absent = absent || all.find("," + base + ",") != std::string::npos;
  }
  if (absent) set_last_error(ERROR_MOD_NOT_FOUND);
  return absent;
}

bool is_system_name(const std::string &base) {
  for (const char *n : k_system_names)
    if (base == n) return true;
  return base == "winplat";
}

// A module's file as a Windows program sees it: "X:\..." for a file below $ZEPH_ROOT/x/ (the
// folder map_path maps the drive to), any other Linux path with backslashes (map_path takes it back).
std::string windows_form(const std::string &file) {
  const char *env = std::getenv("ZEPH_ROOT");
  char resolved[PATH_MAX];
  std::string root = realpath(env && *env ? env : ".", resolved) ? resolved : "";
  std::string out = file;
  if (!root.empty() && root != "/" && file.size() > root.size() + 2 && file.compare(0, root.size(), root) == 0 &&
      file[root.size()] == '/' && std::isalpha(static_cast<unsigned char>(file[root.size() + 1])) &&
      file[root.size() + 2] == '/') {
    out = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(file[root.size() + 1])))) + ":" +
          file.substr(root.size() + 2);
  }
  for (char &c : out)
    if (c == '/') c = '\\';
  return out;
}

// The path GetModuleFileNameA/W report for a module (null: the executable); false with the last error
// set when the handle names no module.
bool module_file_name(HMODULE h, std::string *path) {
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  module_rec *m = h ? module_of(l, h) : exe_module(l);
  if (!m) {
    set_last_error(ERROR_MOD_NOT_FOUND);
    return false;
  }
  *path = m == l.exe && l.image_path_set ? l.image_path : windows_form(m->path);
  return true;
}

// Windows' answer for a buffer: the text and its length, or, when it does not fit, as much as fits
// with a terminator, the buffer's size and ERROR_INSUFFICIENT_BUFFER.
template <class Text, class Char>
DWORD copy_cut(const Text &text, Char *buffer, DWORD size) {
  if (!buffer || size == 0) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() >= size) {
    std::copy(text.begin(), text.begin() + (size - 1), buffer);
    buffer[size - 1] = 0;
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

// The code of the executable and of every library loaded here: where a thread may be stopped at exit.
std::vector<code_range> program_code(loader_state &l) {
  struct search {
    std::set<uintptr_t> bases;  // load addresses of the libraries
    std::vector<code_range> ranges;
    bool first = true;  // the executable comes first
  } s;
  for (auto &e : l.by_handle) {
    link_map *lm = nullptr;
    if (!e.second->system && dlinfo(e.second->dl, RTLD_DI_LINKMAP, &lm) == 0 && lm) s.bases.insert(lm->l_addr);
  }
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *p) {
        auto &s = *static_cast<search *>(p);
        const bool take = s.first || s.bases.count(info->dlpi_addr) != 0;
        s.first = false;
        if (!take) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
            s.ranges.push_back(code_range{info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz});
        }
        return 0;
      },
      &s);
  return s.ranges;
}

// Registered after each library's load, so that it runs before that library's static objects go.
void on_process_exit(int status, void *) {
  auto &l = loader();
  std::unique_lock<std::recursive_mutex> g(l.m);
  if (l.exiting) return;
  l.exiting = true;
  g.release();  // kept: the exiting thread alone loads and frees libraries from here on
  stop_other_threads_for_exit(program_code(l), status);
  // As on Windows, the exiting thread's fiber-local values go to their callbacks before the detaches.
  if (thread_object *self = known_thread()) end_fiber_local_storage(self);
  std::vector<std::pair<HMODULE, dll_main_fn>> detach;
  for (auto it = l.by_handle.rbegin(); it != l.by_handle.rend(); ++it)
    if (!it->second->system && it->second->dll_main)
      detach.emplace_back(reinterpret_cast<HMODULE>(it->first), it->second->dll_main);
  for (auto &[h, dll_main] : detach) dll_main(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
}

// The module whose image holds `address` (its code or data); null when no module of the loader's does.
module_rec *module_at(loader_state &l, const void *address) {
  Dl_info info{};
  link_map *map = nullptr;
  if (!dladdr1(address, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) || !map) return nullptr;
  auto same = [map](module_rec *m) {
    link_map *own = nullptr;
    return m->dl && dlinfo(m->dl, RTLD_DI_LINKMAP, &own) == 0 && own == map;
  };
  for (auto &e : l.by_handle)
    if (same(e.second)) return e.second;
  if (same(winplat_module(l))) return l.winplat;
  if (same(exe_module(l))) return l.exe;
  return nullptr;
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (!name || !*name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  std::string n(name);
  std::string base = base_name(n);
  if (is_absent(l, base)) return nullptr;
  if (is_system_name(base)) return handle_of(l, winplat_module(l));

  std::vector<std::string> candidates;
  bool has_folder = n.find_first_of("\\/:") != std::string::npos;
  std::string file = so_file(n);
  if (has_folder) {
    candidates.push_back(map_path(file.c_str()));
  } else {
    candidates.push_back(map_path((exe_dir() + "/" + file).c_str()));
    candidates.push_back(map_path(file.c_str()));
    // The folder of the stand-in itself: where the build puts every library and program.
    const std::string &wp = winplat_module(l)->path;
    size_t slash = wp.rfind('/');
    if (slash != std::string::npos) candidates.push_back(map_path((wp.substr(0, slash) + "/" + file).c_str()));
  }
  void *dl = nullptr;
  std::string path;
  for (auto &c : candidates) {
    if (access(c.c_str(), F_OK) != 0) continue;
    std::string full = c.find('/') == std::string::npos ? "./" + c : c;
    dl = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl) {
      path = full;
      break;
    }
    const char *err = dlerror();
    OutputDebugStringA(("LoadLibraryA: " + std::string(err ? err : full) + "\n").c_str());
  }
  if (!dl && !has_folder) {
    dl = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);  // the dynamic linker's own search path
    if (dl) path = file;
  }
  if (!dl) {
    set_last_error(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  for (auto &e : l.by_handle) {
    module_rec *m = e.second;
    if (m->dl == dl && !m->system) {
      dlclose(dl);  // the module keeps one dlopen reference for all its loads
      ++m->refs;
      return reinterpret_cast<HMODULE>(e.first);
    }
  }
  auto *m = new module_rec;
  m->path = path;
  m->base = base;
  m->dl = dl;
  m->refs = 1;
  m->dll_main = reinterpret_cast<dll_main_fn>(own_symbol(m, "DllMain"));
  HMODULE h = add_module(l, m);
  if (m->dll_main && !m->dll_main(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
    m->dll_main(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
    l.by_handle.erase(reinterpret_cast<uintptr_t>(h));
    dlclose(dl);
    delete m;
    set_last_error(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  if (!l.exiting) on_exit(on_process_exit, nullptr);
  return h;
}

BOOL WINAPI FreeLibrary(HMODULE h) {
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  module_rec *m = module_of(l, h);
  if (!m) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (m->system) return TRUE;
  if (--m->refs > 0 || l.exiting) return TRUE;
  if (m->dll_main) m->dll_main(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
  l.by_handle.erase(reinterpret_cast<uintptr_t>(h));
  dlclose(m->dl);
  delete m;
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE h, LPCSTR name) {
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  module_rec *m = h ? module_of(l, h) : exe_module(l);
  if (!m) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (reinterpret_cast<uintptr_t>(name) < 0x10000) {  // ordinals are not exported on Linux
    set_last_error(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void *p = l.hidden_entries.count(name) ? nullptr : own_symbol(m, name);
  if (!p) {
    set_last_error(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(p);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  if (!name) return handle_of(l, exe_module(l));
  std::string base = base_name(name);
  if (is_absent(l, base)) return nullptr;
  if (is_system_name(base)) return handle_of(l, winplat_module(l));
  for (auto &e : l.by_handle)
    if (e.second->base == base) return reinterpret_cast<HMODULE>(e.first);
  if (base == exe_module(l)->base) return handle_of(l, exe_module(l));
  set_last_error(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// Thread attach/detach calls are never made, so there is nothing to switch off.
BOOL WINAPI DisableThreadLibraryCalls(HMODULE h) {
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  if (!module_of(l, h)) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE h, LPSTR buffer, DWORD size) {
  std::string path;
  if (!module_file_name(h, &path)) return 0;
  return copy_cut(path, buffer, size);
}

DWORD WINAPI GetModuleFileNameW(HMODULE h, LPWSTR buffer, DWORD size) {
  std::string path;
  if (!module_file_name(h, &path)) return 0;
  return copy_cut(from_utf8(path), buffer, size);
}

// Only the two flags the product passes; the module's count goes up unless UNCHANGED_REFCOUNT is given.
BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE *module) {
  const DWORD known = GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (module) *module = nullptr;
  if (!module || (flags & ~known)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto &l = loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  module_rec *m = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
    m = module_at(l, name);
  else if (HMODULE h = GetModuleHandleA(name))
    m = module_of(l, h);
  if (!m) {
    set_last_error(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) && !m->system) ++m->refs;
  *module = handle_of(l, m);
  return TRUE;
}

}  // extern "C"

namespace standin::loader {

void hide_library(const std::string &name) {
  auto &l = ::loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  l.hidden_libraries.insert(base_name(name));
}

void hide_entry(const std::string &entry) {
  auto &l = ::loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  l.hidden_entries.insert(entry);
}

void unhide_all() {
  auto &l = ::loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  l.hidden_libraries.clear();
  l.hidden_entries.clear();
}

}  // namespace standin::loader

namespace standin::process {

void set_image_path(const std::wstring &windows_path) {
  auto &l = ::loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  l.image_path_set = true;
  l.image_path = wb::to_utf8(windows_path);
}

void reset_image_path() {
  auto &l = ::loader();
  std::lock_guard<std::recursive_mutex> g(l.m);
  l.image_path_set = false;
  l.image_path.clear();
}

}  // namespace standin::process
