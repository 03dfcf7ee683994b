// A machine for the installer: a root folder standing for drive C: with the media (the package's INF in
// setup\, its files in setup\amd64), the INF store and %TMP%; the command line; the installer's log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

class DeployaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the program's entry with this command line (program path first) and returns its exit code;
  // the program's file is the command line's program path.
  int run(const std::wstring &command_line);
  // The same for a program whose file is `image` whatever the command line names (a launcher may
  // pass a bare name, or any text, as the program's name).
  int run_as(const std::wstring &image, const std::wstring &command_line);
  // Back to a machine without devices, switches or log, for the next case of a table.
  void fresh_machine() const;
  // Runs the program from C:\media\setup\amd64 with these arguments.
  int run_args(const std::wstring &arguments);

  std::string log() const;
  std::vector<std::string> log_lines() const;
  bool logged(const std::string &line) const;
  int count_logged(const std::string &line) const;

  // A file below the root, by its path there ("c/windows/inf/oem0.inf").
  std::string path(const std::string &relative) const { return root_ + "/" + relative; }
  bool exists(const std::string &relative) const;
  void write(const std::string &relative, const std::string &text, bool read_only = false) const;
  // An earlier copy in the store: oem<n>.inf with text and its .pnf.
  void put_store_copy(int n, const std::string &text, bool read_only = false) const;

  std::string package_text() const { return package_; }
  // The package as a setup leaves it in `folder`: its INF (named `inf`) and the files it brings in amd64\.
  void lay_out_package(const std::string &folder, const std::string &inf = "vantrel.inf") const;

  std::string root_;
  std::string package_;
};
