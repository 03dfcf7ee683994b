// Counted strings and small run-time helpers of the kernel stand-in.
#include "kinternal.h"

#include <cstdio>

namespace wbk {

static_assert(sizeof(WCHAR) == sizeof(char16_t), "kernel WCHAR is 16-bit");

std::u16string to_u16(const UNICODE_STRING *s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / 2);
}

std::u16string to_u16(const char *s) {
  std::u16string r;
  while (s && *s) r.push_back((unsigned char)*s++);
  return r;
}

std::string to_utf8(const std::u16string &s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      r.push_back((char)c);
    } else if (c < 0x800) {
      r.push_back((char)(0xC0 | (c >> 6)));
      r.push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      r.push_back((char)(0xE0 | (c >> 12)));
      r.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
      r.push_back((char)(0x80 | (c & 0x3F)));
    } else {
      r.push_back((char)(0xF0 | (c >> 18)));
      r.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
      r.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
      r.push_back((char)(0x80 | (c & 0x3F)));
    }
  }
  return r;
}

std::u16string from_utf8(const std::string &s) {
  std::u16string r;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = (unsigned char)s[i];
    uint32_t c;
    int n;
    if (b < 0x80) {
      c = b;
      n = 1;
    } else if ((b >> 5) == 6) {
      c = b & 0x1F;
      n = 2;
    } else if ((b >> 4) == 14) {
      c = b & 0x0F;
      n = 3;
    } else if ((b >> 3) == 30) {
      c = b & 0x07;
      n = 4;
    } else {
      r.push_back(u'?');
      ++i;
      continue;
    }
    if (i + n > s.size()) {
      r.push_back(u'?');
      break;
    }
    for (int k = 1; k < n; ++k) c = (c << 6) | ((unsigned char)s[i + k] & 0x3F);
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      r.push_back((char16_t)(0xD800 + (c >> 10)));
      r.push_back((char16_t)(0xDC00 + (c & 0x3FF)));
    } else {
      r.push_back((char16_t)c);
    }
  }
  return r;
}

std::u16string upper(std::u16string s) {
  for (auto &c : s)
    if (c >= u'a' && c <= u'z') c = (char16_t)(c - 32);
  return s;
}

NTSTATUS make_unicode(const std::u16string &s, PUNICODE_STRING out) {
  size_t bytes = (s.size() + 1) * 2;
  if (bytes > 0xFFFE) return STATUS_INVALID_PARAMETER;
  auto *buf = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, tag4("Strg")));
  if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buf, s.data(), s.size() * 2);
  buf[s.size()] = 0;
  out->Buffer = buf;
  out->Length = (USHORT)(s.size() * 2);
  out->MaximumLength = (USHORT)bytes;
  return STATUS_SUCCESS;
}

}  // namespace wbk

using namespace wbk;

extern "C" void RtlInitUnicodeString(PUNICODE_STRING dst, PCWSTR src) {
  size_t n = 0;
  if (src)
    while (src[n]) ++n;
  if (n * 2 > 0xFFFC) n = 0xFFFC / 2;
  dst->Buffer = const_cast<PWSTR>(src);
  dst->Length = (USHORT)(n * 2);
  dst->MaximumLength = src ? (USHORT)(n * 2 + 2) : 0;
}

extern "C" void RtlInitAnsiString(PANSI_STRING dst, PCSZ src) {
  size_t n = src ? strlen(src) : 0;
  if (n > 0xFFFE) n = 0xFFFE;
  dst->Buffer = const_cast<PCHAR>(src);
  dst->Length = (USHORT)n;
  dst->MaximumLength = src ? (USHORT)(n + 1) : 0;
}

extern "C" void RtlCopyUnicodeString(PUNICODE_STRING dst, PCUNICODE_STRING src) {
  if (!src || !src->Buffer) {
    dst->Length = 0;
    return;
  }
  USHORT n = src->Length < dst->MaximumLength ? src->Length : dst->MaximumLength;
  n &= ~1;
  memmove(dst->Buffer, src->Buffer, n);
  dst->Length = n;
  if (n + 2 <= dst->MaximumLength) dst->Buffer[n / 2] = 0;
}

static NTSTATUS append(PUNICODE_STRING dst, const WCHAR *src, size_t bytes) {
  if (dst->Length + bytes > dst->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove((char *)dst->Buffer + dst->Length, src, bytes);
  dst->Length = (USHORT)(dst->Length + bytes);
  if (dst->Length + 2 <= dst->MaximumLength) dst->Buffer[dst->Length / 2] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dst, PCWSTR src) {
  size_t n = 0;
  if (src)
    while (src[n]) ++n;
  return append(dst, src, n * 2);
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dst, PCUNICODE_STRING src) {
  if (!src || !src->Length) return STATUS_SUCCESS;
  return append(dst, src->Buffer, src->Length);
}

static char16_t fold(char16_t c, bool ci) { return ci && c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c; }

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ci) {
  size_t na = a->Length / 2, nb = b->Length / 2;
  for (size_t i = 0; i < na && i < nb; ++i) {
    char16_t x = fold((char16_t)a->Buffer[i], ci), y = fold((char16_t)b->Buffer[i], ci);
    if (x != y) return (LONG)x - (LONG)y;
  }
  return (LONG)na - (LONG)nb;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ci) {
  return a->Length == b->Length && RtlCompareUnicodeString(a, b, ci) == 0;
}

extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING dst) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  char tmp[40];
  int n = 0;
  do {
    unsigned d = value % base;
    tmp[n++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
    value /= base;
  } while (value);
  if ((size_t)n * 2 > dst->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) dst->Buffer[i] = (WCHAR)tmp[n - 1 - i];
  dst->Length = (USHORT)(n * 2);
  if (dst->Length + 2 <= dst->MaximumLength) dst->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value) {
  size_t i = 0, n = s->Length / 2;
  while (i < n && s->Buffer[i] == L' ') ++i;
  bool neg = false;
  if (i < n && (s->Buffer[i] == L'-' || s->Buffer[i] == L'+')) neg = s->Buffer[i++] == L'-';
  if (base == 0) {
    base = 10;
    if (i + 1 < n && s->Buffer[i] == L'0') {
      WCHAR p = s->Buffer[i + 1];
      if (p == L'x') base = 16, i += 2;
      else if (p == L'o') base = 8, i += 2;
      else if (p == L'b') base = 2, i += 2;
    }
  }
  ULONG v = 0;
  for (; i < n; ++i) {
    WCHAR c = s->Buffer[i];
    ULONG d;
    if (c >= L'0' && c <= L'9') d = c - L'0';
    else if (c >= L'a' && c <= L'f') d = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F') d = c - L'A' + 10;
    else break;
    if (d >= base) break;
    v = v * base + d;
  }
  *value = neg ? (ULONG)(-(LONG)v) : v;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING dst, PCANSI_STRING src, BOOLEAN allocate) {
  size_t bytes = (size_t)src->Length * 2;
  if (allocate) {
    dst->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, tag4("Strg")));
    if (!dst->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    dst->MaximumLength = (USHORT)(bytes + 2);
  } else if (bytes > dst->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < src->Length; ++i) dst->Buffer[i] = (WCHAR)(unsigned char)src->Buffer[i];
  dst->Length = (USHORT)bytes;
  if (bytes + 2 <= dst->MaximumLength) dst->Buffer[src->Length] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dst, PCUNICODE_STRING src, BOOLEAN allocate) {
  size_t n = src->Length / 2;
  if (allocate) {
    dst->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, n + 1, tag4("Strg")));
    if (!dst->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    dst->MaximumLength = (USHORT)(n + 1);
  } else if (n > dst->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < n; ++i) {
    WCHAR c = src->Buffer[i];
    dst->Buffer[i] = c < 0x100 ? (char)c : '?';
  }
  dst->Length = (USHORT)n;
  if (n + 1 <= dst->MaximumLength) dst->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

extern "C" void RtlFreeUnicodeString(PUNICODE_STRING s) {
  if (s->Buffer) ExFreePool(s->Buffer);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

extern "C" void RtlFreeAnsiString(PANSI_STRING s) {
  if (s->Buffer) ExFreePool(s->Buffer);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

extern "C" NTSTATUS RtlStringFromGUID(REFGUID g, PUNICODE_STRING dst) {
  char buf[64];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return make_unicode(to_u16(buf), dst);
}

extern "C" SIZE_T RtlCompareMemory(const void *a, const void *b, SIZE_T n) {
  auto *x = static_cast<const unsigned char *>(a);
  auto *y = static_cast<const unsigned char *>(b);
  SIZE_T i = 0;
  while (i < n && x[i] == y[i]) ++i;
  return i;
}
