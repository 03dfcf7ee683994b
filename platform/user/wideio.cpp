// Wide-character calls: code-page conversion (the "ANSI" code page is UTF-8), the command line and its
// splitting, the environment, full and canonical path names, file search and deletion, and the C
// runtime's wide file calls. Paths are Windows paths, mapped with map_path like every other.
#include <io.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <standin/process.h>
#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "wide.h"

namespace wb {

std::string to_utf8(const wchar_t *w, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = static_cast<uint32_t>(w[i]);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string to_utf8(const std::wstring &w) { return to_utf8(w.data(), w.size()); }

std::wstring from_utf8(const char *s, size_t n) {
  std::wstring out;
  size_t i = 0;
  while (i < n) {
    auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    uint32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= n || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  return out;
}

std::wstring from_utf8(const std::string &s) { return from_utf8(s.data(), s.size()); }

std::string map_wide_path(const wchar_t *p) { return map_path(to_utf8(p, wcslen(p)).c_str()); }

}  // namespace wb

using namespace wb;

namespace {

DWORD errno_to_error(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
  }
}

// The converted text into the caller's buffer: its length, or the length needed when out_len is 0.
template <class Text, class Char>
int copy_converted(const Text &text, Char *out, int out_len) {
  if (out_len == 0) return static_cast<int>(text.size());
  if (text.size() > static_cast<size_t>(out_len)) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), out);
  return static_cast<int>(text.size());
}

// ---- the command line --------------------------------------------------------------------

struct command_line {
  std::mutex mu;
  bool overridden = false;
  std::wstring wide;
  std::string narrow;
  // Handed-out copies stay valid for the process, as Windows' do.
  std::vector<std::wstring *> wide_copies;
  std::vector<std::string *> narrow_copies;
};

command_line &cmdline() {
  static auto *c = new command_line;
  return *c;
}

// The program's own command line: its arguments, quoted where they hold a space or a tab.
std::wstring startup_command_line() {
  std::string all;
  if (FILE *f = std::fopen("/proc/self/cmdline", "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
    std::fclose(f);
  }
  std::string line;
  size_t i = 0;
  while (i < all.size()) {
    size_t j = all.find('\0', i);
    if (j == std::string::npos) j = all.size();
    std::string arg = all.substr(i, j - i);
    if (!line.empty()) line.push_back(' ');
    if (arg.empty() || arg.find_first_of(" \t") != std::string::npos)
      line += "\"" + arg + "\"";
    else
      line += arg;
    i = j + 1;
  }
  return from_utf8(line);
}

std::wstring current_command_line() {
  auto &c = cmdline();
  std::lock_guard<std::mutex> l(c.mu);
  if (!c.overridden) {
    c.wide = startup_command_line();
    c.overridden = true;
  }
  return c.wide;
}

// ---- paths -------------------------------------------------------------------------------

bool is_sep(wchar_t c) { return c == L'\\' || c == L'/'; }

// Removes "." and ".." components of a path whose root (drive, leading separator) is `root` chars long.
std::wstring drop_dots(const std::wstring &path, size_t root) {
  std::vector<std::wstring> parts;
  size_t i = root;
  while (i <= path.size()) {
    size_t j = i;
    while (j < path.size() && !is_sep(path[j])) ++j;
    std::wstring comp = path.substr(i, j - i);
    if (comp == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (comp != L"." && !(comp.empty() && j < path.size())) {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  std::wstring out = path.substr(0, root);
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out.push_back(L'\\');
    out += parts[k];
  }
  return out;
}

// ---- file search -------------------------------------------------------------------------

struct find_state {
  std::vector<std::string> names;  // matches, in the folder's order
  std::string folder;
  size_t next = 0;
};

std::mutex g_find_mu;
std::set<find_state *> &finds() {
  static auto *s = new std::set<find_state *>;
  return *s;
}

bool wild_match(const wchar_t *p, const wchar_t *s) {
  if (*p == 0) return *s == 0;
  if (*p == L'*') return wild_match(p + 1, s) || (*s && wild_match(p, s + 1));
  if (*s == 0) return false;
  if (*p != L'?' && std::towlower(*p) != std::towlower(*s)) return false;
  return wild_match(p + 1, s + 1);
}

bool fill_find(find_state *f, LPWIN32_FIND_DATAW d) {
  while (f->next < f->names.size()) {
    const std::string &n = f->names[f->next++];
    struct stat st;
    if (::stat((f->folder + "/" + n).c_str(), &st) != 0) continue;  // gone since the search began
    std::wstring w = from_utf8(n);
    if (w.size() >= 260) continue;
    std::memset(d, 0, sizeof *d);
    d->dwFileAttributes = S_ISDIR(st.st_mode)      ? FILE_ATTRIBUTE_DIRECTORY
                          : (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE
                                                   : FILE_ATTRIBUTE_READONLY;
    d->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    d->nFileSizeLow = static_cast<DWORD>(st.st_size);
    std::wmemcpy(d->cFileName, w.c_str(), w.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

namespace standin::process {

void set_command_line(const std::wstring &line) {
  auto &c = cmdline();
  std::lock_guard<std::mutex> l(c.mu);
  c.overridden = true;
  c.wide = line;
}

void reset_command_line() {
  auto &c = cmdline();
  std::lock_guard<std::mutex> l(c.mu);
  c.overridden = false;
}

}  // namespace standin::process

extern "C" {

// ---- code pages --------------------------------------------------------------------------

int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR in, int in_len, LPWSTR out, int out_len) {
  if (!in || in_len == 0 || out_len < 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = in_len < 0 ? std::strlen(in) + 1 : static_cast<size_t>(in_len);
  return copy_converted(from_utf8(in, n), out, out_len);
}

int WINAPI WideCharToMultiByte(UINT, DWORD, LPCWSTR in, int in_len, LPSTR out, int out_len, LPCSTR, LPBOOL used) {
  if (!in || in_len == 0 || out_len < 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = in_len < 0 ? std::wcslen(in) + 1 : static_cast<size_t>(in_len);
  if (used) *used = FALSE;
  return copy_converted(to_utf8(in, n), out, out_len);
}

// ---- command line ------------------------------------------------------------------------

LPWSTR WINAPI GetCommandLineW(void) {
  std::wstring line = current_command_line();
  auto &c = cmdline();
  std::lock_guard<std::mutex> l(c.mu);
  for (auto *w : c.wide_copies)
    if (*w == line) return w->data();
  c.wide_copies.push_back(new std::wstring(line));
  return c.wide_copies.back()->data();
}

LPSTR WINAPI GetCommandLineA(void) {
  std::string line = to_utf8(current_command_line());
  auto &c = cmdline();
  std::lock_guard<std::mutex> l(c.mu);
  for (auto *s : c.narrow_copies)
    if (*s == line) return s->data();
  c.narrow_copies.push_back(new std::string(line));
  return c.narrow_copies.back()->data();
}

// Windows' rules: the program name ends at the closing quote or the first blank; in the arguments
// 2n backslashes before a quote give n and the quote toggles quoting, 2n+1 give n and a literal quote,
// "" inside quotes is a literal quote, other backslashes are literal.
LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR line, int *count) {
  if (!count) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::wstring> args;
  if (!line || !*line) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    args.push_back(n > 0 ? from_utf8(exe, static_cast<size_t>(n)) : std::wstring());
  } else {
    const wchar_t *p = line;
    std::wstring prog;
    if (*p == L'"') {
      ++p;
      while (*p && *p != L'"') prog.push_back(*p++);
      if (*p) ++p;
    } else {
      while (*p && *p != L' ' && *p != L'\t') prog.push_back(*p++);
    }
    args.push_back(prog);
    for (;;) {
      while (*p == L' ' || *p == L'\t') ++p;
      if (!*p) break;
      std::wstring a;
      bool quoted = false;
      while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'\\') {
          size_t n = 0;
          while (*p == L'\\') ++n, ++p;
          if (*p == L'"') {
            a.append(n / 2, L'\\');
            if (n % 2) {
              a.push_back(L'"');
              ++p;
            }
          } else {
            a.append(n, L'\\');
          }
        } else if (*p == L'"') {
          if (quoted && p[1] == L'"') {
            a.push_back(L'"');
            p += 2;
          } else {
            quoted = !quoted;
            ++p;
          }
        } else {
          a.push_back(*p++);
        }
      }
      args.push_back(a);
    }
  }
  size_t bytes = sizeof(LPWSTR) * (args.size() + 1);
  for (auto &a : args) bytes += (a.size() + 1) * sizeof(wchar_t);
  auto *block = static_cast<LPWSTR *>(LocalAlloc(LMEM_FIXED, bytes));
  if (!block) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto *text = reinterpret_cast<wchar_t *>(block + args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) {
    block[i] = text;
    std::wmemcpy(text, args[i].c_str(), args[i].size() + 1);
    text += args[i].size() + 1;
  }
  block[args.size()] = nullptr;
  *count = static_cast<int>(args.size());
  return block;
}

// ---- environment and paths ---------------------------------------------------------------

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  const char *v = name ? std::getenv(to_utf8(name, std::wcslen(name)).c_str()) : nullptr;
  if (!v) {
    set_last_error(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::wstring w = from_utf8(v, std::strlen(v));
  if (!buffer || size <= w.size()) return static_cast<DWORD>(w.size() + 1);
  std::wmemcpy(buffer, w.c_str(), w.size() + 1);
  return static_cast<DWORD>(w.size());
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  const wchar_t folder[] = L"C:\\WINDOWS";
  const UINT n = static_cast<UINT>(std::wcslen(folder));
  if (!buffer || size <= n) return n + 1;
  std::wmemcpy(buffer, folder, n + 1);
  return n;
}

// A drive path keeps its drive; a path from the root keeps it; a relative one is taken from the
// current folder (a Linux folder, written with backslashes). Separators become backslashes and "."
// and ".." components go.
DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR *file_part) {
  if (!name || !*name) {
    set_last_error(ERROR_INVALID_NAME);
    return 0;
  }
  std::wstring in(name);
  for (auto &c : in)
    if (c == L'/') c = L'\\';
  std::wstring full;
  size_t root;
  if (in.size() >= 2 && std::iswalpha(in[0]) && in[1] == L':' && (in.size() == 2 || in[2] == L'\\')) {
    full = in;
    root = in.size() >= 3 ? 3 : 2;
    if (in.size() == 2) full.push_back(L'\\'), root = 3;
  } else if (in[0] == L'\\') {
    full = in;
    root = 1;
  } else {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      set_last_error(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    std::wstring base = from_utf8(cwd, std::strlen(cwd));
    for (auto &c : base)
      if (c == L'/') c = L'\\';
    if (base.empty() || base.back() != L'\\') base.push_back(L'\\');
    full = base + in;
    root = 1;
  }
  bool trailing = !full.empty() && full.back() == L'\\';
  full = drop_dots(full, root);
  if (trailing && (full.empty() || full.back() != L'\\')) full.push_back(L'\\');
  if (!buffer || size <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::wmemcpy(buffer, full.c_str(), full.size() + 1);
  if (file_part) {
    size_t slash = full.rfind(L'\\');
    *file_part = (slash == std::wstring::npos || slash + 1 == full.size()) ? nullptr : buffer + slash + 1;
  }
  return static_cast<DWORD>(full.size());
}

BOOL WINAPI PathCanonicalizeW(LPWSTR out, LPCWSTR in) {
  if (!out || !in) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::wstring p(in);
  size_t root = 0;
  if (p.size() >= 3 && std::iswalpha(p[0]) && p[1] == L':' && p[2] == L'\\')
    root = 3;
  else if (!p.empty() && p[0] == L'\\')
    root = 1;
  bool trailing = !p.empty() && p.back() == L'\\';
  std::wstring r = drop_dots(p, root);
  if (trailing && !r.empty() && r.back() != L'\\') r.push_back(L'\\');
  if (r.empty()) r = L"\\";
  if (r.size() >= MAX_PATH) {
    out[0] = 0;
    set_last_error(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::wmemcpy(out, r.c_str(), r.size() + 1);
  return TRUE;
}

// ---- file search and deletion ------------------------------------------------------------

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (!pattern || !data) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring p(pattern);
  size_t slash = p.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? L"." : p.substr(0, slash);
  std::wstring mask = slash == std::wstring::npos ? p : p.substr(slash + 1);
  std::string dir = map_wide_path(folder.empty() ? L"\\" : folder.c_str());
  DIR *d = opendir(dir.c_str());
  if (!d) {
    set_last_error(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto *f = new find_state;
  f->folder = dir;
  while (dirent *e = readdir(d)) {
    std::wstring n = from_utf8(e->d_name, std::strlen(e->d_name));
    if (wild_match(mask.c_str(), n.c_str())) f->names.push_back(e->d_name);
  }
  closedir(d);
  if (!fill_find(f, data)) {
    delete f;
    set_last_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> l(g_find_mu);
  finds().insert(f);
  return f;
}

BOOL WINAPI FindNextFileW(HANDLE h, LPWIN32_FIND_DATAW data) {
  std::lock_guard<std::mutex> l(g_find_mu);
  auto *f = static_cast<find_state *>(h);
  if (!finds().count(f)) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!fill_find(f, data)) {
    set_last_error(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE h) {
  std::lock_guard<std::mutex> l(g_find_mu);
  auto *f = static_cast<find_state *>(h);
  if (!finds().erase(f)) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete f;
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  if (!name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = map_wide_path(name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    set_last_error(errno_to_error(errno));
    return FALSE;
  }
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(path.c_str()) != 0) {
    set_last_error(errno_to_error(errno));
    return FALSE;
  }
  return TRUE;
}

// ---- the C runtime's wide file calls -----------------------------------------------------

FILE *_wfopen(const wchar_t *name, const wchar_t *mode) {
  if (!name || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  std::string m;
  for (const wchar_t *p = mode; *p; ++p) {
    if (*p == L',') break;  // ",ccs=..."
    if (*p == L'r' || *p == L'w' || *p == L'a' || *p == L'+' || *p == L'b') m.push_back(static_cast<char>(*p));
  }
  if (m.empty() || (m[0] != 'r' && m[0] != 'w' && m[0] != 'a')) {
    errno = EINVAL;
    return nullptr;
  }
  FILE *f = std::fopen(map_wide_path(name).c_str(), m.c_str());
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {  // Windows opens no folder as a file
    std::fclose(f);
    errno = EACCES;
    return nullptr;
  }
  return f;
}

// Windows checks the read-only attribute only (whoever runs the test, root included).
int _waccess(const wchar_t *name, int mode) {
  if (!name || (mode & ~6)) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (::stat(map_wide_path(name).c_str(), &st) != 0) return -1;
  if ((mode & 2) && !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

int _wchmod(const wchar_t *name, int pmode) {
  if (!name) {
    errno = EINVAL;
    return -1;
  }
  std::string path = map_wide_path(name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  mode_t mode = st.st_mode & 07777;
  if (pmode & _S_IWRITE)
    mode |= S_IWUSR;
  else
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  return ::chmod(path.c_str(), mode);
}

}  // extern "C"
