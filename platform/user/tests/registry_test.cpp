// The registry store: names, value types, sizes, enumeration, deletion and the persistence file.
#include <gtest/gtest.h>
#include <standin/registry.h>
#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Registry : ::testing::Test {
  void SetUp() override {
    standin::registry::use_file("", false);
    standin::registry::reset();
  }
  void TearDown() override {
    standin::registry::use_file("", false);
    standin::registry::reset();
  }
};

const char *const k_paths = "Software\\Ondrel_Fasko\\Drivers\\Paths";

TEST_F(Registry, KeyAndValueNamesAreCaseInsensitive) {
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k_paths, "zephDllPath", "C:\\zeph");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ondrel_fasko\\DRIVERS\\paths", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  char buf[512];
  DWORD type = 0, cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, "ZEPHDLLPATH", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(cb, 8u);  // with its NUL
  EXPECT_STREQ(buf, "C:\\zeph");
  // Setting under another case replaces the value, keeping one entry.
  const char v[] = "D:\\x";
  ASSERT_EQ(RegSetValueExA(k, "ZephDllPath", 0, REG_SZ, reinterpret_cast<const BYTE *>(v), sizeof v), ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(Registry, MissingKeysAndValuesAreFileNotFound) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Nobody", &k), ERROR_FILE_NOT_FOUND);
  standin::registry::create_key(HKEY_LOCAL_MACHINE, "Software\\Somebody");
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Somebody", &k), ERROR_SUCCESS);
  DWORD cb = 4;
  BYTE b[4];
  EXPECT_EQ(RegQueryValueExA(k, "absent", nullptr, nullptr, b, &cb), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(k, "absent", nullptr, nullptr, b, &cb), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, TooSmallBufferGivesMoreDataAndTheSizeNeeded) {
  standin::registry::set_string(HKEY_LOCAL_MACHINE, "Software\\T", "DeviceName", "VANTRELDevice0");
  HKEY k;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\T", &k), ERROR_SUCCESS);
  char small[10];
  std::memset(small, 'z', sizeof small);
  DWORD type = 0, cb = sizeof small;
  EXPECT_EQ(RegQueryValueExA(k, "DeviceName", nullptr, &type, reinterpret_cast<LPBYTE>(small), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 15u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(small[0], 'z');  // nothing written
  cb = 0;
  EXPECT_EQ(RegQueryValueExA(k, "DeviceName", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 15u);
  char exact[15];
  cb = sizeof exact;
  EXPECT_EQ(RegQueryValueExA(k, "DeviceName", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(exact, "VANTRELDevice0");
  EXPECT_EQ(RegQueryValueExA(k, "DeviceName", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(k);
}

TEST_F(Registry, ValueTypesRoundTripAsStored) {
  HKEY k;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Types", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  DWORD d = 0x12345678;
  const BYTE bin[] = {0, 1, 2, 0xff};
  const char multi[] = "one\0two\0";  // plus the literal's NUL: the list's terminator
  const char unterminated[] = {'a', 'b'};
  ASSERT_EQ(RegSetValueExA(k, "d", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&d), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "b", 0, REG_BINARY, bin, sizeof bin), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "m", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(multi), sizeof multi),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "u", 0, REG_SZ, reinterpret_cast<const BYTE *>(unterminated), 2), ERROR_SUCCESS);
  BYTE out[32];
  DWORD type, cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "d", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(cb, 4u);
  DWORD back;
  std::memcpy(&back, out, 4);
  EXPECT_EQ(back, d);
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "b", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(std::vector<BYTE>(out, out + cb), std::vector<BYTE>(bin, bin + sizeof bin));
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "m", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(cb, sizeof multi);
  EXPECT_EQ(std::memcmp(out, multi, sizeof multi), 0);
  // A string stored without its NUL comes back without one: callers must bound it.
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "u", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 2u);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\TYPES", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(k);
}

TEST_F(Registry, EnumerationAndKeyInformation) {
  const char *const base = "System\\CurrentControlSet\\Control\\Active Devices";
  standin::registry::set_string(HKEY_LOCAL_MACHINE, std::string(base) + "\\Beta", "DeviceName", "b");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, std::string(base) + "\\alpha", "DeviceName", "a");
  standin::registry::set_string(HKEY_LOCAL_MACHINE, std::string(base) + "\\Gamma-long", "PublicName", "g");
  HKEY k;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, base, &k), ERROR_SUCCESS);
  DWORD subkeys = 0, longest = 0;
  ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 3u);
  EXPECT_EQ(longest, 10u);
  std::vector<std::string> names;
  char name[64];
  DWORD i = 0;
  LSTATUS st;
  while ((st = RegEnumKeyA(k, i++, name, sizeof name)) == ERROR_SUCCESS) names.push_back(name);
  EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "Gamma-long"}));
  char tiny[4];
  EXPECT_EQ(RegEnumKeyA(k, 2, tiny, sizeof tiny), ERROR_MORE_DATA);
  RegCloseKey(k);
}

TEST_F(Registry, DeleteKeyRefusesParentsAndLeavesOpenHandlesDeleted) {
  standin::registry::create_key(HKEY_LOCAL_MACHINE, "Software\\Del\\Child");
  HKEY child;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Del\\Child", &child), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del\\Child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del\\Child"), ERROR_FILE_NOT_FOUND);
  const char v[] = "x";
  EXPECT_EQ(RegSetValueExA(child, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>(v), 2), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Del"), ERROR_SUCCESS);
  EXPECT_FALSE(standin::registry::key_exists(HKEY_LOCAL_MACHINE, "Software\\Del"));
}

TEST_F(Registry, OpenKeyWithEmptySubkeyGivesTheSameHandleBack) {
  standin::registry::create_key(HKEY_CURRENT_USER, "Software\\Same");
  HKEY k, again;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Same", &k), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyA(k, "", &again), ERROR_SUCCESS);
  EXPECT_EQ(again, k);
  ASSERT_EQ(RegOpenKeyExA(k, nullptr, 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_NE(again, k);  // the Ex form opens a new handle
  RegCloseKey(again);
  RegCloseKey(k);
}

TEST_F(Registry, PersistenceFileKeepsKeysValuesAndTypes) {
  char tmpl[] = "/tmp/zeph-reg-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  std::remove(tmpl);
  std::string path = tmpl;
  ASSERT_TRUE(standin::registry::use_file(path, true));  // absent file: empty store
  standin::registry::set_string(HKEY_LOCAL_MACHINE, k_paths, "zephDllPath", "C:\\Program Files\\\"q\"\\");
  standin::registry::set_dword(HKEY_LOCAL_MACHINE, "System\\P", "BreakOnEntry", 1);
  standin::registry::set_binary(HKEY_LOCAL_MACHINE, "System\\P", "blob", {1, 2, 3});
  standin::registry::set_multi_string(HKEY_LOCAL_MACHINE, "System\\P", "ids", {"USB\\VID_1", "USB\\VID_2"});
  standin::registry::set_raw(HKEY_LOCAL_MACHINE, "System\\P", "odd", REG_SZ, {'n', 'o', 'n', 'u', 'l'});
  standin::registry::create_key(HKEY_CURRENT_USER, "Software\\Empty");

  standin::registry::reset();
  EXPECT_FALSE(standin::registry::key_exists(HKEY_LOCAL_MACHINE, "System\\P"));
  ASSERT_TRUE(standin::registry::use_file(path, true));
  EXPECT_TRUE(standin::registry::key_exists(HKEY_CURRENT_USER, "software\\empty"));

  HKEY k;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, k_paths, &k), ERROR_SUCCESS);
  char buf[512];
  DWORD type, cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, "zephdllpath", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "C:\\Program Files\\\"q\"\\");
  RegCloseKey(k);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\P", &k), ERROR_SUCCESS);
  BYTE out[64];
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "BreakOnEntry", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(out[0], 1);
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "blob", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(cb, 3u);
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "ids", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), cb), std::string("USB\\VID_1\0USB\\VID_2\0\0", 21));
  cb = sizeof out;
  ASSERT_EQ(RegQueryValueExA(k, "odd", nullptr, &type, out, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), cb), "nonul");
  RegCloseKey(k);

  // The file is plain text a user can edit.
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("[HKEY_LOCAL_MACHINE\\System\\P]"), std::string::npos);
  EXPECT_NE(all.find("\"BreakOnEntry\"=dword:00000001"), std::string::npos);
  standin::registry::use_file("", false);
  std::remove(path.c_str());
}

TEST_F(Registry, HandWrittenFileLoadsAndBadLinesAreReported) {
  char tmpl[] = "/tmp/zeph-reg-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  const char text[] =
      "; comment\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Ondrel_Fasko\\Drivers\\Paths]\n"
      "\"zephDllPath\"=sz:\"C:\\\\zeph\\\\bin\\\\\"\n"
      "@=sz:\"default\"\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  close(fd);
  ASSERT_TRUE(standin::registry::use_file(tmpl, true));
  HKEY k;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, k_paths, &k), ERROR_SUCCESS);
  char buf[64];
  DWORD cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, "zephDllPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "C:\\zeph\\bin\\");
  cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "default");
  RegCloseKey(k);

  std::ofstream(tmpl) << "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=nonsense\n";
  EXPECT_FALSE(standin::registry::use_file(tmpl, true));
  EXPECT_TRUE(standin::registry::key_exists(HKEY_LOCAL_MACHINE, "X"));  // what could be read was kept
  standin::registry::use_file("", false);
  std::remove(tmpl);
}

}  // namespace
