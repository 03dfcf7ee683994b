// File version information. A file's version block is found by the signature of its fixed part
// (VS_FIXEDFILEINFO, 0xFEEF04BD on a 4-byte boundary), which is where a version resource keeps it;
// the block handed out holds that fixed part after a small header of ours.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kobject.h"

namespace {

constexpr DWORD kBlockMagic = 0x3049565A;  // "ZVI0"
constexpr DWORD kHeader = 8;               // magic, size of the fixed part
constexpr DWORD kBlockSize = kHeader + sizeof(VS_FIXEDFILEINFO);

// The fixed part of the file's version information; false with the last error set when there is none.
bool find_fixed_info(LPCSTR name, VS_FIXEDFILEINFO &out) {
  if (!name) {
    wb::set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::ifstream f(wb::map_path(name), std::ios::binary);
  if (!f) {
    wb::set_last_error(ERROR_FILE_NOT_FOUND);
    return false;
  }
  std::vector<char> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  for (size_t at = 0; at + sizeof out <= data.size(); at += 4) {
    DWORD sig;
    memcpy(&sig, data.data() + at, sizeof sig);
    if (sig != (DWORD)VS_FFI_SIGNATURE) continue;
    memcpy(&out, data.data() + at, sizeof out);
    return true;
  }
  wb::set_last_error(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
  return false;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
  if (handle) *handle = 0;
  VS_FIXEDFILEINFO info;
  if (!find_fixed_info(name, info)) return 0;
  wb::set_last_error(0);
  return kBlockSize;
}

__attribute__((visibility("default"))) BOOL WINAPI GetFileVersionInfoA(LPCSTR name, DWORD, DWORD size, LPVOID data) {
  if (!data) {
    wb::set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  VS_FIXEDFILEINFO info;
  if (!find_fixed_info(name, info)) return FALSE;
  if (size < kBlockSize) {
    wb::set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto *p = static_cast<unsigned char *>(data);
  DWORD head[2] = {kBlockMagic, (DWORD)sizeof info};
  memcpy(p, head, sizeof head);
  memcpy(p + kHeader, &info, sizeof info);
  wb::set_last_error(0);
  return TRUE;
}

// Only the root block ("\") exists: the fixed part.
__attribute__((visibility("default"))) BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR sub, LPVOID *out, PUINT len) {
  if (!block || !sub || !out) return FALSE;
  DWORD magic;
  memcpy(&magic, block, sizeof magic);
  if (magic != kBlockMagic || strcmp(sub, "\\") != 0) {
    if (len) *len = 0;
    return FALSE;
  }
  *out = const_cast<unsigned char *>(static_cast<const unsigned char *>(block)) + kHeader;
  if (len) *len = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}

}  // extern "C"
