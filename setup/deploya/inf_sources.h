// The files a driver package brings, read from its INF: every [SourceDisksFiles] entry, at the folder
// its disk's [SourceDisksNames] path and its own subfolder give below the INF's folder. The installer
// checks them all before it removes the earlier copies: an update from an incomplete package would
// leave the devices with none.
#pragma once

#include <wchar.h>
#include <wctype.h>

#include <string>
#include <vector>

namespace deploya {

struct source_file {
  std::wstring name;  // as the entry names it
  std::wstring path;  // below the INF's folder, "\"-separated ("amd64\vantrel.sys")
  bool disk_named;    // false: its disk id is in no [SourceDisksNames] section, path is the name alone
};

namespace inf_text {

inline std::wstring lower(std::wstring s) {
  for (auto &c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

inline std::wstring trim(const std::wstring &s) {
  size_t b = s.find_first_not_of(L" \t");
  if (b == std::wstring::npos) return {};
  return s.substr(b, s.find_last_not_of(L" \t") - b + 1);
}

// The logical lines: comments gone (";" outside quotes), a "\" ending a line joins the next one.
inline std::vector<std::wstring> lines(const std::wstring &text) {
  std::vector<std::wstring> out;
  std::wstring line;
  bool quoted = false;
  bool comment = false;
  for (size_t i = 0; i <= text.size(); ++i) {
    const wchar_t c = i < text.size() ? text[i] : L'\n';
    if (c == L'\r' || c == L'\n') {
      std::wstring t = trim(line);
      quoted = comment = false;
      if (!t.empty() && t.back() == L'\\' && i < text.size()) {
        line = t.substr(0, t.size() - 1);
        continue;
      }
      if (!t.empty()) out.push_back(t);
      line.clear();
      continue;
    }
    if (comment) continue;
    if (c == L'"') quoted = !quoted;
    if (c == L';' && !quoted) {
      comment = true;
      continue;
    }
    line.push_back(c);
  }
  return out;
}

// A field without its surrounding blanks and quotes ("" inside quotes is one quote).
inline std::wstring field(const std::wstring &raw) {
  std::wstring t = trim(raw);
  std::wstring out;
  bool quoted = false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == L'"') {
      if (quoted && i + 1 < t.size() && t[i + 1] == L'"') {
        out.push_back(L'"');
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    out.push_back(t[i]);
  }
  return out;
}

// key = field, field, ... (a line without "=" is a key alone).
inline void entry(const std::wstring &line, std::wstring *key, std::vector<std::wstring> *fields) {
  fields->clear();
  bool quoted = false;
  size_t eq = std::wstring::npos;
  for (size_t i = 0; i < line.size() && eq == std::wstring::npos; ++i) {
    if (line[i] == L'"') quoted = !quoted;
    if (line[i] == L'=' && !quoted) eq = i;
  }
  *key = field(line.substr(0, eq));
  if (eq == std::wstring::npos) return;
  std::wstring current;
  quoted = false;
  for (size_t i = eq + 1; i <= line.size(); ++i) {
    if (i == line.size() || (line[i] == L',' && !quoted)) {
      fields->push_back(field(current));
      current.clear();
      continue;
    }
    if (line[i] == L'"') quoted = !quoted;
    current.push_back(line[i]);
  }
}

struct keyed {
  std::wstring key;
  std::vector<std::wstring> fields;
};

// %name% from [Strings] (name without regard to case); %% is one %; an unknown name stays as written.
inline std::wstring expand(const std::wstring &s, const std::vector<keyed> &strings) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    size_t end = s[i] == L'%' ? s.find(L'%', i + 1) : std::wstring::npos;
    if (end == std::wstring::npos) {
      out.push_back(s[i]);
      continue;
    }
    std::wstring name = lower(s.substr(i + 1, end - i - 1));
    const keyed *found = nullptr;
    for (auto &k : strings)
      if (lower(k.key) == name) found = &k;
    if (name.empty())
      out.push_back(L'%');
    else if (found && !found->fields.empty())
      out += found->fields[0];
    else
      out += s.substr(i, end - i + 1);
    i = end;
  }
  return out;
}

// A folder field: "\"-separated, without separators at either end.
inline std::wstring folder(std::wstring s) {
  for (auto &c : s)
    if (c == L'/') c = L'\\';
  size_t b = s.find_first_not_of(L'\\');
  if (b == std::wstring::npos) return {};
  return s.substr(b, s.find_last_not_of(L'\\') - b + 1);
}

inline const keyed *find(const std::vector<keyed> &in, const std::wstring &key) {
  for (auto &k : in)
    if (lower(k.key) == lower(key)) return &k;
  return nullptr;
}

}  // namespace inf_text

// The source files of an INF for one platform decoration ("amd64"): the entries of
// [SourceDisksFiles.<platform>] first, then those of [SourceDisksFiles] it does not name again; disks
// are looked up in [SourceDisksNames.<platform>] first. Section and string names compare without regard
// to case.
inline std::vector<source_file> inf_source_files(const std::wstring &text, const std::wstring &platform) {
  using namespace inf_text;
  const std::wstring decorated_files = L"sourcedisksfiles." + lower(platform);
  const std::wstring decorated_disks = L"sourcedisksnames." + lower(platform);
  std::vector<keyed> strings, disks[2], files[2];  // [0] decorated, [1] plain
  std::vector<keyed> *into = nullptr;
  for (const std::wstring &line : lines(text)) {
    if (line[0] == L'[') {
      size_t close = line.find(L']');
      std::wstring name = lower(trim(line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1)));
      into = name == L"strings"            ? &strings
             : name == decorated_disks     ? &disks[0]
             : name == L"sourcedisksnames" ? &disks[1]
             : name == decorated_files     ? &files[0]
             : name == L"sourcedisksfiles" ? &files[1]
                                           : nullptr;
      continue;
    }
    if (!into) continue;
    keyed k;
    entry(line, &k.key, &k.fields);
    into->push_back(k);
  }
  std::vector<source_file> out;
  for (int pass = 0; pass < 2; ++pass) {
    for (const keyed &f : files[pass]) {
      source_file s;
      s.name = expand(f.key, strings);
      bool again = false;
      for (auto &o : out) again = again || lower(o.name) == lower(s.name);
      if (again || s.name.empty()) continue;
      const std::wstring disk = f.fields.empty() ? std::wstring() : f.fields[0];
      const keyed *d = disk.empty() ? nullptr : find(disks[0], disk);
      if (!d && !disk.empty()) d = find(disks[1], disk);
      s.disk_named = d != nullptr;
      std::wstring path;
      auto add = [&](const std::wstring &part) {
        if (part.empty()) return;
        if (!path.empty()) path += L'\\';
        path += part;
      };
      if (d && d->fields.size() > 3) add(folder(expand(d->fields[3], strings)));
      if (f.fields.size() > 1) add(folder(expand(f.fields[1], strings)));
      add(s.name);
      s.path = path;
      out.push_back(s);
    }
  }
  return out;
}

}  // namespace deploya
