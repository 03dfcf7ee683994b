// deploya: installs (or removes) the driver package for a list of hardware ids. No window, no
// message box: everything goes to %TMP%\deploya.log, appended to on every run.
//
//   deploya [/Uninstall | /U | /u] szInf szEnum hwid [hwid ...]
#include <windows.h>

#include <cfgmgr32.h>
#include <io.h>
#include <newdev.h>
#include <regstr.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <wchar.h>
#include <wctype.h>

#include <string>

#include "inf_match.h"
#include "inf_sources.h"

namespace {

constexpr size_t kMessageChars = 1023;
constexpr size_t kArgumentChars = 255;  // szInf, szEnum and each hardware id
constexpr int kMaxHardwareIds = 50;
constexpr size_t kPathChars = 260;
constexpr size_t kMultiByteId = 1024;
constexpr DWORD kInstanceIdChars = 200;

typedef DWORD(WINAPI *wait_no_pending_fn)(DWORD);
typedef BOOL(WINAPI *uninstall_oem_inf_fn)(PCWSTR, DWORD, PVOID);

class installer {
 public:
  int run(LPCSTR command_tail);

 private:
  void log_message(const wchar_t *format, ...);
  bool install_in_progress();
  void UnInstallDriver();
  DWORD UpdateDriver(const wchar_t *inf);
  HDEVINFO MarkDevicesAsNeedReinstall(const wchar_t *enumerator, const wchar_t *id);
  void set_reinstall_flag(HDEVINFO set);

  void open_log();
  void close_log();
  void log_header();
  bool take_arguments(LPWSTR *argv, int argc);
  bool media_root_of(const wchar_t *program, wchar_t *root);
  // The INF to install: media root + szInf, canonicalised; false when it does not fit a path.
  bool inf_path_of(const wchar_t *media_root, wchar_t *inf);
  bool inf_to_install_is_usable(const wchar_t *media_root, wchar_t *inf);
  bool package_is_complete(const wchar_t *inf);
  bool windir_is_the_windows_folder();
  void delete_logged(const wchar_t *path);
  void uninstall_matches(const wchar_t *windir, const wchar_t *file_name, const char *text, size_t size,
                         uninstall_oem_inf_fn uninstall);

  FILE *log_ = nullptr;
  bool uninstall_only_ = false;
  wchar_t inf_[kArgumentChars + 1] = {};
  wchar_t enum_[kArgumentChars + 1] = {};
  wchar_t ids_[kMaxHardwareIds][kArgumentChars + 1] = {};
  int id_count_ = 0;
};

// ---- log ---------------------------------------------------------------------------------

void installer::open_log() {
  wchar_t tmp[kPathChars];
  DWORD n = GetEnvironmentVariableW(L"TMP", tmp, kPathChars);
  // Without TMP (or with one too long for a path) the run goes on without a log.
  if (n == 0 || n >= kPathChars - 12) return;
  wcscat(tmp, L"\\deploya.log");
  log_ = _wfopen(tmp, L"a+");
}

void installer::close_log() {
  if (log_) fclose(log_);
  log_ = nullptr;
}

void installer::log_message(const wchar_t *format, ...) {
  if (!log_) return;
  wchar_t message[kMessageChars + 1];
  va_list ap;
  va_start(ap, format);
  int n = vswprintf(message, kMessageChars + 1, format, ap);
  va_end(ap);
  // A message longer than the buffer is cut; it keeps its end of line so the next one starts afresh.
  message[kMessageChars] = 0;
  if (n < 0 || static_cast<size_t>(n) > kMessageChars) {
    size_t f = wcslen(format);
    if (f > 0 && format[f - 1] == L'\n') message[kMessageChars - 1] = L'\n';
  }
  fputws(message, log_);
  fflush(log_);
}

void installer::log_header() {
  log_message(L"Start  \n");
  log_message(L"--------------------------------------------------------------\n");
  SYSTEMTIME st;
  GetSystemTime(&st);
  struct tm tm = {};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_wday = st.wDayOfWeek;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  wchar_t when[128];
  size_t len = wcsftime(when, 128, L"%a %b %d %Y, %H:%M:%S", &tm);
  log_message(L"*** Ondrel-Brivane deploya V1.2 [%.*ls.%03d GMT] *** \n", static_cast<int>(len), when,
              static_cast<int>(st.wMilliseconds));
}

// ---- pending installations -----------------------------------------------------------------

bool installer::install_in_progress() {
  HMODULE setupapi = GetModuleHandleA("setupapi.dll");
  if (!setupapi) return false;
  auto wait = reinterpret_cast<wait_no_pending_fn>(
      reinterpret_cast<void *>(GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents")));
  return wait && wait(0) == WAIT_TIMEOUT;
}

// ---- removal of earlier copies -----------------------------------------------------------

// Reads a whole file into a buffer that grows as needed; false when it cannot be opened or read whole.
bool read_whole(const wchar_t *path, char **buffer, size_t *capacity, size_t *size) {
  FILE *f = _wfopen(path, L"rS");
  if (!f) return false;
  *size = 0;
  bool whole = true;
  for (;;) {
    if (*size == *capacity) {
      size_t grown = *capacity * 2;
      auto *bigger = static_cast<char *>(realloc(*buffer, grown));
      if (!bigger) {
        whole = false;
        break;
      }
      *buffer = bigger;
      *capacity = grown;
    }
    size_t got = fread(*buffer + *size, 1, *capacity - *size, f);
    if (got == 0) break;
    *size += got;
  }
  whole = whole && !ferror(f);
  fclose(f);
  return whole;
}

// The Windows folder named by Windir; false without one (or with one too long for a store path).
bool windir_of(wchar_t *windir) {
  DWORD n = GetEnvironmentVariableW(L"Windir", windir, kPathChars);
  return n > 0 && n < kPathChars - 16;
}

// Replaces the extension from the last "." (in the file name) by `ext`; false when it would not fit.
bool with_extension(const wchar_t *path, const wchar_t *ext, wchar_t *out) {
  size_t len = wcslen(path);
  const wchar_t *dot = wcsrchr(path, L'.');
  const wchar_t *sep = wcsrchr(path, L'\\');
  size_t keep = (dot && (!sep || dot > sep)) ? static_cast<size_t>(dot - path) : len;
  if (keep + wcslen(ext) >= kPathChars) return false;
  wmemcpy(out, path, keep);
  wcscpy(out + keep, ext);
  return true;
}

void installer::uninstall_matches(const wchar_t *windir, const wchar_t *file_name, const char *text, size_t size,
                                  uninstall_oem_inf_fn uninstall) {
  for (int i = 0; i < id_count_; ++i) {
    char id[kMultiByteId];
    int n = WideCharToMultiByte(CP_ACP, 0, ids_[i], -1, id, static_cast<int>(kMultiByteId), nullptr, nullptr);
    if (n <= 1 || !deploya::inf_names_id(text, size, id, static_cast<size_t>(n - 1))) continue;
    log_message(L"\t\t\tfound : [%ls]\n", ids_[i]);
    // Each id starts again from the INF's own path.
    wchar_t inf[kPathChars];
    wchar_t pnf[kPathChars];
    if (swprintf(inf, kPathChars, L"%ls\\INF\\%ls", windir, file_name) < 0 || !with_extension(inf, L".pnf", pnf))
      continue;
    _wchmod(inf, _S_IWRITE);
    log_message(L"\t\t\t_tchmod : [%ls]\n", inf);
    log_message(L"\t\t\t_tchmod : [%ls]\n", pnf);
    _wchmod(pnf, _S_IWRITE);
    if (uninstall) {
      log_message(L"\t\t\tSetupUninstallOEMInf : [%ls]\n", file_name);
      if (uninstall(file_name, SUOI_FORCEDELETE, nullptr))
        log_message(L"\t\t\tSetupUninstallOEMInf  Ok\n");
      else
        log_message(L"\t\t\tSetupUninstallOEMInf  Failed %d \n", static_cast<int>(GetLastError()));
    }
    delete_logged(inf);
    delete_logged(pnf);
  }
}

// A file the uninstall call already removed is gone, not failed; one still there after DeleteFile is.
void installer::delete_logged(const wchar_t *path) {
  log_message(L"\t\t\tDeleteFile : [%ls]\n", path);
  if (DeleteFileW(path)) return;
  DWORD error = GetLastError();
  if (_waccess(path, 0) == 0) log_message(L"\t\t\tDeleteFile  Failed %d \n", static_cast<int>(error));
}

void installer::UnInstallDriver() {
  log_message(L"\tUnInstallDriver \n");
  HMODULE setupapi = LoadLibraryA("Setupapi.dll");
  uninstall_oem_inf_fn uninstall = setupapi ? reinterpret_cast<uninstall_oem_inf_fn>(reinterpret_cast<void *>(
                                                  GetProcAddress(setupapi, "SetupUninstallOEMInfW")))
                                            : nullptr;
  wchar_t windir[kPathChars];
  // Without Windir (or with one too long for a path) there is no store to search.
  if (windir_of(windir)) {
    wchar_t pattern[kPathChars];
    swprintf(pattern, kPathChars, L"%ls\\Inf\\Oem*.inf", windir);
    size_t capacity = 256;
    char *buffer = static_cast<char *>(malloc(capacity));
    WIN32_FIND_DATAW found;
    HANDLE search = buffer ? FindFirstFileW(pattern, &found) : INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
      do {
        wchar_t path[kPathChars];
        if (swprintf(path, kPathChars, L"%ls\\INF\\%ls", windir, found.cFileName) < 0) continue;
        size_t size = 0;
        if (!read_whole(path, &buffer, &capacity, &size)) {
          log_message(L"\t\tOpening : [%ls] FAILED \n", path);
          continue;
        }
        log_message(L"\t\tOpening : [%ls]\n", path);
        if (size == 0) continue;
        uninstall_matches(windir, found.cFileName, buffer, size, uninstall);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    free(buffer);
  }
  if (setupapi) FreeLibrary(setupapi);
  log_message(L"\tUnInstallDriver Exit\n");
}

// ---- update and pre-installation -----------------------------------------------------------

HDEVINFO installer::MarkDevicesAsNeedReinstall(const wchar_t *enumerator, const wchar_t *id) {
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES);
  if (all == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HDEVINFO result = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  DWORD capacity = 0;
  BYTE *buffer = nullptr;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; error == 0 && SetupDiEnumDeviceInfo(all, index, &device); ++index) {
    DWORD type = 0;
    DWORD size = 0;
    bool read = false;
    for (;;) {
      if (SetupDiGetDeviceRegistryPropertyW(all, &device, SPDRP_HARDWAREID, &type, buffer, capacity, &size)) {
        read = true;
        break;
      }
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= capacity) break;
      if (buffer) GlobalFree(buffer);
      buffer = static_cast<BYTE *>(GlobalAlloc(GMEM_FIXED, size));
      capacity = buffer ? size : 0;
      if (!buffer) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        break;
      }
    }
    if (!read || type != REG_MULTI_SZ || size <= sizeof(WCHAR)) continue;
    // Walk the strings only within what was read, whether or not the value ends as it should.
    const wchar_t *p = reinterpret_cast<const wchar_t *>(buffer);
    const wchar_t *end = p + size / sizeof(WCHAR);
    while (p < end && *p) {
      const wchar_t *next = p;
      while (next < end && *next) ++next;
      if (next == end) break;  // not terminated: not a string
      if (lstrcmpiW(p, id) == 0) {
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_SUCCESS) {
          if (result == INVALID_HANDLE_VALUE) result = SetupDiCreateDeviceInfoList(nullptr, nullptr);
          wchar_t instance[kInstanceIdChars];
          if (result == INVALID_HANDLE_VALUE ||
              !SetupDiGetDeviceInstanceIdW(all, &device, instance, kInstanceIdChars, nullptr) ||
              !SetupDiOpenDeviceInfoW(result, instance, nullptr, 0, nullptr))
            error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        }
        break;
      }
      p = next + 1;
    }
  }
  if (buffer) GlobalFree(buffer);
  SetupDiDestroyDeviceInfoList(all);
  if (error != 0 && result != INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(result);
    result = INVALID_HANDLE_VALUE;
  }
  SetLastError(error);
  return result;
}

void installer::set_reinstall_flag(HDEVINFO set) {
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    DWORD type = 0;
    DWORD flags = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, &type, reinterpret_cast<BYTE *>(&flags),
                                           sizeof flags, nullptr) ||
        type != REG_DWORD)
      flags = 0;
    flags |= CONFIGFLAG_REINSTALL;
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE *>(&flags),
                                           sizeof flags))
      log_message(L"\t\t\tSetupDiSetDeviceRegistryProperty  Failed %d \n", static_cast<int>(GetLastError()));
  }
}

bool installer::inf_path_of(const wchar_t *media_root, wchar_t *inf) {
  wchar_t joined[kPathChars];
  if (wcslen(media_root) + wcslen(inf_) >= kPathChars) return false;
  wcscpy(joined, media_root);
  wcscat(joined, inf_);
  return PathCanonicalizeW(inf, joined) != FALSE;
}

// `inf` was checked before any change; it is looked for again in case it went since.
DWORD installer::UpdateDriver(const wchar_t *inf) {
  log_message(L"\tUpdateDriver \n");
  if (_waccess(inf, 0) != 0) {
    log_message(L"\tUpdateDriver ERROR_FILE_NOT_FOUND %ls\n", inf);
    return 0;
  }
  DWORD error = 0;
  bool reboot_needed = false;
  for (int i = 0; i < id_count_; ++i) {
    const wchar_t *id = ids_[i];
    log_message(L"\t\t[%ls] %ls\n", id, inf);
    BOOL reboot = FALSE;
    bool mark = false;
    if (UpdateDriverForPlugAndPlayDevicesW(GetParent(nullptr), id, inf, INSTALLFLAG_FORCE, &reboot)) {
      error = 0;
      reboot_needed = reboot_needed || reboot;
      log_message(L"\t\tUpdateDriverForPlugAndPlayDevices TRUE -> at least one device existed, and was upgraded.\n");
      mark = true;
    } else {
      error = GetLastError();
      switch (error) {
        case ERROR_FILE_NOT_FOUND:
          log_message(
              L"\t\tUpdateDriverForPlugAndPlayDevices error:%d The path specified for FullInfPath does not "
              L"exist. \n",
              static_cast<int>(error));
          break;
        case ERROR_NO_MORE_ITEMS:
          log_message(L"\t\tUpdateDriverForPlugAndPlayDevices error:%d  ERROR_NO_MORE_ITEMS\n",
                      static_cast<int>(error));
          break;
        case ERROR_INVALID_FLAGS:
          log_message(
              L"\t\tUpdateDriverForPlugAndPlayDevices error:%d The value specified for InstallFlags is "
              L"invalid. \n",
              static_cast<int>(error));
          break;
        case ERROR_IN_WOW64:
          log_message(
              L"\t\tUpdateDriverForPlugAndPlayDevices error:%d The calling application is a 32-bit "
              L"application attempting to execute in a 64-bit environment, which is not allowed.\n",
              static_cast<int>(error));
          break;
        case ERROR_NO_SUCH_DEVINST:
          log_message(
              L"\t\tUpdateDriverForPlugAndPlayDevices ERROR_NO_SUCH_DEVINST ->The value specified for "
              L"HardwareId does not match any device on the system. That is, the device is not plugged "
              L"in.\n");
          log_message(L"\t\tSetupCopyOEMInf : [%ls]\n", inf);
          if (SetupCopyOEMInfW(inf, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
            log_message(L"\t\tSetupCopyOEMInf Ok\n");
            mark = true;
          } else {
            error = GetLastError();
            log_message(L"\t\tFailure to install the INF Error %d \n", static_cast<int>(error));
          }
          break;
        default:
          log_message(
              L"\t\tUpdateDriverForPlugAndPlayDevices error:%d ->Apparently there _were_ existing "
              L"devices--we just failed toupgrade their drivers.  This might be due to an installation "
              L"problem, or perhaps because the devices already have drivers newer than the one we "
              L"offered.\n",
              static_cast<int>(error));
          break;
      }
    }
    if (mark) {
      HDEVINFO set = MarkDevicesAsNeedReinstall(enum_, id);
      if (set == INVALID_HANDLE_VALUE) {
        log_message(L"\t\tMarkDevicesAsNeedReinstall  [%ls] NO\n", id);
      } else {
        log_message(L"\t\tMarkDevicesAsNeedReinstall [%ls] YES\n", id);
        set_reinstall_flag(set);
        SetupDiDestroyDeviceInfoList(set);
      }
    }
    log_message(L"\t\t\n");
  }
  if (reboot_needed) {
    log_message(L"\t\tSetupPromptReboot \n");
    SetupPromptReboot(nullptr, nullptr, FALSE);
  }
  log_message(L"\tUpdateDriver Exit\n");
  return error;
}

// ---- command line ------------------------------------------------------------------------

bool installer::take_arguments(LPWSTR *argv, int argc) {
  // The flag is the whole argument: an INF named "drivers/usb.inf" holds "/u" but is no flag.
  uninstall_only_ = wcscmp(argv[1], L"/Uninstall") == 0 || wcscmp(argv[1], L"/U") == 0 || wcscmp(argv[1], L"/u") == 0;
  int u = uninstall_only_ ? 1 : 0;
  if (uninstall_only_) log_message(L"Uninstall  Mode only\n");
  for (int i = 1 + u; i < argc; ++i) {
    if (wcslen(argv[i]) > kArgumentChars) {
      log_message(L" ERROR ! Argument %d longer than %d characters -> Exit ... \n", i,
                  static_cast<int>(kArgumentChars));
      return false;
    }
  }
  id_count_ = argc - (3 + u);
  if (id_count_ > kMaxHardwareIds) {
    log_message(L" ERROR ! %d hardware ids, at most %d -> Exit ... \n", id_count_, kMaxHardwareIds);
    id_count_ = 0;
    return false;
  }
  if (id_count_ < 0) id_count_ = 0;
  wcscpy(inf_, argv[1 + u]);
  wcscpy(enum_, argv[2 + u]);
  for (int i = 0; i < id_count_; ++i) wcscpy(ids_[i], argv[3 + u + i]);
  return true;
}

// "amd64" in any case, followed by the trailing separator.
bool is_amd64(const wchar_t *p) {
  const wchar_t *want = L"amd64";
  for (int i = 0; i < 5; ++i)
    if (static_cast<wchar_t>(towlower(p[i])) != want[i]) return false;
  return true;
}

bool installer::media_root_of(const wchar_t *program, wchar_t *root) {
  wchar_t full[kPathChars];
  DWORD n = GetFullPathNameW(program, kPathChars, full, nullptr);
  if (n == 0 || n >= kPathChars) return false;
  wchar_t *sep = wcsrchr(full, L'\\');
  if (!sep) return false;
  sep[1] = 0;
  size_t len = wcslen(full);
  if (len > 6 && (full[len - 7] == L'\\' || full[len - 7] == L'/') && is_amd64(full + len - 6)) full[len - 6] = 0;
  wcscpy(root, full);
  return true;
}

bool installer::inf_to_install_is_usable(const wchar_t *media_root, wchar_t *inf) {
  if (!inf_path_of(media_root, inf)) {
    log_message(L" ERROR ! ERROR_FILENAME_EXCED_RANGE %ls%ls -> Exit ... \n", media_root, inf_);
    return false;
  }
  if (_waccess(inf, 0) != 0) {
    log_message(L" ERROR ! ERROR_FILE_NOT_FOUND %ls -> Exit ... \n", inf);
    return false;
  }
  return true;
}

// An INF's bytes in wide characters: UTF-16 or UTF-8 after a byte-order mark, else the ANSI code page.
bool inf_text_of(const char *buffer, size_t size, std::wstring *text) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(buffer);
  text->clear();
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    for (size_t i = 2; i + 1 < size; i += 2) text->push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    return true;
  }
  size_t skip = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  UINT page = skip ? CP_UTF8 : CP_ACP;
  if (size - skip > 0x7FFFFFFF) return false;
  int n = static_cast<int>(size - skip);
  if (n == 0) return true;
  int chars = MultiByteToWideChar(page, 0, buffer + skip, n, nullptr, 0);
  if (chars <= 0) return false;
  text->resize(static_cast<size_t>(chars));
  return MultiByteToWideChar(page, 0, buffer + skip, n, &(*text)[0], chars) == chars;
}

bool read_inf_text(const wchar_t *path, std::wstring *text) {
  size_t capacity = 256;
  size_t size = 0;
  char *buffer = static_cast<char *>(malloc(capacity));
  bool read = buffer && read_whole(path, &buffer, &capacity, &size) && inf_text_of(buffer, size, text);
  free(buffer);
  return read;
}

// Every file the INF brings must be on the media, each in the folder its source disk names.
bool installer::package_is_complete(const wchar_t *inf) {
  std::wstring text;
  if (!read_inf_text(inf, &text)) {
    log_message(L" ERROR ! ERROR_READ_FAULT %ls -> Exit ... \n", inf);
    return false;
  }
  const wchar_t *sep = wcsrchr(inf, L'\\');
  const std::wstring folder(inf, sep ? static_cast<size_t>(sep - inf + 1) : 0);
  bool complete = true;
  for (const deploya::source_file &f : deploya::inf_source_files(text, L"amd64")) {
    const std::wstring path = folder + f.path;
    if (!f.disk_named)
      log_message(L" ERROR ! ERROR_INVALID_DATA %ls names no source disk for %ls -> Exit ... \n", inf, f.name.c_str());
    else if (path.size() >= kPathChars)
      log_message(L" ERROR ! ERROR_FILENAME_EXCED_RANGE %ls -> Exit ... \n", path.c_str());
    else if (_waccess(path.c_str(), 0) != 0)
      log_message(L" ERROR ! ERROR_FILE_NOT_FOUND %ls -> Exit ... \n", path.c_str());
    else
      continue;
    complete = false;
  }
  return complete;
}

// Both name the same folder: full paths, no trailing separator, case aside.
bool same_folder(const wchar_t *a, const wchar_t *b) {
  wchar_t full[2][kPathChars];
  const wchar_t *in[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    DWORD n = GetFullPathNameW(in[i], kPathChars, full[i], nullptr);
    if (n == 0 || n >= kPathChars) return false;
    while (n > 0 && (full[i][n - 1] == L'\\' || full[i][n - 1] == L'/')) full[i][--n] = 0;
  }
  return lstrcmpiW(full[0], full[1]) == 0;
}

// The clean-up deletes below Windir: one that is not the system's Windows folder would take it out of
// the INF store, so such a run changes nothing.
bool installer::windir_is_the_windows_folder() {
  wchar_t windir[kPathChars];
  if (!windir_of(windir)) return true;  // no store is searched
  wchar_t system[kPathChars];
  UINT n = GetWindowsDirectoryW(system, kPathChars);
  if (n == 0 || n >= kPathChars) system[0] = 0;
  if (system[0] && same_folder(windir, system)) return true;
  log_message(L" ERROR ! Windir [%ls] is not the Windows directory [%ls] -> Exit ... \n", windir, system);
  return false;
}

int installer::run(LPCSTR command_tail) {
  open_log();
  log_header();
  if (install_in_progress()) {
    log_message(L" ERROR ! DeviceInstallInProgress -> Exit ... \n");
    close_log();
    return 0;
  }
  {
    const char *tail = command_tail ? command_tail : "";
    int n = MultiByteToWideChar(CP_ACP, 0, tail, -1, nullptr, 0);
    wchar_t *wide = n > 0 ? static_cast<wchar_t *>(calloc(static_cast<size_t>(n), sizeof(wchar_t))) : nullptr;
    if (wide && MultiByteToWideChar(CP_ACP, 0, tail, -1, wide, n) > 0) log_message(L"CmdLine : [%ls]\n", wide);
    free(wide);
  }
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 4 || !take_arguments(argv, argc)) {
    if (argv) LocalFree(argv);
    close_log();
    return -1;
  }
  LocalFree(argv);
  // The program's own file: the name a launcher passed as argv[0] may be bare or anything at all.
  wchar_t program[kPathChars] = {};
  DWORD program_chars = GetModuleFileNameW(nullptr, program, kPathChars);
  program[kPathChars - 1] = 0;  // a cut name may be left unterminated
  wchar_t media_root[kPathChars];
  // Every input is checked before the clean-up: a refused run leaves the machine as it was.
  wchar_t inf[kPathChars] = {};
  bool usable = true;
  if (program_chars == 0 || program_chars >= kPathChars || !media_root_of(program, media_root)) {
    log_message(L" ERROR ! ERROR_FILENAME_EXCED_RANGE %ls -> Exit ... \n", program);
    usable = false;
  }
  usable = usable && windir_is_the_windows_folder();
  usable = usable && (uninstall_only_ || (inf_to_install_is_usable(media_root, inf) && package_is_complete(inf)));
  if (!usable) {
    close_log();
    return -1;
  }
  log_message(L"szInf              : [%ls]\n", inf_);
  log_message(L"szEnum             : [%ls]\n", enum_);
  for (int i = 0; i < id_count_; ++i) log_message(L"szHW_ID[%d]         : [%ls]\n", i, ids_[i]);
  log_message(L"MediaRootDirectory : [%ls]\n", media_root);
  UnInstallDriver();
  if (!uninstall_only_) UpdateDriver(inf);
  log_message(L"Exit \n\n ");
  close_log();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_tail, int) {
  // Large fixed buffers: kept off the stack.
  auto *run = new installer;
  int code = run->run(command_tail);
  delete run;
  return code;
}
