// Device installation and the wide-character calls: command-line splitting, full and canonical paths,
// file search and deletion, the INF store, driver update, device records and their failure switches.
#include <cfgmgr32.h>
#include <io.h>
#include <newdev.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <standin/devinst.h>
#include <standin/process.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace di = standin::devinst;
namespace fs = std::filesystem;
using di::call;

namespace {

class Root : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/winplat_devinst_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    fs::create_directories(root_ + "/c/media");
    setenv("ZEPH_ROOT", root_.c_str(), 1);
    di::reset();
  }
  void TearDown() override {
    di::reset();
    standin::process::reset_command_line();
    unsetenv("ZEPH_ROOT");
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(root_, ec))
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }
  void write(const std::string &relative, const std::string &text) {
    std::ofstream(root_ + "/" + relative, std::ios::binary) << text;
  }
  std::string root_;
};

std::vector<std::wstring> split(const wchar_t *line) {
  int n = 0;
  LPWSTR *argv = CommandLineToArgvW(line, &n);
  std::vector<std::wstring> out;
  if (!argv) return out;
  for (int i = 0; i < n; ++i) out.push_back(argv[i]);
  EXPECT_EQ(argv[n], nullptr);
  LocalFree(argv);
  return out;
}

di::device record(const char *instance, std::vector<std::wstring> ids, bool present) {
  di::device d;
  d.instance_id = instance;
  d.hardware_ids = std::move(ids);
  d.present = present;
  return d;
}

}  // namespace

// ---- command line ------------------------------------------------------------------------

TEST(CommandLine, SplitsAsWindowsDoes) {
  EXPECT_EQ(split(L"\"C:\\Program Files\\a\\deploya.exe\" x"),
            (std::vector<std::wstring>{L"C:\\Program Files\\a\\deploya.exe", L"x"}));
  // The program name takes backslashes literally; arguments use the 2n / 2n+1 rule.
  EXPECT_EQ(split(L"C:\\a\\b.exe \"a b\" c\\\\\"d e\" f\\\"g h\\i \"j\"\"k\""),
            (std::vector<std::wstring>{L"C:\\a\\b.exe", L"a b", L"c\\d e", L"f\"g", L"h\\i", L"j\"k"}));
  EXPECT_EQ(split(L"p   \t  "), (std::vector<std::wstring>{L"p"}));
  EXPECT_EQ(split(L"p \"\""), (std::vector<std::wstring>{L"p", L""}));
  EXPECT_EQ(split(L"").size(), 1u);  // the program's own path
  EXPECT_EQ(CommandLineToArgvW(L"p", nullptr), nullptr);
}

TEST(CommandLine, OverrideAndStartupLine) {
  standin::process::set_command_line(L"C:\\x\\deploya.exe a \"b c\"");
  EXPECT_STREQ(GetCommandLineW(), L"C:\\x\\deploya.exe a \"b c\"");
  EXPECT_STREQ(GetCommandLineA(), "C:\\x\\deploya.exe a \"b c\"");
  standin::process::reset_command_line();
  // The test program's own line starts with its path.
  std::wstring own = GetCommandLineW();
  EXPECT_NE(own.find(L"winplat_devinst_tests"), std::wstring::npos);
}

TEST(CodePage, Utf8RoundTripAndShortBuffers) {
  const char *text = "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac";  // "Grüß €"
  wchar_t wide[16];
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 16);
  EXPECT_EQ(n, 7);
  EXPECT_STREQ(wide, L"Gr\u00fc\u00df \u20ac");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 7);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char back[16];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 16, nullptr, nullptr), 11);
  EXPECT_STREQ(back, text);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 4, nullptr, nullptr), 0);
}

// ---- paths and files ---------------------------------------------------------------------

TEST(Paths, FullPathNames) {
  wchar_t buf[MAX_PATH];
  LPWSTR file = nullptr;
  EXPECT_EQ(GetFullPathNameW(L"C:/a/b/../c/./d.exe", MAX_PATH, buf, &file), 12u);
  EXPECT_STREQ(buf, L"C:\\a\\c\\d.exe");
  EXPECT_STREQ(file, L"d.exe");
  // Too small: the size needed, with its terminator.
  EXPECT_EQ(GetFullPathNameW(L"C:\\a\\c\\d.exe", 12, buf, nullptr), 13u);
  // A relative path is taken from the current folder.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::wstring expect;
  for (char *c = cwd; *c; ++c) expect.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
  EXPECT_EQ(GetFullPathNameW(L"x\\y.exe", MAX_PATH, buf, nullptr), expect.size() + 8);
  EXPECT_EQ(std::wstring(buf), expect + L"\\x\\y.exe");
}

TEST(Paths, Canonicalize) {
  wchar_t out[MAX_PATH];
  EXPECT_TRUE(PathCanonicalizeW(out, L"C:\\a\\.\\b\\..\\c.inf"));
  EXPECT_STREQ(out, L"C:\\a\\c.inf");
  EXPECT_TRUE(PathCanonicalizeW(out, L"C:\\..\\..\\x"));
  EXPECT_STREQ(out, L"C:\\x");
  EXPECT_FALSE(PathCanonicalizeW(out, (L"C:\\" + std::wstring(300, L'a')).c_str()));
}

TEST_F(Root, SearchMatchesWithoutRegardToCase) {
  fs::create_directories(root_ + "/c/windows/inf");
  for (const char *n : {"oem1.inf", "OEM2.INF", "oem3.pnf", "other.inf"}) write(std::string("c/windows/inf/") + n, "x");
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(L"C:\\WINDOWS\\Inf\\Oem*.inf", &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::wstring> names{d.cFileName};
  while (FindNextFileW(h, &d)) names.push_back(d.cFileName);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"OEM2.INF", L"oem1.inf"}));
  EXPECT_EQ(FindFirstFileW(L"C:\\WINDOWS\\Inf\\none*.inf", &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileW(L"C:\\nowhere\\*.inf", &d), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Root, ReadOnlyFilesAreNotDeletedUntilMadeWritable) {
  write("c/media/a.inf", "x");
  ASSERT_EQ(_wchmod(L"C:\\media\\a.inf", _S_IREAD), 0);
  EXPECT_EQ(_waccess(L"C:\\media\\a.inf", 2), -1);
  EXPECT_FALSE(DeleteFileW(L"C:\\media\\a.inf"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(_wchmod(L"C:\\MEDIA\\A.INF", _S_IWRITE), 0);
  EXPECT_TRUE(DeleteFileW(L"C:\\media\\a.inf"));
  EXPECT_EQ(_waccess(L"C:\\media\\a.inf", 0), -1);
  EXPECT_FALSE(DeleteFileW(L"C:\\media\\a.inf"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Root, WideOpenTakesWindowsModesAndRefusesFolders) {
  FILE *f = _wfopen(L"C:\\media\\log.txt", L"a+");
  ASSERT_NE(f, nullptr);
  fputws(L"one\n", f);
  fclose(f);
  f = _wfopen(L"C:\\media\\log.txt", L"rS");
  ASSERT_NE(f, nullptr);
  char line[16] = {};
  EXPECT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "one\n");
  fclose(f);
  EXPECT_EQ(_wfopen(L"C:\\media", L"r"), nullptr);
  EXPECT_EQ(_wfopen(L"C:\\media\\log.txt", L"x"), nullptr);
}

// ---- the INF store -----------------------------------------------------------------------

TEST_F(Root, CopiesArePublishedOnceUnderTheLowestFreeNumber) {
  write("c/media/a.inf", "package a");
  write("c/media/b.inf", "package b");
  wchar_t dest[MAX_PATH];
  PWSTR component = nullptr;
  DWORD need = 0;
  ASSERT_TRUE(SetupCopyOEMInfW(L"C:\\media\\a.inf", nullptr, SPOST_PATH, 0, dest, MAX_PATH, &need, &component));
  EXPECT_STREQ(dest, L"C:\\WINDOWS\\INF\\oem0.inf");
  EXPECT_STREQ(component, L"oem0.inf");
  EXPECT_EQ(need, 24u);
  ASSERT_TRUE(SetupCopyOEMInfW(L"C:\\media\\b.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
  ASSERT_TRUE(SetupCopyOEMInfW(L"C:\\media\\a.inf", nullptr, SPOST_PATH, 0, dest, MAX_PATH, nullptr, nullptr));
  EXPECT_STREQ(dest, L"C:\\WINDOWS\\INF\\oem0.inf");  // the same package again
  EXPECT_FALSE(
      SetupCopyOEMInfW(L"C:\\media\\a.inf", nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  auto store = di::inf_store();
  ASSERT_EQ(store.size(), 2u);
  EXPECT_EQ(store[0].oem_name, "oem0.inf");
  EXPECT_EQ(store[0].original_name, "a.inf");
  EXPECT_EQ(store[1].original_name, "b.inf");

  // Removing oem0 frees its number.
  ASSERT_TRUE(SetupUninstallOEMInfW(L"OEM0.INF", 0, nullptr));
  EXPECT_FALSE(fs::exists(root_ + "/c/WINDOWS/INF/oem0.pnf"));
  write("c/media/c.inf", "package c");
  ASSERT_TRUE(SetupCopyOEMInfW(L"C:\\media\\c.inf", nullptr, SPOST_PATH, 0, dest, MAX_PATH, nullptr, nullptr));
  EXPECT_STREQ(dest, L"C:\\WINDOWS\\INF\\oem0.inf");

  EXPECT_FALSE(SetupCopyOEMInfW(L"C:\\media\\none.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(SetupCopyOEMInfW(L"C:\\media\\a.inf", nullptr, SPOST_PATH, 0, dest, 10, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Root, AnInfInUseIsRemovedOnlyByForce) {
  write("c/media/a.inf", "package a");
  di::add_device(record("USB\\VID_1\\1", {L"USB\\VID_1"}, true));
  BOOL reboot = TRUE;
  ASSERT_TRUE(
      UpdateDriverForPlugAndPlayDevicesW(nullptr, L"usb\\vid_1", L"C:\\media\\a.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_FALSE(reboot);
  EXPECT_FALSE(SetupUninstallOEMInfW(L"oem0.inf", 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INF_IN_USE_BY_DEVICES);
  EXPECT_FALSE(SetupUninstallOEMInfW(L"C:\\WINDOWS\\INF\\oem0.inf", SUOI_FORCEDELETE, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetupUninstallOEMInfW(L"oem0.inf", SUOI_FORCEDELETE, nullptr));
  di::device d;
  ASSERT_TRUE(di::find_device("usb\\vid_1\\1", &d));
  EXPECT_EQ(d.driver_inf, "");
  EXPECT_FALSE(SetupUninstallOEMInfW(L"oem0.inf", SUOI_FORCEDELETE, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// ---- driver update and device records ----------------------------------------------------

TEST_F(Root, UpdateMatchesWholeIdsOfPresentDevicesOnly) {
  write("c/media/a.inf", "package a");
  di::add_device(record("USB\\VID_1&PID_2\\1", {L"USB\\VID_1&PID_2&REV_1", L"USB\\VID_1&PID_2"}, false));
  BOOL reboot = FALSE;
  for (const wchar_t *id : {L"USB\\VID_1&PID_2", L"USB\\VID_1&PID_2*", L"USB\\VID_1"}) {
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, id, L"C:\\media\\a.inf", INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
  }
  di::add_device(record("USB\\VID_1&PID_2\\2", {L"USB\\VID_1&PID_2&REV_1", L"USB\\VID_1&PID_2"}, true));
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"USB\\VID_1&PID_2*", L"C:\\media\\a.inf", 1, &reboot));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
  di::set_update_needs_reboot(true);
  EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"USB\\VID_1&PID_2&REV_1", L"C:\\media\\a.inf", 1, &reboot));
  EXPECT_TRUE(reboot);
  auto devices = di::devices();
  EXPECT_EQ(devices[0].updates, 0);
  EXPECT_EQ(devices[1].updates, 1);
  EXPECT_EQ(devices[1].driver_inf, "oem0.inf");

  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"USB\\VID_1&PID_2", L"C:\\media\\a.inf", 8, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"USB\\VID_1&PID_2", L"C:\\media\\b.inf", 1, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(di::update_requests().size(), 7u);
}

TEST_F(Root, RecordsByEnumeratorPresenceAndProperty) {
  di::add_device(record("USB\\VID_1\\1", {L"USB\\VID_1", L"USB\\CLASS_FF"}, true));
  di::add_device(record("USB\\VID_1\\2", {L"USB\\VID_1"}, false));
  di::add_device(record("PCI\\VEN_1\\3", {L"PCI\\VEN_1"}, false));
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, L"usb", nullptr, DIGCF_ALLCLASSES);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA d{};
  d.cbSize = sizeof d;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 0, &d));
  DWORD type = 0, need = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(all, &d, SPDRP_HARDWAREID, &type, nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, (9u + 1 + 12 + 1 + 1) * sizeof(WCHAR));
  std::vector<BYTE> buf(need);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &d, SPDRP_HARDWAREID, &type, buf.data(), need, nullptr));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_STREQ(reinterpret_cast<wchar_t *>(buf.data()), L"USB\\VID_1");
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, d.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 1, &d));
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, d.DevInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(all, &d, SPDRP_CONFIGFLAGS, &type, buf.data(), 4, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 2, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 0, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));

  HDEVINFO present = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  EXPECT_TRUE(SetupDiEnumDeviceInfo(present, 0, &d));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(present, 1, &d));
  SetupDiDestroyDeviceInfoList(present);

  // A list of its own, with a record opened by instance id and its flags written.
  HDEVINFO mine = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  ASSERT_TRUE(SetupDiOpenDeviceInfoW(mine, L"PCI\\VEN_1\\3", nullptr, 0, &d));
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(mine, L"PCI\\VEN_1\\4", nullptr, 0, &d));
  EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
  wchar_t id[8];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(mine, &d, id, 8, &need));
  EXPECT_EQ(need, 12u);
  DWORD flags = 0x21;
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(mine, &d, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE *>(&flags), 4));
  EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(mine, &d, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE *>(&flags), 2));
  SetupDiDestroyDeviceInfoList(mine);
  di::device rec;
  ASSERT_TRUE(di::find_device("PCI\\VEN_1\\3", &rec));
  EXPECT_EQ(rec.config_type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(rec.config_flags, 0x21u);
}

TEST_F(Root, SwitchesSkipThenFailForTheirCount) {
  di::fail(call::create_info_list, ERROR_NOT_ENOUGH_MEMORY, 1, 2);
  std::vector<bool> made;
  for (int i = 0; i < 4; ++i) {
    HDEVINFO h = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    made.push_back(h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
      SetupDiDestroyDeviceInfoList(h);
    else
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  EXPECT_EQ(made, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(di::calls(call::create_info_list), 4);

  di::set_install_in_progress(true);
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_TIMEOUT));
  di::reset();
  EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(di::calls(call::create_info_list), 0);
}
