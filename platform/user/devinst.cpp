// Device installation: the installer's device records and the W calls of SetupAPI over them, the INF
// store under %windir%\inf, the Plug and Play installer's driver update, the configuration manager's
// device-node status and the pending-installation check. Every call counts itself and has a failure
// switch (standin/devinst.h).
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <standin/devinst.h>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "devinfo.h"
#include "wide.h"

using standin::devinst::call;
using wb::devinfo_set;

namespace {

constexpr DWORD kDevInstBase = 0x100;  // DevInst of record i is kDevInstBase + i
constexpr DWORD kInvalidRegProperty = 0xE0000209;

struct failure {
  bool active = false;
  DWORD error = 0;
  int skip = 0;
  int times = 0;
};

struct model {
  std::mutex mu;
  std::vector<standin::devinst::device> devices;
  bool pending = false;
  bool reboot = false;
  int prompts = 0;
  failure fails[static_cast<int>(call::count)];
  int counts[static_cast<int>(call::count)] = {};
  std::vector<standin::devinst::update_request> updates;
};

model &state() {
  static auto *m = new model;
  return *m;
}

// Counts the call; true, with the switch's error as last error, when its switch makes it fail now.
bool switched(model &m, call c) {
  auto i = static_cast<int>(c);
  ++m.counts[i];
  failure &f = m.fails[i];
  if (!f.active) return false;
  if (f.skip > 0) {
    --f.skip;
    return false;
  }
  if (f.times > 0 && --f.times == 0) f.active = false;
  wb::set_last_error(f.error);
  return true;
}

BOOL fail(DWORD e) {
  wb::set_last_error(e);
  return FALSE;
}

bool same_ci(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool same_ci(const std::wstring &a, const std::wstring &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

int record_of(model &m, const std::string &instance_id) {
  for (size_t i = 0; i < m.devices.size(); ++i)
    if (same_ci(m.devices[i].instance_id, instance_id)) return static_cast<int>(i);
  return -1;
}

// The record that the caller's SP_DEVINFO_DATA names in an installer set, or -1 (last error set).
int record_in(model &m, devinfo_set *s, PSP_DEVINFO_DATA d) {
  if (!d || d->cbSize != sizeof(SP_DEVINFO_DATA)) {
    wb::set_last_error(ERROR_INVALID_USER_BUFFER);
    return -1;
  }
  if (!s->installer || d->Reserved >= s->devices.size()) {
    wb::set_last_error(ERROR_INVALID_PARAMETER);
    return -1;
  }
  int r = record_of(m, s->devices[d->Reserved]);
  if (r < 0) wb::set_last_error(ERROR_NO_SUCH_DEVINST);
  return r;
}

// The record a property call names: counted, switch checked, set and record looked up; -1 (last
// error set) when the call fails.
int record_for(model &m, call c, HDEVINFO h, PSP_DEVINFO_DATA d) {
  if (switched(m, c)) return -1;
  devinfo_set *s = wb::devinfo_of(h);
  if (!s) {
    wb::set_last_error(ERROR_INVALID_HANDLE);
    return -1;
  }
  return record_in(m, s, d);
}

void fill(model &m, devinfo_set *s, size_t index, PSP_DEVINFO_DATA d) {
  std::memset(&d->ClassGuid, 0, sizeof d->ClassGuid);
  int r = s->installer ? record_of(m, s->devices[index]) : -1;
  d->DevInst = r >= 0 ? kDevInstBase + static_cast<DWORD>(r) : static_cast<DWORD>(index + 1);
  d->Reserved = index;
}

// ---- the INF store -----------------------------------------------------------------------

const char *const kStore = "C:\\WINDOWS\\INF";

std::string store_folder(bool create) {
  if (create) {
    for (const char *p : {"C:\\", "C:\\WINDOWS", kStore}) ::mkdir(wb::map_path(p).c_str(), 0755);
  }
  return wb::map_path(kStore);
}

bool read_file(const std::string &path, std::string *out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

// oemNN.inf files of the store, by number.
std::map<int, std::string> store_files() {
  std::map<int, std::string> out;
  std::string dir = store_folder(false);
  DIR *d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    int n = -1;
    char tail[8] = {};
    if (std::sscanf(e->d_name, "%*1[oO]%*1[eE]%*1[mM]%d.%4s", &n, tail) == 2 && n >= 0 && strcasecmp(tail, "inf") == 0)
      out[n] = e->d_name;
  }
  closedir(d);
  return out;
}

std::string with_pnf(const std::string &inf) { return inf.substr(0, inf.rfind('.')) + ".pnf"; }

std::string base_of(const std::string &path) {
  size_t s = path.find_last_of("\\/");
  return s == std::string::npos ? path : path.substr(s + 1);
}

// Copies the INF into the store unless an identical copy is there; the published name, or "" (last
// error set).
std::string publish(const std::wstring &source, bool no_overwrite) {
  std::string text;
  std::string src = wb::map_wide_path(source.c_str());
  if (!read_file(src, &text)) {
    wb::set_last_error(ERROR_FILE_NOT_FOUND);
    return {};
  }
  std::string dir = store_folder(true);
  auto files = store_files();
  for (auto &f : files) {
    std::string other;
    if (read_file(dir + "/" + f.second, &other) && other == text) {
      if (no_overwrite) {
        wb::set_last_error(ERROR_FILE_EXISTS);
        return {};
      }
      return f.second;
    }
  }
  int n = 0;
  while (files.count(n)) ++n;
  std::string name = "oem" + std::to_string(n) + ".inf";
  std::ofstream inf(dir + "/" + name, std::ios::binary);
  std::ofstream pnf(dir + "/" + with_pnf(name), std::ios::binary);
  inf << text;
  pnf << "original=" << base_of(wb::to_utf8(source)) << "\nsource=" << wb::to_utf8(source) << "\n";
  if (!inf || !pnf) {
    wb::set_last_error(ERROR_ACCESS_DENIED);
    return {};
  }
  return name;
}

}  // namespace

// ---- test control ------------------------------------------------------------------------

namespace standin::devinst {

void reset() {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.devices.clear();
  m.pending = false;
  m.reboot = false;
  m.prompts = 0;
  for (auto &f : m.fails) f = failure{};
  for (auto &c : m.counts) c = 0;
  m.updates.clear();
}

void add_device(const device &d) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.devices.push_back(d);
}

std::vector<device> devices() {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  return m.devices;
}

bool find_device(const std::string &instance_id, device *out) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  int r = record_of(m, instance_id);
  if (r < 0) return false;
  if (out) *out = m.devices[r];
  return true;
}

std::vector<published_inf> inf_store() {
  std::vector<published_inf> out;
  std::string dir = store_folder(false);
  for (auto &f : store_files()) {
    published_inf p{f.second, ""};
    std::string pnf;
    std::string want = with_pnf(f.second);
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d))
        if (strcasecmp(e->d_name, want.c_str()) == 0) read_file(dir + "/" + e->d_name, &pnf);
      closedir(d);
    }
    size_t at = pnf.find("original=");
    if (at != std::string::npos) p.original_name = pnf.substr(at + 9, pnf.find('\n', at) - at - 9);
    out.push_back(p);
  }
  return out;
}

std::string inf_store_folder() { return store_folder(false); }

void set_install_in_progress(bool pending) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.pending = pending;
}

void set_update_needs_reboot(bool reboot) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.reboot = reboot;
}

int reboot_prompts() {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  return m.prompts;
}

void fail(call which, DWORD error, int skip, int times) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.fails[static_cast<int>(which)] = failure{true, error, skip, times};
}

int calls(call which) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  return m.counts[static_cast<int>(which)];
}

std::vector<update_request> update_requests() {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  return m.updates;
}

}  // namespace standin::devinst

// ---- the calls ---------------------------------------------------------------------------

#define WB_EXPORT __attribute__((visibility("default")))

extern "C" {

WB_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *guid, PCWSTR enumerator, HWND, DWORD flags) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::get_class_devs)) return INVALID_HANDLE_VALUE;
  if ((flags & DIGCF_DEVICEINTERFACE) || (!guid && !(flags & DIGCF_ALLCLASSES))) {
    wb::set_last_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto *s = new devinfo_set;
  s->installer = true;
  std::string en = enumerator ? wb::to_utf8(enumerator, std::wcslen(enumerator)) : std::string();
  // The records have no setup class: a set of one class holds none of them.
  if (flags & DIGCF_ALLCLASSES) {
    for (auto &d : m.devices) {
      if ((flags & DIGCF_PRESENT) && !d.present) continue;
      if (!en.empty() && !same_ci(d.instance_id.substr(0, d.instance_id.find('\\')), en)) continue;
      s->devices.push_back(d.instance_id);
    }
  }
  wb::set_last_error(0);
  return wb::devinfo_register(s);
}

WB_EXPORT HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *, HWND) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::create_info_list)) return INVALID_HANDLE_VALUE;
  auto *s = new devinfo_set;
  s->installer = true;
  wb::set_last_error(0);
  return wb::devinfo_register(s);
}

WB_EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::enum_device_info)) return FALSE;
  devinfo_set *s = wb::devinfo_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (index >= s->devices.size()) return fail(ERROR_NO_MORE_ITEMS);
  fill(m, s, index, data);
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                                        PBYTE buffer, DWORD size, PDWORD required) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  int r = record_for(m, call::get_property, h, data);
  if (r < 0) return FALSE;
  const auto &d = m.devices[r];
  std::vector<BYTE> bytes;
  DWORD value_type;
  if (property == SPDRP_HARDWAREID) {
    if (d.hardware_ids.empty()) return fail(ERROR_INVALID_DATA);
    std::wstring multi;
    for (auto &id : d.hardware_ids) multi += id + L'\0';
    multi.push_back(L'\0');
    auto *p = reinterpret_cast<const BYTE *>(multi.data());
    bytes.assign(p, p + multi.size() * sizeof(WCHAR));
    value_type = REG_MULTI_SZ;
  } else if (property == SPDRP_CONFIGFLAGS) {
    if (d.config_type == REG_NONE) return fail(ERROR_INVALID_DATA);
    auto *p = reinterpret_cast<const BYTE *>(&d.config_flags);
    bytes.assign(p, p + sizeof d.config_flags);
    value_type = d.config_type;
  } else {
    return fail(ERROR_INVALID_DATA);
  }
  if (required) *required = static_cast<DWORD>(bytes.size());
  if (type) *type = value_type;
  if (!buffer && size) return fail(ERROR_INVALID_USER_BUFFER);
  if (size < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, bytes.data(), bytes.size());
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property,
                                                        const BYTE *buffer, DWORD size) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  int r = record_for(m, call::set_property, h, data);
  if (r < 0) return FALSE;
  if (property != SPDRP_CONFIGFLAGS) return fail(kInvalidRegProperty);
  if (!buffer || size != sizeof(DWORD)) return fail(ERROR_INVALID_DATA);
  std::memcpy(&m.devices[r].config_flags, buffer, sizeof(DWORD));
  m.devices[r].config_type = REG_DWORD;
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO h, PSP_DEVINFO_DATA data, PWSTR id, DWORD size,
                                                  PDWORD required) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::get_instance_id)) return FALSE;
  devinfo_set *s = wb::devinfo_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (data->Reserved >= s->devices.size()) return fail(ERROR_INVALID_PARAMETER);
  std::wstring w = wb::from_utf8(s->devices[data->Reserved]);
  DWORD need = static_cast<DWORD>(w.size() + 1);
  if (required) *required = need;
  if (!id || size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::wmemcpy(id, w.c_str(), need);
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO h, PCWSTR id, HWND, DWORD, PSP_DEVINFO_DATA data) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::open_device_info)) return FALSE;
  devinfo_set *s = wb::devinfo_of(h);
  if (!s) return fail(ERROR_INVALID_HANDLE);
  if (!id || !s->installer) return fail(ERROR_INVALID_PARAMETER);
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  int r = record_of(m, wb::to_utf8(id, std::wcslen(id)));
  if (r < 0) return fail(ERROR_NO_SUCH_DEVINST);
  size_t index = 0;
  while (index < s->devices.size() && !same_ci(s->devices[index], m.devices[r].instance_id)) ++index;
  if (index == s->devices.size()) s->devices.push_back(m.devices[r].instance_id);
  if (data) fill(m, s, index, data);
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupCopyOEMInfW(PCWSTR source, PCWSTR, DWORD media_type, DWORD style, PWSTR dest,
                                       DWORD dest_size, PDWORD required, PWSTR *component) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::copy_oem_inf)) return FALSE;
  if (!source || media_type > SPOST_URL || (!dest && dest_size)) return fail(ERROR_INVALID_PARAMETER);
  std::string name = publish(source, (style & SP_COPY_NOOVERWRITE) != 0);
  if (name.empty()) return FALSE;
  std::wstring full = wb::from_utf8(std::string(kStore) + "\\" + name);
  if (required) *required = static_cast<DWORD>(full.size() + 1);
  if (dest) {
    if (dest_size <= full.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::wmemcpy(dest, full.c_str(), full.size() + 1);
    if (component) *component = dest + full.rfind(L'\\') + 1;
  }
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT BOOL WINAPI SetupUninstallOEMInfW(PCWSTR name, DWORD flags, PVOID) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (switched(m, call::uninstall_oem_inf)) return FALSE;
  if (!name || std::wcspbrk(name, L"\\/:")) return fail(ERROR_INVALID_PARAMETER);
  if (flags & ~static_cast<DWORD>(SUOI_FORCEDELETE)) return fail(ERROR_INVALID_FLAGS);
  std::string want = wb::to_utf8(name, std::wcslen(name));
  std::string found;
  for (auto &f : store_files())
    if (same_ci(f.second, want)) found = f.second;
  if (found.empty()) return fail(ERROR_FILE_NOT_FOUND);
  bool in_use = false;
  for (auto &d : m.devices) in_use = in_use || (d.present && same_ci(d.driver_inf, found));
  if (in_use && !(flags & SUOI_FORCEDELETE)) return fail(ERROR_INF_IN_USE_BY_DEVICES);
  std::string dir = store_folder(false);
  std::remove((dir + "/" + found).c_str());
  std::string pnf = with_pnf(found);
  if (DIR *d = opendir(dir.c_str())) {
    std::vector<std::string> gone;
    while (dirent *e = readdir(d))
      if (strcasecmp(e->d_name, pnf.c_str()) == 0) gone.push_back(e->d_name);
    closedir(d);
    for (auto &g : gone) std::remove((dir + "/" + g).c_str());
  }
  for (auto &d : m.devices)
    if (same_ci(d.driver_inf, found)) d.driver_inf.clear();
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT INT WINAPI SetupPromptReboot(HSPFILEQ, HWND, BOOL) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  ++m.prompts;
  return 0;  // the user chose not to restart now
}

WB_EXPORT BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardware_id, LPCWSTR inf_path, DWORD flags,
                                                         PBOOL reboot) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  m.updates.push_back({hardware_id ? hardware_id : L"", inf_path ? inf_path : L"", flags});
  if (switched(m, call::update_driver)) return FALSE;
  if (!hardware_id || !*hardware_id || !inf_path) return fail(ERROR_INVALID_PARAMETER);
  if (flags & ~static_cast<DWORD>(INSTALLFLAG_BITS)) return fail(ERROR_INVALID_FLAGS);
  struct stat st;
  if (::stat(wb::map_wide_path(inf_path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return fail(ERROR_FILE_NOT_FOUND);
  // Hardware ids are matched whole, without regard to case: there are no wildcards.
  std::vector<size_t> matched;
  for (size_t i = 0; i < m.devices.size(); ++i) {
    if (!m.devices[i].present) continue;
    for (auto &id : m.devices[i].hardware_ids)
      if (same_ci(id, std::wstring(hardware_id))) {
        matched.push_back(i);
        break;
      }
  }
  if (matched.empty()) return fail(ERROR_NO_SUCH_DEVINST);
  std::string published = publish(inf_path, false);
  if (published.empty()) return FALSE;
  for (size_t i : matched) {
    m.devices[i].driver_inf = published;
    ++m.devices[i].updates;
  }
  if (reboot) *reboot = m.reboot ? TRUE : FALSE;
  wb::set_last_error(0);
  return TRUE;
}

WB_EXPORT CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devinst, ULONG flags) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  if (!status || !problem) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  if (devinst < kDevInstBase || devinst - kDevInstBase >= m.devices.size()) return CR_INVALID_DEVNODE;
  if (switched(m, call::devnode_status)) return CR_NO_SUCH_DEVNODE;
  if (!m.devices[devinst - kDevInstBase].present) return CR_NO_SUCH_DEVNODE;
  *status = DN_STARTED | DN_DRIVER_LOADED;
  *problem = 0;
  return CR_SUCCESS;
}

WB_EXPORT DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD) {
  model &m = state();
  std::lock_guard<std::mutex> l(m.mu);
  return m.pending ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

}  // extern "C"
