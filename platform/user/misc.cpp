// Messages, the debug-output sink, version, strings, system folders, time and path mapping.
#include <standin/debug.h>
#include <standin/version.h>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>

#include "internal.h"

using namespace wb;

// ---- Windows paths -----------------------------------------------------------------------

namespace {

// The entry of `dir` whose name equals `name` ignoring case, or "" when there is none.
std::string find_ci(const std::string &dir, const std::string &name) {
  DIR *d = opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return {};
  std::string found;
  while (dirent *e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

bool exists(const std::string &p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

namespace wb {

std::string map_path(const char *windows_path) {
  if (!windows_path) return {};
  std::string in(windows_path);
  for (char &c : in)
    if (c == '\\') c = '/';
  std::string out;
  std::string rest;
  bool relative = false;
  if (in.size() >= 2 && std::isalpha(static_cast<unsigned char>(in[0])) && in[1] == ':') {
    const char *root = std::getenv("ZEPH_ROOT");
    std::string base = root && *root ? root : ".";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    out = base + "/" + static_cast<char>(std::tolower(static_cast<unsigned char>(in[0])));
    rest = in.substr(2);
  } else if (!in.empty() && in[0] == '/') {
    out = "";
    rest = in;
  } else {
    out = ".";
    rest = "/" + in;
    relative = true;
  }
  // Walk the components, matching existing ones case-insensitively.
  size_t i = 0;
  bool resolving = true;
  while (i < rest.size()) {
    if (rest[i] == '/') {
      ++i;
      continue;
    }
    size_t j = rest.find('/', i);
    if (j == std::string::npos) j = rest.size();
    std::string comp = rest.substr(i, j - i);
    std::string next = out + "/" + comp;
    if (resolving && comp != "." && comp != ".." && !exists(next)) {
      std::string m = find_ci(out, comp);
      if (!m.empty())
        next = out + "/" + m;
      else
        resolving = false;
    }
    out = next;
    i = j;
  }
  if (out.empty())
    out.push_back('/');
  else if (!rest.empty() && rest.back() == '/' && out.back() != '/')
    out.push_back('/');
  if (relative && out.size() > 2 && out[0] == '.' && out[1] == '/') out.erase(0, 2);
  return out;
}

}  // namespace wb

// ---- debug output ------------------------------------------------------------------------

namespace {

struct debug_sink {
  std::mutex m;
  std::deque<std::string> lines;
  bool echo = false;
  debug_sink() {
    const char *e = std::getenv("ZEPH_DEBUG_ECHO");
    echo = e && *e && *e != '0';
  }
};

debug_sink &sink() {
  static auto *s = new debug_sink;
  return *s;
}

constexpr size_t k_max_debug_lines = 10000;

struct version_state {
  std::mutex m;
  DWORD platform = VER_PLATFORM_WIN32_NT, major = 5, minor = 1, build = 2600;
  std::string csd = "Service Pack 3";
};

version_state &version() {
  static auto *v = new version_state;
  return *v;
}

// Texts for the codes the system meets, ending with CR LF as the system's own texts do.
const char *message_text(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION: return "Incorrect function.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough storage is available to process this command.";
    case ERROR_OUTOFMEMORY: return "Not enough storage is available to complete this operation.";
    case ERROR_NOT_READY: return "The device is not ready.";
    case ERROR_CRC: return "Data error (cyclic redundancy check).";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION: return "The file is in use by another process.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_SEM_TIMEOUT: return "The semaphore timeout period has expired.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_MOD_NOT_FOUND: return "The specified module could not be found.";
    case ERROR_PROC_NOT_FOUND: return "The specified procedure could not be found.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_MORE_DATA: return "More data is available.";
    case WAIT_TIMEOUT: return "The wait operation timed out.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_NOT_OWNER: return "Attempt to release mutex not owned by caller.";
    case ERROR_OPERATION_ABORTED: return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case ERROR_IO_INCOMPLETE: return "Overlapped I/O event is not in a signaled state.";
    case ERROR_IO_PENDING: return "Overlapped I/O operation is in progress.";
    case ERROR_NOACCESS: return "Invalid access to memory location.";
    case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_IO_DEVICE: return "The request could not be performed because of an I/O device error.";
    case ERROR_DLL_INIT_FAILED: return "A dynamic link library (DLL) initialization routine failed.";
    case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected.";
    case ERROR_NOT_FOUND: return "Element not found.";
    case ERROR_TIMEOUT: return "This operation returned because the timeout period expired.";
    case ERROR_DEVICE_REMOVED: return "The device has been removed.";
    case 8309: return "The reply is longer than the buffer supplied for it.";
    default: return nullptr;
  }
}

}  // namespace

extern "C" {

void WINAPI OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  if (s.lines.size() >= k_max_debug_lines) s.lines.pop_front();
  s.lines.emplace_back(text);
  if (s.echo) std::fprintf(stderr, "%s", text);
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD lang, LPSTR buffer, DWORD size,
                            va_list *args) {
  (void)lang;
  (void)args;
  std::string text;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!source) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const char *>(source);
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && text.find('%') != std::string::npos) {
      // Inserts are not supported; an unformatted result would mislead the caller.
      set_last_error(ERROR_INVALID_PARAMETER);
      return 0;
    }
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    const char *t = message_text(id);
    if (!t) {
      if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && buffer) *reinterpret_cast<LPSTR *>(buffer) = nullptr;
      set_last_error(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    text = t;
    text += "\r\n";
  } else {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!buffer) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t n = text.size() + 1;
    if (n < size) n = size;
    auto *p = static_cast<char *>(LocalAlloc(LMEM_FIXED, n));
    *reinterpret_cast<LPSTR *>(buffer) = p;
    if (!p) return 0;  // last error set by LocalAlloc
    std::memcpy(p, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
  }
  if (text.size() + 1 > size) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto &v = version();
  std::lock_guard<std::mutex> g(v.m);
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = v.platform;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  std::strncpy(info->szCSDVersion, v.csd.c_str(), sizeof info->szCSDVersion - 1);
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
    auto *ex = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
    unsigned sp = 0;
    std::sscanf(v.csd.c_str(), "Service Pack %u", &sp);
    ex->wServicePackMajor = static_cast<WORD>(sp);
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0;
    ex->wProductType = 1;  // workstation
    ex->wReserved = 0;
  }
  return TRUE;
}

// ---- strings -----------------------------------------------------------------------------

int WINAPI lstrlenA(LPCSTR s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

LPSTR WINAPI lstrcpyA(LPSTR d, LPCSTR s) {
  if (!d || !s) return nullptr;
  return std::strcpy(d, s);
}

LPSTR WINAPI lstrcpynA(LPSTR d, LPCSTR s, int max) {
  if (!d || !s || max <= 0) return d;
  int i = 0;
  for (; i < max - 1 && s[i]; ++i) d[i] = s[i];
  d[i] = '\0';
  return d;
}

LPSTR WINAPI lstrcatA(LPSTR d, LPCSTR s) {
  if (!d || !s) return nullptr;
  return std::strcat(d, s);
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  int r = std::strcmp(a ? a : "", b ? b : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  int r = strcasecmp(a ? a : "", b ? b : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int WINAPI lstrlenW(LPCWSTR s) { return s ? static_cast<int>(std::wcslen(s)) : 0; }

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  if (!a) a = L"";
  if (!b) b = L"";
  for (;; ++a, ++b) {
    wint_t x = towlower(static_cast<wint_t>(*a)), y = towlower(static_cast<wint_t>(*b));
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

// The system's formatter writes at most 1024 bytes, the NUL included.
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
  if (!buffer || !format) return -1;
  int n = std::vsnprintf(buffer, 1024, format, args);
  if (n < 0) return -1;
  return n > 1023 ? 1023 : n;
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = wvsprintfA(buffer, format, ap);
  va_end(ap);
  return n;
}

// ---- system folders and environment ------------------------------------------------------

namespace {
UINT copy_out(const char *text, LPSTR buffer, UINT size) {
  UINT n = static_cast<UINT>(std::strlen(text));
  if (!buffer || size <= n) return n + 1;
  std::memcpy(buffer, text, n + 1);
  return n;
}
}  // namespace

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) { return copy_out("C:\\WINDOWS", buffer, size); }
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) { return copy_out("C:\\WINDOWS\\system32", buffer, size); }

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char *v = name ? std::getenv(name) : nullptr;
  if (!v) {
    set_last_error(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return copy_out(v, buffer, size);
}

// ---- wall-clock time ---------------------------------------------------------------------

void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
  uint64_t t = filetime_now();
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

namespace {
void fill_systemtime(LPSYSTEMTIME st, bool local) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  if (local)
    localtime_r(&ts.tv_sec, &tm);
  else
    gmtime_r(&ts.tv_sec, &tm);
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}
}  // namespace

void WINAPI GetSystemTime(LPSYSTEMTIME st) { fill_systemtime(st, false); }
void WINAPI GetLocalTime(LPSYSTEMTIME st) { fill_systemtime(st, true); }

}  // extern "C"

// ---- test control ------------------------------------------------------------------------

namespace standin::debug {

std::vector<std::string> lines() {
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  return {s.lines.begin(), s.lines.end()};
}

std::string text() {
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  std::string out;
  for (auto &l : s.lines) out += l;
  return out;
}

std::size_t count() {
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  return s.lines.size();
}

void clear() {
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  s.lines.clear();
}

void set_echo(bool on) {
  auto &s = sink();
  std::lock_guard<std::mutex> g(s.m);
  s.echo = on;
}

}  // namespace standin::debug

namespace standin::version {

void set(DWORD platform_id, DWORD major, DWORD minor, DWORD build, const std::string &csd) {
  auto &v = ::version();
  std::lock_guard<std::mutex> g(v.m);
  v.platform = platform_id;
  v.major = major;
  v.minor = minor;
  v.build = build;
  v.csd = csd;
}

void reset() { set(VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 3"); }

}  // namespace standin::version
