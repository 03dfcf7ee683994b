// BuildCommDCBA: a device-definition text, in the "key=value" form or the older "9600,n,8,1" one, onto a DCB.
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm.h"
#include "fileio.h"

namespace wb {
namespace {

bool parse_on_off(const std::string &v, bool &out) {
  if (v == "on")
    out = true;
  else if (v == "off")
    out = false;
  else
    return false;
  return true;
}

bool parse_new_form(const std::string &text, DCB &d) {
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == ',')) ++pos;
    if (pos >= text.size()) break;
    size_t end = text.find_first_of(" \t,", pos);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(pos, end - pos);
    pos = end;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    std::string key = item.substr(0, eq), v = item.substr(eq + 1);
    for (auto &c : key) c = (char)std::tolower((unsigned char)c);
    for (auto &c : v) c = (char)std::tolower((unsigned char)c);
    if (v.empty()) return false;
    bool b = false;
    if (key == "baud") {
      char *e = nullptr;
      const unsigned long baud = std::strtoul(v.c_str(), &e, 10);
      if (*e || baud == 0) return false;
      d.BaudRate = (DWORD)baud;
    } else if (key == "parity") {
      static const char kinds[] = "noems";
      const char *p = v.size() == 1 ? std::strchr(kinds, v[0]) : nullptr;
      if (!p) return false;
      d.Parity = (BYTE)(p - kinds);
      d.fParity = d.Parity != NOPARITY;
    } else if (key == "data") {
      if (v.size() != 1 || v[0] < '5' || v[0] > '8') return false;
      d.ByteSize = (BYTE)(v[0] - '0');
    } else if (key == "stop") {
      if (v == "1")
        d.StopBits = ONESTOPBIT;
      else if (v == "1.5")
        d.StopBits = ONE5STOPBITS;
      else if (v == "2")
        d.StopBits = TWOSTOPBITS;
      else
        return false;
    } else if (key == "xon") {
      if (!parse_on_off(v, b)) return false;
      d.fOutX = d.fInX = b;
    } else if (key == "odsr") {
      if (!parse_on_off(v, b)) return false;
      d.fOutxDsrFlow = b;
    } else if (key == "octs") {
      if (!parse_on_off(v, b)) return false;
      d.fOutxCtsFlow = b;
    } else if (key == "idsr") {
      if (!parse_on_off(v, b)) return false;
      d.fDsrSensitivity = b;
    } else if (key == "to") {
      if (!parse_on_off(v, b)) return false;
    } else if (key == "dtr") {
      if (v == "hs")
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if (parse_on_off(v, b))
        d.fDtrControl = b ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      else
        return false;
    } else if (key == "rts") {
      if (v == "hs")
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (v == "tg")
        d.fRtsControl = RTS_CONTROL_TOGGLE;
      else if (parse_on_off(v, b))
        d.fRtsControl = b ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
      else
        return false;
    } else {
      return false;
    }
  }
  return true;
}

// The older form: baud[,parity[,data[,stop[,x|p]]]].
bool parse_old_form(const std::string &text, DCB &d) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    size_t end = text.find(',', pos);
    std::string p = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    p.erase(0, p.find_first_not_of(" \t"));
    if (!p.empty()) p.erase(p.find_last_not_of(" \t") + 1);
    parts.push_back(p);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    switch (i) {
      case 0: s += "baud=" + parts[i]; break;
      case 1: s += " parity=" + parts[i]; break;
      case 2: s += " data=" + parts[i]; break;
      case 3: s += " stop=" + parts[i]; break;
      case 4: {
        const char c = (char)std::tolower((unsigned char)parts[i][0]);
        if (parts[i].size() != 1 || (c != 'x' && c != 'p')) return false;
        if (c == 'x')
          s += " xon=on";
        else
          s += " octs=on odsr=on dtr=hs rts=hs";
        break;
      }
      default: return false;
    }
  }
  return parse_new_form(s, d);
}

}  // namespace
}  // namespace wb

using namespace wb;

extern "C" {

BOOL WINAPI BuildCommDCBA(LPCSTR def, LPDCB dcb) {
  if (!def || !dcb) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string text = def;
  // A leading device name ("COM3:" or "COM3") is not part of the settings.
  const size_t first = text.find_first_not_of(" \t");
  if (first != std::string::npos && text.size() - first >= 3 && upper(text.substr(first, 3)) == "COM") {
    size_t i = first + 3;
    while (i < text.size() && std::isdigit((unsigned char)text[i])) ++i;
    if (i < text.size() && text[i] == ':') ++i;
    text = text.substr(i);
  }
  if (text.find_first_not_of(" \t") == std::string::npos) return TRUE;  // nothing to change
  DCB d = *dcb;
  // Without a word on flow control, none is used.
  d.fOutX = d.fInX = 0;
  d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
  d.fDsrSensitivity = 0;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.fBinary = 1;
  const bool ok = text.find('=') != std::string::npos ? parse_new_form(text, d) : parse_old_form(text, d);
  if (!ok) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  d.DCBlength = sizeof(DCB);
  *dcb = d;
  return TRUE;
}

}  // extern "C"
