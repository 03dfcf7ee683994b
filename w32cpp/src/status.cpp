#include <w32cpp/status.h>

namespace w32cpp {

DWORD code_from_bool(BOOL result) { return result ? 0 : GetLastError(); }

std::string status_win32::message(DWORD language_id) const {
  LPSTR text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
      language_id, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result;
  if (text) {
    result.append(text, length);
    LocalFree(text);
  }
  return result;
}

} // namespace w32cpp
