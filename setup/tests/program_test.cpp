// The installer as the program a setup starts: its exit codes and what it leaves on the machine.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zephtest/wait.h"

extern char **environ;
namespace fs = std::filesystem;

namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/deploya_program_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    fs::create_directories(root_ + "/c/temp");
    fs::create_directories(root_ + "/c/windows/inf");
    fs::create_directories(root_ + "/media/amd64");
    fs::copy_file(DEPLOYA_PROGRAM, root_ + "/media/amd64/deploya");
    fs::copy_file(SETUP_PACKAGE_INF, root_ + "/media/vantrel.inf");
    // The files the package brings, beside the program.
    std::ofstream(root_ + "/media/amd64/vantrel.sys") << "MZ driver";
    std::ofstream(root_ + "/media/amd64/VANTREL_CI.dll") << "MZ class installer";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Runs the copy in media/amd64 with these arguments; the exit status, or -1000 when it did not end
  // in time.
  int run(const std::vector<std::string> &args, const std::string &name = "") {
    std::string program = root_ + "/media/amd64/deploya";
    std::string argv0 = name.empty() ? program : name;
    std::vector<std::string> env = {"ZEPH_ROOT=" + root_, "TMP=C:\\temp", "Windir=C:\\windows"};
    for (char **e = environ; *e; ++e) {
      std::string v(*e);
      if (v.rfind("ZEPH_ROOT=", 0) != 0 && v.rfind("TMP=", 0) != 0 && v.rfind("Windir=", 0) != 0) env.push_back(v);
    }
    std::vector<char *> argv{argv0.data()};
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return -2000;
    int status = 0;
    bool ended = zephtest::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1000;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3000;
  }

  std::string read(const std::string &relative) {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string root_;
};

TEST_F(ProgramTest, TooFewArgumentsEndWithMinusOne) {
  EXPECT_EQ(run({"vantrel.inf", "USB"}), 255);  // -1 as a process status
  EXPECT_NE(read("c/temp/deploya.log").find("CmdLine : [vantrel.inf USB]\n"), std::string::npos);
}

TEST_F(ProgramTest, WithNoDeviceThePackageIsPublishedInTheStore) {
  EXPECT_EQ(run({"vantrel.inf", "USB", "USB\\VID_1A2B&PID_0100"}), 0);
  std::string log = read("c/temp/deploya.log");
  std::string root = root_;
  for (auto &c : root)
    if (c == '/') c = '\\';
  EXPECT_NE(log.find("MediaRootDirectory : [" + root + "\\media\\]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t\tSetupCopyOEMInf Ok\n"), std::string::npos) << log;
  EXPECT_EQ(read("c/windows/inf/oem0.inf"), read("media/vantrel.inf"));
  EXPECT_NE(read("c/windows/inf/oem0.pnf").find("original=vantrel.inf"), std::string::npos);

  // A second run removes the earlier copy first and publishes the package again.
  EXPECT_EQ(run({"vantrel.inf", "USB", "USB\\VID_1A2B&PID_0100"}), 0);
  EXPECT_NE(read("c/temp/deploya.log").find("\t\t\tSetupUninstallOEMInf : [oem0.inf]\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(root_ + "/c/windows/inf/oem0.inf"));
  EXPECT_FALSE(fs::exists(root_ + "/c/windows/inf/oem1.inf"));
}

// Started by a bare name from another folder, the program still finds its media beside itself.
TEST_F(ProgramTest, ABareProgramNameStillFindsTheMedia) {
  EXPECT_EQ(run({"vantrel.inf", "USB", "USB\\VID_1A2B&PID_0100"}, "deploya"), 0);
  std::string log = read("c/temp/deploya.log");
  std::string root = root_;
  for (auto &c : root)
    if (c == '/') c = '\\';
  EXPECT_NE(log.find("CmdLine : [vantrel.inf USB USB\\VID_1A2B&PID_0100]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MediaRootDirectory : [" + root + "\\media\\]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t\tSetupCopyOEMInf Ok\n"), std::string::npos) << log;
  EXPECT_EQ(read("c/windows/inf/oem0.inf"), read("media/vantrel.inf"));
}

}  // namespace
