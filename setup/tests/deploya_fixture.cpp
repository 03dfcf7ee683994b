#include "deploya_fixture.h"

#include <standin/devinst.h>
#include <standin/loader.h>
#include <standin/process.h>
#include <windows.h>

#include <shellapi.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

void DeployaTest::SetUp() {
  char tmpl[] = "/tmp/deploya_test_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root_ = tmpl;
  for (const char *d : {"c/temp", "c/windows/inf", "c/media/setup/amd64"}) fs::create_directories(path(d));
  std::ifstream in(SETUP_PACKAGE_INF, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  package_ = ss.str();
  ASSERT_FALSE(package_.empty());
  lay_out_package("c/media/setup");
  setenv("ZEPH_ROOT", root_.c_str(), 1);
  setenv("TMP", "C:\\TEMP", 1);
  setenv("Windir", "C:\\WINDOWS", 1);
  standin::devinst::reset();
  standin::loader::unhide_all();
}

void DeployaTest::TearDown() {
  standin::devinst::reset();
  standin::loader::unhide_all();
  standin::process::reset_command_line();
  standin::process::reset_image_path();
  unsetenv("ZEPH_ROOT");
  // Read-only files go with their folder.
  std::error_code ec;
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto &e : fs::recursive_directory_iterator(root_, ec))
    fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
  fs::remove_all(root_, ec);
}

int DeployaTest::run(const std::wstring &command_line) {
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(command_line.c_str(), &argc);
  std::wstring image = argv && argc > 0 ? argv[0] : L"";
  if (argv) LocalFree(argv);
  return run_as(image, command_line);
}

int DeployaTest::run_as(const std::wstring &image, const std::wstring &command_line) {
  standin::process::set_image_path(image);
  standin::process::set_command_line(command_line);
  // The tail WinMain gets: what follows the program name.
  std::string narrow(GetCommandLineA());
  size_t at = 0;
  if (!narrow.empty() && narrow[0] == '"') {
    at = narrow.find('"', 1);
    at = at == std::string::npos ? narrow.size() : at + 1;
  } else {
    at = narrow.find_first_of(" \t");
    if (at == std::string::npos) at = narrow.size();
  }
  while (at < narrow.size() && (narrow[at] == ' ' || narrow[at] == '\t')) ++at;
  std::string tail = narrow.substr(at);
  return WinMain(nullptr, nullptr, tail.data(), SW_SHOWDEFAULT);
}

void DeployaTest::fresh_machine() const {
  standin::devinst::reset();
  write("c/temp/deploya.log", "");
}

int DeployaTest::run_args(const std::wstring &arguments) {
  return run(L"C:\\media\\setup\\amd64\\deploya.exe " + arguments);
}

std::string DeployaTest::log() const {
  std::ifstream in(path("c/temp/deploya.log"), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> DeployaTest::log_lines() const {
  std::vector<std::string> out;
  std::istringstream in(log());
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

bool DeployaTest::logged(const std::string &line) const { return count_logged(line) > 0; }

int DeployaTest::count_logged(const std::string &line) const {
  int n = 0;
  for (auto &l : log_lines()) n += l == line;
  return n;
}

bool DeployaTest::exists(const std::string &relative) const { return fs::exists(path(relative)); }

void DeployaTest::write(const std::string &relative, const std::string &text, bool read_only) const {
  std::ofstream(path(relative), std::ios::binary) << text;
  if (read_only) chmod(path(relative).c_str(), 0444);
}

void DeployaTest::lay_out_package(const std::string &folder, const std::string &inf) const {
  fs::create_directories(path(folder + "/amd64"));
  write(folder + "/" + inf, package_);
  write(folder + "/amd64/vantrel.sys", "MZ driver");
  write(folder + "/amd64/VANTREL_CI.dll", "MZ class installer");
}

void DeployaTest::put_store_copy(int n, const std::string &text, bool read_only) const {
  std::string base = "c/windows/inf/oem" + std::to_string(n);
  write(base + ".inf", text, read_only);
  write(base + ".pnf", "original=earlier.inf\n", read_only);
}
