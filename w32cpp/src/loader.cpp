#include <w32cpp/loader.h>

#include <cstring>

namespace w32cpp::detail {

namespace {
const char kPathsKey[] = "Software\\Ondrel_Fasko\\Drivers\\Paths";
const char kPathValue[] = "zephDllPath";
const DWORD kPathBufferSize = 512;
} // namespace

std::string library_folder() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPathsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::string();
  char buffer[kPathBufferSize];
  DWORD type = 0;
  DWORD size = sizeof buffer;
  const LONG rc = RegQueryValueExA(key, kPathValue, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(key);
  // A value that is no string or does not fit is treated as missing.
  if (rc != ERROR_SUCCESS || type != REG_SZ || size > sizeof buffer)
    return std::string();
  const char *end = static_cast<const char *>(std::memchr(buffer, 0, size));
  if (!end) {
    // Stored without its NUL: usable only when the terminator still fits the buffer.
    if (size >= sizeof buffer)
      return std::string();
    end = buffer + size;
  }
  return std::string(buffer, static_cast<size_t>(end - buffer));
}

std::string join_library_path(const std::string &folder, const char *file) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/')
    path += '\\';
  path += file;
  return path;
}

HMODULE load_library(const char *file) {
  if (!file || !*file)
    return nullptr;
  HMODULE module = nullptr;
  const std::string folder = library_folder();
  if (!folder.empty())
    module = LoadLibraryA(join_library_path(folder, file).c_str());
  if (!module)
    module = LoadLibraryA(file);
  return module;
}

void (*find_entry(HMODULE module, const char *entry))() {
  if (!module || !entry)
    return nullptr;
  return reinterpret_cast<void (*)()>(GetProcAddress(module, entry));
}

} // namespace w32cpp::detail
