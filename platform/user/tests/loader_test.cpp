// The loader: Windows library names, the registry folder as a Windows path, exports, DllMain.
#include <gtest/gtest.h>
#include <standin/debug.h>
#include <standin/process.h>
#include <windows.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "../kobject.h"
#include "zephtest/child.h"

namespace fs = std::filesystem;

namespace {

typedef int (*value_fn)();

std::string exe_dir() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

int count_lines(const std::string &text) {
  auto l = standin::debug::lines();
  return static_cast<int>(std::count(l.begin(), l.end(), text));
}

std::string narrow_of(const wchar_t *w) {
  std::string out;
  for (; *w; ++w) out.push_back(static_cast<char>(*w));
  return out;
}

int value_of(HMODULE m) {
  auto f = reinterpret_cast<value_fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, "zpt_value")));
  return f ? f() : -1;
}

TEST(Loader, BareNameFindsTheLibraryBesideTheExecutableInAnyCase) {
  standin::debug::clear();
  HMODULE a = LoadLibraryA("zpt_plugin");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(value_of(a), 1);
  HMODULE b = LoadLibraryA("ZPT_PLUGIN.DLL");
  EXPECT_EQ(b, a);  // one module, counted
  EXPECT_EQ(count_lines("zpt attach 1"), 1);
  EXPECT_EQ(GetModuleHandleA("zpt_plugin.dll"), a);
  char path[PATH_MAX];
  DWORD n = GetModuleFileNameA(a, path, sizeof path);
  EXPECT_GT(n, 0u);
  EXPECT_NE(std::string(path).find("zpt_plugin.so"), std::string::npos);
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_EQ(count_lines("zpt detach 1"), 0);
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_EQ(count_lines("zpt detach 1"), 1);
  EXPECT_FALSE(FreeLibrary(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct RootFolder : ::testing::Test {
  std::string root;
  std::string old_root;
  bool had_root = false;
  void SetUp() override {
    char tmpl[] = "/tmp/zeph-root-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    if (const char *r = getenv("ZEPH_ROOT")) {
      had_root = true;
      old_root = r;
    }
    setenv("ZEPH_ROOT", root.c_str(), 1);
    fs::create_directories(root + "/c/Zeph Libs/Bin");
    fs::copy_file(exe_dir() + "/zpt_alt/zpt_plugin.so", root + "/c/Zeph Libs/Bin/zpt_plugin.so");
  }
  void TearDown() override {
    if (had_root)
      setenv("ZEPH_ROOT", old_root.c_str(), 1);
    else
      unsetenv("ZEPH_ROOT");
    fs::remove_all(root);
  }
};

TEST_F(RootFolder, WindowsFolderWithBackslashesMapsUnderTheRoot) {
  HMODULE m = LoadLibraryA("C:\\ZEPH LIBS\\bin\\zpt_plugin");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(value_of(m), 2);  // the copy in the folder, not the one beside the executable
  HMODULE trailing = LoadLibraryA("c:\\Zeph Libs\\Bin\\\\zpt_plugin");  // folder given with a trailing backslash
  EXPECT_EQ(trailing, m);
  HMODULE beside = LoadLibraryA("zpt_plugin");
  ASSERT_NE(beside, nullptr);
  EXPECT_NE(beside, m);
  EXPECT_EQ(value_of(beside), 1);
  FreeLibrary(beside);
  FreeLibrary(trailing);
  FreeLibrary(m);
}

TEST_F(RootFolder, FolderWithoutTheFileFailsWithModNotFound) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("C:\\Zeph Libs\\zpt_plugin"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA("zpt_nowhere"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(RootFolder, PathsMapCaseInsensitivelyForExistingParts) {
  EXPECT_EQ(wb::map_path("C:\\zeph libs\\BIN\\zpt_plugin.so"), root + "/c/Zeph Libs/Bin/zpt_plugin.so");
  EXPECT_EQ(wb::map_path("C:\\Zeph Libs\\new\\file.txt"), root + "/c/Zeph Libs/new/file.txt");
  EXPECT_EQ(wb::map_path("/opt/x\\y"), "/opt/x/y");
}

// A library below a drive folder is named with its drive; the executable elsewhere keeps its Linux
// path with backslashes, which the file calls take back.
TEST_F(RootFolder, ModuleFileNamesAreWindowsPaths) {
  HMODULE m = LoadLibraryA("C:\\zeph libs\\bin\\zpt_plugin");
  ASSERT_NE(m, nullptr);
  wchar_t wide[PATH_MAX];
  DWORD n = GetModuleFileNameW(m, wide, PATH_MAX);
  EXPECT_EQ(std::wstring(wide), L"C:\\Zeph Libs\\Bin\\zpt_plugin.so");
  EXPECT_EQ(n, wcslen(wide));
  char narrow[PATH_MAX];
  EXPECT_EQ(GetModuleFileNameA(m, narrow, PATH_MAX), n);
  EXPECT_EQ(std::string(narrow), "C:\\Zeph Libs\\Bin\\zpt_plugin.so");
  FreeLibrary(m);

  std::string exe = fs::read_symlink("/proc/self/exe").string();
  n = GetModuleFileNameW(nullptr, wide, PATH_MAX);
  ASSERT_EQ(n, exe.size());
  EXPECT_EQ(wb::map_path(narrow_of(wide).c_str()), exe);
  EXPECT_EQ(narrow_of(wide).find('/'), std::string::npos);
}

TEST(Loader, ModuleFileNameCutToASmallBufferIsTerminated) {
  wchar_t wide[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 6), 6u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[5], L'\0');
  EXPECT_EQ(wcslen(wide), 5u);
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 0), 0u);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), wide, 6), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Loader, ATestNamesTheExecutablesFileApartFromTheCommandLine) {
  standin::process::set_image_path(L"C:\\media\\setup\\amd64\\deploya.exe");
  standin::process::set_command_line(L"deploya a b");
  wchar_t wide[PATH_MAX];
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, PATH_MAX), 32u);
  EXPECT_EQ(std::wstring(wide), L"C:\\media\\setup\\amd64\\deploya.exe");
  EXPECT_EQ(std::wstring(GetCommandLineW()), L"deploya a b");
  standin::process::reset_image_path();
  standin::process::reset_command_line();
  GetModuleFileNameW(nullptr, wide, PATH_MAX);
  EXPECT_EQ(wb::map_path(narrow_of(wide).c_str()), fs::read_symlink("/proc/self/exe").string());
}

TEST(Loader, LinuxFolderJoinedWithABackslashWorks) {
  std::string p = exe_dir() + "/zpt_alt\\zpt_plugin";
  HMODULE m = LoadLibraryA(p.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(value_of(m), 2);
  FreeLibrary(m);
}

TEST(Loader, MissingExportAndForeignSymbolsAreNotFound) {
  HMODULE m = LoadLibraryA("zpt_plugin");
  ASSERT_NE(m, nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(m, "zpt_absent_get_instance"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // The library links the stand-in, but does not export its functions.
  EXPECT_EQ(GetProcAddress(m, "CreateEventA"), nullptr);
  EXPECT_EQ(GetProcAddress(m, reinterpret_cast<LPCSTR>(1)), nullptr);
  FreeLibrary(m);
  EXPECT_EQ(GetProcAddress(m, "zpt_value"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Loader, SystemLibraryNamesGiveTheStandInItself) {
  for (const char *name : {"setupapi.dll", "SETUPAPI", "SetupApi.DLL", "kernel32", "advapi32.dll"}) {
    HMODULE m = LoadLibraryA(name);
    ASSERT_NE(m, nullptr) << name;
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(m, "CreateEventA")), reinterpret_cast<void *>(&CreateEventA))
        << name;
    EXPECT_TRUE(FreeLibrary(m));
  }
  EXPECT_NE(GetModuleHandleA("kernel32.dll"), nullptr);
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

TEST(Loader, FailedInitialisationFailsTheLoad) {
  standin::debug::clear();
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("zpt_badinit"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(count_lines("zpt attach 3"), 1);
  EXPECT_EQ(count_lines("zpt detach 3"), 1);
  EXPECT_EQ(GetModuleHandleA("zpt_badinit"), nullptr);
}

// A module found by an address in it is counted like a load unless the caller says otherwise.
TEST(Loader, ModuleOfAnAddressIsCountedUnlessAskedNotTo) {
  standin::debug::clear();
  HMODULE m = LoadLibraryA("zpt_plugin");
  ASSERT_NE(m, nullptr);
  auto address = reinterpret_cast<LPCSTR>(GetProcAddress(m, "zpt_value"));
  HMODULE found = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &found));
  EXPECT_EQ(found, m);
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 address, &found));
  EXPECT_EQ(found, m);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(count_lines("zpt detach 1"), 0) << "the count taken by the address was not kept";
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(count_lines("zpt detach 1"), 1) << "UNCHANGED_REFCOUNT counted too";

  // The executable's own code and an address in no module.
  ASSERT_TRUE(
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&count_lines), &found));
  EXPECT_EQ(found, GetModuleHandleA(nullptr));
  int local = 0;
  SetLastError(0);
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&local), &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace

namespace {

bool has_line(const std::string &output, const std::string &line) {
  return output.find(line + "\n") != std::string::npos;
}

// Runs the exit probe in `mode`, which must end with status 3; its output (none when it did not end).
std::string exit_probe_output(const char *mode) {
  const zephtest::child_result r = zephtest::run_child(WB_EXIT_PROBE, {mode});
  EXPECT_TRUE(r.ended) << r.output;
  EXPECT_EQ(r.status, 3) << r.output;
  return r.ended ? r.output : std::string();
}

}  // namespace

// At the exit (a return from main, or ExitProcess from the main thread) the other threads are stopped
// first, wherever they stand: one busy in the program's code no longer runs, and one blocked in a
// platform wait and one made but not run yet are gone too, all ended with the process's exit status.
// Then the exiting thread's fiber-local values go to their callbacks, and each library still loaded
// gets its detach with the process-exit flag.
TEST(LoaderExit, TheOtherThreadsAreStoppedBeforeTheLibrariesDetachWithTheExitFlag) {
  for (const char *mode : {"return", "exit"}) {
    SCOPED_TRACE(mode);
    const std::string out = exit_probe_output(mode);
    EXPECT_TRUE(has_line(out, "probe: exiting")) << out;
    EXPECT_TRUE(has_line(out, "detach: process exit yes")) << out;
    // The exiting thread's fiber-local value went to its callback first, as on Windows.
    EXPECT_LT(out.find("fls: the exiting thread's value\n"), out.find("detach: process exit yes\n")) << out;
    EXPECT_TRUE(has_line(out, "detach: busy thread stopped")) << out;
    EXPECT_TRUE(has_line(out, "detach: threads ended, exit codes 3 3")) << out;
    EXPECT_TRUE(has_line(out, "detach: unstarted thread ended, exit code 3")) << out;
  }
}

// A critical section that a stopped thread held, entered at the exit, ends the process there with its
// exit status (as on Windows since Vista), rather than waiting for ever.
TEST(LoaderExit, ASectionAStoppedThreadHeldEndsTheProcessWhenEntered) {
  const std::string out = exit_probe_output("orphan");
  EXPECT_TRUE(has_line(out, "detach: entering the section a stopped thread holds")) << out;
  EXPECT_FALSE(has_line(out, "detach: entered")) << out;
}

// A thread the exit is stopping may still run outside the program's code (here asleep in a read
// until the detach wakes it). Meeting a section a stopped thread holds, it stops for good there: it
// neither ends the process under the detach nor enters the section.
TEST(LoaderExit, AThreadBeingStoppedThatMeetsAnOrphanedSectionStopsThereAndTheExitGoesOn) {
  const std::string out = exit_probe_output("woken");
  EXPECT_TRUE(has_line(out, "detach: waking a thread being stopped")) << out;
  EXPECT_TRUE(has_line(out, "detach: the woken thread stopped at the section")) << out;
  EXPECT_EQ(out.find("critical section held by a stopped thread"), std::string::npos) << out;
  EXPECT_FALSE(has_line(out, "probe: the woken thread entered the section")) << out;
}
