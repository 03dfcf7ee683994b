// Whether an INF text names a hardware id: the earlier-copy clean-up removes only packages that name
// one of our ids whole, never one naming a longer id that starts with ours (USB\VID_x&PID_y&MI_01).
#pragma once

#include <stddef.h>
#include <string.h>

namespace deploya {

// Characters that end an id in an INF line: list and key separators, blanks, comments, line ends.
inline bool ends_id(char c) {
  return c == ',' || c == ' ' || c == '\t' || c == '=' || c == ';' || c == '\r' || c == '\n';
}

// True when `id` (id_size bytes) occurs in `text` (size bytes) with the start of the text or a
// delimiter before it and the end of the text or a delimiter after it. Case-sensitive, byte-wise:
// a miss leaves another package in place, the safe direction. An empty id names nothing.
inline bool inf_names_id(const char *text, size_t size, const char *id, size_t id_size) {
  if (id_size == 0 || id_size > size) return false;
  for (size_t i = 0; i + id_size <= size; ++i) {
    if (memcmp(text + i, id, id_size) != 0) continue;
    bool whole_before = i == 0 || ends_id(text[i - 1]);
    bool whole_after = i + id_size == size || ends_id(text[i + id_size]);
    if (whole_before && whole_after) return true;
  }
  return false;
}

}  // namespace deploya
