// The installer through its entry point: command line, log, removal of earlier copies, update,
// pre-installation, reinstall marking, and every failure with its log line.
#include <setupapi.h>
#include <standin/devinst.h>
#include <standin/loader.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "../deploya/inf_match.h"
#include "deploya_fixture.h"

namespace di = standin::devinst;
using di::call;

namespace {

const wchar_t kId0[] = L"USB\\VID_1A2B&PID_0100";
const wchar_t kId1[] = L"USB\\VID_1A2B&PID_0101";
const char kInfPath[] = "C:\\media\\setup\\vantrel.inf";

di::device device(const std::string &instance, const std::wstring &id, bool present, DWORD flags = 0,
                  DWORD type = REG_DWORD) {
  di::device d;
  d.instance_id = instance;
  d.hardware_ids = {id + L"&REV_0100", id};
  d.present = present;
  d.config_type = type;
  d.config_flags = flags;
  return d;
}

di::device record(const std::string &instance) {
  di::device d;
  EXPECT_TRUE(di::find_device(instance, &d)) << instance;
  return d;
}

}  // namespace

// The package's INF: its [Version] section locks the installed files down against other writers.
TEST(Package, VersionSectionAsksForPnpLockdown) {
  std::ifstream in(SETUP_PACKAGE_INF, std::ios::binary);
  ASSERT_TRUE(in.good());
  std::string line;
  std::string section;
  std::vector<std::string> version;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      section = line;
      continue;
    }
    if (section == "[Version]" && !line.empty() && line[0] != ';') version.push_back(line);
  }
  EXPECT_EQ(std::count(version.begin(), version.end(), "PnpLockdown=1"), 1);
  EXPECT_EQ(std::count(version.begin(), version.end(), "Signature=\"$WINDOWS NT$\""), 1);
}

// ---- command line and log ----------------------------------------------------------------

TEST_F(DeployaTest, HeaderAndArgumentsAreLoggedAsGiven) {
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101"), 0);
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(lines[0], "Start  ");
  EXPECT_EQ(lines[1], std::string(62, '-'));
  EXPECT_TRUE(
      std::regex_match(lines[2], std::regex(R"(\*\*\* Ondrel-Brivane deploya V1\.2 \[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) )"
                                            R"([A-Z][a-z]{2} \d\d \d{4}, \d\d:\d\d:\d\d\.\d{3} GMT\] \*\*\* )")))
      << lines[2];
  EXPECT_EQ(lines[3], "CmdLine : [vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101]");
  EXPECT_EQ(lines[4], "szInf              : [vantrel.inf]");
  EXPECT_EQ(lines[5], "szEnum             : [USB]");
  EXPECT_EQ(lines[6], "szHW_ID[0]         : [USB\\VID_1A2B&PID_0100]");
  EXPECT_EQ(lines[7], "szHW_ID[1]         : [USB\\VID_1A2B&PID_0101]");
  EXPECT_EQ(lines[8], "MediaRootDirectory : [C:\\media\\setup\\]");
  EXPECT_EQ(log().substr(log().size() - 8), "Exit \n\n ");
}

TEST_F(DeployaTest, MissingHardwareIdEndsWithMinusOneAndOnlyTheHeader) {
  EXPECT_EQ(run_args(L"vantrel.inf USB"), -1);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 4u) << log();
  EXPECT_EQ(lines[3], "CmdLine : [vantrel.inf USB]");
  EXPECT_EQ(run_args(L"/u vantrel.inf"), -1);
  EXPECT_EQ(di::calls(call::update_driver), 0);
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
}

TEST_F(DeployaTest, FiftyIdsAreTakenMoreAreRefusedBeforeAnyChange) {
  std::wstring ids;
  for (int i = 0; i < 50; ++i) ids += L" USB\\VID_1A2B&PID_" + std::to_wstring(1000 + i);
  EXPECT_EQ(run_args(L"vantrel.inf USB" + ids), 0);
  EXPECT_EQ(di::update_requests().size(), 50u);
  EXPECT_TRUE(logged("szHW_ID[49]         : [USB\\VID_1A2B&PID_1049]"));
  // The command line is longer than a message: it is cut, and its line still ends.
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[3].size(), 1022u);
  EXPECT_EQ(lines[4], "szInf              : [vantrel.inf]");

  di::reset();
  put_store_copy(0, "USB\\VID_1A2B&PID_1000");
  EXPECT_EQ(run_args(L"vantrel.inf USB" + ids + L" USB\\VID_1A2B&PID_2000"), -1);
  EXPECT_TRUE(logged(" ERROR ! 51 hardware ids, at most 50 -> Exit ... ")) << log();
  EXPECT_EQ(di::update_requests().size(), 0u);
  EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
}

TEST_F(DeployaTest, ArgumentsLongerThan255CharactersAreRefused) {
  std::wstring longest(255, L'A');
  EXPECT_EQ(run_args(L"vantrel.inf USB " + longest), 0);
  ASSERT_EQ(di::update_requests().size(), 1u);
  EXPECT_EQ(di::update_requests()[0].hardware_id, longest);

  di::reset();
  for (const std::wstring &args :
       {L"vantrel.inf USB A" + longest, L"vantrel.inf " + longest + L"B USB X", L"/u " + longest + L"C USB X"}) {
    EXPECT_EQ(run_args(args), -1);
    EXPECT_EQ(di::calls(call::update_driver), 0);
    EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
  }
  EXPECT_EQ(count_logged(" ERROR ! Argument 3 longer than 255 characters -> Exit ... "), 1);
  EXPECT_EQ(count_logged(" ERROR ! Argument 2 longer than 255 characters -> Exit ... "), 2);
}

TEST_F(DeployaTest, MediaRootDropsAnAmd64FolderInAnyCase) {
  struct {
    std::wstring program;
    std::string root;
  } cases[] = {
      {L"C:\\media\\setup\\amd64\\deploya.exe", "C:\\media\\setup\\"},
      {L"C:\\media\\setup\\AMD64\\deploya.exe", "C:\\media\\setup\\"},
      {L"C:/media/setup/amd64/deploya.exe", "C:\\media\\setup\\"},
      {L"C:\\media\\setup\\deploya.exe", "C:\\media\\setup\\"},
      {L"C:\\media\\xamd64\\deploya.exe", "C:\\media\\xamd64\\"},
      {L"\"C:\\media\\setup\\amd64\\..\\amd64\\deploya.exe\"", "C:\\media\\setup\\"},
  };
  lay_out_package("c/media/xamd64");
  for (auto &c : cases) {
    fresh_machine();
    EXPECT_EQ(run(c.program + L" vantrel.inf USB X"), 0);
    EXPECT_TRUE(logged("MediaRootDirectory : [" + c.root + "]")) << log();
  }
}

// The media root is the program's own folder, whatever name the launcher passed for it.
TEST_F(DeployaTest, MediaRootComesFromTheProgramsFileNotTheCommandLine) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\1", kId0, true));
  for (std::wstring name : {L"deploya", L"deploya.exe", L"D:\\elsewhere\\amd64\\deploya.exe"}) {
    fresh_machine();
    di::add_device(device("USB\\VID_1A2B&PID_0100\\1", kId0, true));
    EXPECT_EQ(run_as(L"C:\\media\\setup\\amd64\\deploya.exe", name + L" vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
    EXPECT_TRUE(logged("MediaRootDirectory : [C:\\media\\setup\\]")) << log();
    ASSERT_EQ(di::update_requests().size(), 1u) << log();
    EXPECT_EQ(di::update_requests()[0].inf_path, L"C:\\media\\setup\\vantrel.inf");
  }
}

// A program path too long for the media root is refused as a too long INF path is, in both modes.
TEST_F(DeployaTest, ProgramPathTooLongForAMediaRootIsRefused) {
  put_store_copy(0, "X");
  std::wstring deep = L"C:\\" + std::wstring(270, L'd') + L"\\deploya.exe";
  for (std::wstring args : {L" vantrel.inf USB X", L" /u vantrel.inf USB X"}) {
    fresh_machine();
    EXPECT_EQ(run(deep + args), -1);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 5u + (args[2] == L'u')) << log();
    EXPECT_EQ(lines.back().rfind(" ERROR ! ERROR_FILENAME_EXCED_RANGE C:\\dddd", 0), 0u) << lines.back();
    EXPECT_EQ(lines.back().substr(lines.back().size() - 13), " -> Exit ... ");
    EXPECT_EQ(di::calls(call::update_driver), 0);
    EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
    EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
  }
}

TEST_F(DeployaTest, LogIsAppendedNotOverwritten) {
  write("c/temp/deploya.log", "an earlier run\n");
  run_args(L"vantrel.inf USB X");
  run_args(L"vantrel.inf USB Y");
  auto lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "an earlier run");
  // The run before ends with "Exit \n\n ", so the next header follows that blank.
  EXPECT_EQ(count_logged("Start  "), 1);
  EXPECT_EQ(count_logged(" Start  "), 1);
  EXPECT_TRUE(logged("szHW_ID[0]         : [X]"));
  EXPECT_TRUE(logged("szHW_ID[0]         : [Y]"));
}

TEST_F(DeployaTest, WithoutTmpTheRunGoesOnWithoutALog) {
  unsetenv("TMP");
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_FALSE(exists("c/temp/deploya.log"));
  EXPECT_EQ(di::inf_store().size(), 1u);
}

// The clean-up deletes below Windir: a Windir that is not the system's Windows folder would take it out
// of the INF store, so the run is refused before any change. The same folder written otherwise is taken.
TEST_F(DeployaTest, WindirOtherThanTheWindowsFolderIsRefused) {
  std::filesystem::create_directories(path("c/fake/inf"));
  for (const char *windir : {"C:\\fake", "C:\\WINDOWS\\inf", "WINDOWS"}) {
    for (std::wstring args :
         {L"vantrel.inf USB USB\\VID_1A2B&PID_0100", L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"}) {
      fresh_machine();
      put_store_copy(1, "USB\\VID_1A2B&PID_0100");
      write("c/fake/inf/oem1.inf", "USB\\VID_1A2B&PID_0100");
      setenv("Windir", windir, 1);
      EXPECT_EQ(run_args(args), -1) << windir;
      EXPECT_EQ(log_lines().back(), std::string(" ERROR ! Windir [") + windir +
                                        "] is not the Windows directory [C:\\WINDOWS] -> Exit ... ");
      EXPECT_TRUE(exists("c/fake/inf/oem1.inf"));
      EXPECT_TRUE(exists("c/windows/inf/oem1.inf"));
      EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
      EXPECT_EQ(di::calls(call::update_driver), 0);
    }
  }
  for (const char *windir : {"c:\\windows\\", "C:/WINDOWS", "C:\\temp\\..\\Windows"}) {
    fresh_machine();
    put_store_copy(1, "USB\\VID_1A2B&PID_0100");
    setenv("Windir", windir, 1);
    EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0) << windir;
    EXPECT_EQ(di::calls(call::uninstall_oem_inf), 1) << log();
    EXPECT_FALSE(exists("c/windows/inf/oem1.inf"));
  }
}

TEST_F(DeployaTest, WithoutWindirNoEarlierCopyIsLookedFor) {
  put_store_copy(0, "USB\\VID_1A2B&PID_0100");
  unsetenv("Windir");
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("\tUnInstallDriver Exit"));
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
  EXPECT_EQ(di::update_requests().size(), 1u);
  EXPECT_EQ(di::inf_store().size(), 2u);  // the earlier copy stays beside the new one
}

TEST_F(DeployaTest, PendingInstallationEndsBeforeAnyChange) {
  put_store_copy(0, "USB\\VID_1A2B&PID_0100");
  di::set_install_in_progress(true);
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 4u) << log();
  EXPECT_EQ(lines[3], " ERROR ! DeviceInstallInProgress -> Exit ... ");
  EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
  EXPECT_EQ(di::calls(call::update_driver), 0);

  // Without the module (or its entry) no installation counts as pending.
  standin::loader::hide_entry("CMP_WaitNoPendingInstallEvents");
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_EQ(di::calls(call::update_driver), 1);
}

// ---- removal of earlier copies -----------------------------------------------------------

TEST_F(DeployaTest, UninstallOnlyRemovesEarlierCopiesThatNameAnId) {
  put_store_copy(3, "[Instruments]\n%I%=x,USB\\VID_1A2B&PID_0100\n", true);
  put_store_copy(4, "[Other]\n%I%=x,USB\\VID_9999&PID_0001\n", true);
  put_store_copy(5, "lower case: usb\\vid_1a2b&pid_0100\n");
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("Uninstall  Mode only"));
  EXPECT_TRUE(logged("szInf              : [vantrel.inf]"));
  EXPECT_FALSE(exists("c/windows/inf/oem3.inf"));
  EXPECT_FALSE(exists("c/windows/inf/oem3.pnf"));
  EXPECT_TRUE(exists("c/windows/inf/oem4.inf"));
  EXPECT_TRUE(exists("c/windows/inf/oem5.inf"));  // the search is case-sensitive
  EXPECT_TRUE(logged("\t\tOpening : [C:\\WINDOWS\\INF\\oem3.inf]"));
  EXPECT_TRUE(logged("\t\t\tfound : [USB\\VID_1A2B&PID_0100]"));
  EXPECT_TRUE(logged("\t\t\t_tchmod : [C:\\WINDOWS\\INF\\oem3.inf]"));
  EXPECT_TRUE(logged("\t\t\t_tchmod : [C:\\WINDOWS\\INF\\oem3.pnf]"));
  EXPECT_TRUE(logged("\t\t\tSetupUninstallOEMInf : [oem3.inf]"));
  EXPECT_TRUE(logged("\t\t\tSetupUninstallOEMInf  Ok"));
  EXPECT_TRUE(logged("\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem3.pnf]"));
  EXPECT_TRUE(logged("\tUnInstallDriver Exit"));
  EXPECT_EQ(di::calls(call::update_driver), 0);
  EXPECT_EQ(di::calls(call::copy_oem_inf), 0);
}

// Each delimiter, and the text's start and end, bounds an id; any other neighbour makes it a longer id.
TEST(InfMatch, AnIdCountsOnlyWhenDelimitedOnBothSides) {
  const std::string id = "USB\\VID_1A2B&PID_0100";
  auto names = [&](const std::string &text) {
    return deploya::inf_names_id(text.data(), text.size(), id.data(), id.size());
  };
  EXPECT_TRUE(names(id));
  for (char d : std::string(",\t =;\r\n", 7)) {
    EXPECT_TRUE(names(std::string(1, d) + id)) << int(d);
    EXPECT_TRUE(names(id + std::string(1, d))) << int(d);
    EXPECT_TRUE(names("x" + std::string(1, d) + id + std::string(1, d) + "y")) << int(d);
  }
  for (const std::string &text : {id + "&MI_01", id + "0", "X" + id, "\"" + id + "\"", id + "\\", std::string("")})
    EXPECT_FALSE(names(text)) << text;
  EXPECT_FALSE(names("usb\\vid_1a2b&pid_0100"));  // case counts
  // A longer id first does not hide a whole one further on, nor does the last byte run past the text.
  EXPECT_TRUE(names(id + "&MI_01," + id));
  EXPECT_FALSE(deploya::inf_names_id(id.data(), id.size() - 1, id.data(), id.size()));
  EXPECT_FALSE(deploya::inf_names_id(id.data(), id.size(), id.data(), 0));
}

// Another package naming a longer id that starts with ours is not ours: only whole ids count.
TEST_F(DeployaTest, OnlyCopiesNamingTheWholeIdAreRemoved) {
  put_store_copy(10, "[Other]\r\n%C%=x,USB\\VID_1A2B&PID_0100&MI_01\r\n");
  put_store_copy(11, "[Instruments]\r\n%I%=x,USB\\VID_1A2B&PID_0100\r\n");
  put_store_copy(12, "; USB\\VID_1A2B&PID_01000 and XUSB\\VID_1A2B&PID_0100\n");
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(exists("c/windows/inf/oem10.inf"));
  EXPECT_TRUE(exists("c/windows/inf/oem10.pnf"));
  EXPECT_TRUE(exists("c/windows/inf/oem12.inf"));
  EXPECT_FALSE(exists("c/windows/inf/oem11.inf"));
  EXPECT_FALSE(exists("c/windows/inf/oem11.pnf"));
  EXPECT_EQ(count_logged("\t\t\tfound : [USB\\VID_1A2B&PID_0100]"), 1) << log();
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 1);
}

// Only a first argument that is exactly one of the flags selects uninstall-only; any other text, even
// one holding a flag (a path "drivers/usb.inf"), is the INF name.
TEST_F(DeployaTest, OnlyAnExactFlagSelectsUninstallOnly) {
  for (std::wstring flag : {L"/Uninstall", L"/U", L"/u"}) {
    fresh_machine();
    EXPECT_EQ(run_args(flag + L" vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
    EXPECT_TRUE(logged("Uninstall  Mode only")) << log();
    EXPECT_TRUE(logged("szInf              : [vantrel.inf]")) << log();
    EXPECT_EQ(di::calls(call::update_driver), 0);
  }
  lay_out_package("c/media/setup/drivers", "usb.inf");
  for (std::wstring inf : {L"/uninstall", L"/Ux", L"x/U", L"drivers/usb.inf"}) {
    fresh_machine();
    run_args(inf + L" USB USB\\VID_1A2B&PID_0100");
    EXPECT_FALSE(logged("Uninstall  Mode only")) << log();
    EXPECT_TRUE(logged("CmdLine : [" + std::string(inf.begin(), inf.end()) + " USB USB\\VID_1A2B&PID_0100]"));
  }
  // The INF given as a path below the media is updated from there.
  EXPECT_TRUE(logged("szInf              : [drivers/usb.inf]")) << log();
  EXPECT_TRUE(logged("szEnum             : [USB]")) << log();
  ASSERT_EQ(di::update_requests().size(), 1u) << log();
  EXPECT_EQ(di::update_requests()[0].inf_path, L"C:\\media\\setup\\drivers\\usb.inf");
}

TEST_F(DeployaTest, WithoutTheUninstallEntryReadOnlyCopiesAreStillDeleted) {
  put_store_copy(1, "USB\\VID_1A2B&PID_0100", true);
  standin::loader::hide_entry("SetupUninstallOEMInfW");
  EXPECT_EQ(run_args(L"/U vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_FALSE(log().find("SetupUninstallOEMInf") != std::string::npos);
  EXPECT_FALSE(exists("c/windows/inf/oem1.inf"));
  EXPECT_FALSE(exists("c/windows/inf/oem1.pnf"));
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
}

TEST_F(DeployaTest, FailedUninstallIsLoggedAndTheFilesGoAnyway) {
  put_store_copy(2, "USB\\VID_1A2B&PID_0100");
  di::fail(call::uninstall_oem_inf, ERROR_ACCESS_DENIED);
  EXPECT_EQ(run_args(L"/Uninstall vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("\t\t\tSetupUninstallOEMInf  Failed 5 "));
  EXPECT_FALSE(exists("c/windows/inf/oem2.inf"));
}

// A file the uninstall call already removed is gone; one that stays after DeleteFile is logged as failed
// (the uninstall call reports Ok whether or not it could remove the copy's files).
TEST_F(DeployaTest, ADeletionThatLeavesTheFileIsLoggedAsFailed) {
  put_store_copy(3, "USB\\VID_1A2B&PID_0100");
  std::filesystem::remove(path("c/windows/inf/oem3.pnf"));
  std::filesystem::create_directories(path("c/windows/inf/oem3.pnf/held"));  // cannot be deleted as a file
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  auto lines = log_lines();
  auto at = std::find(lines.begin(), lines.end(), "\t\t\tSetupUninstallOEMInf  Ok");
  ASSERT_NE(at, lines.end()) << log();
  const std::vector<std::string> expected = {
      "\t\t\tSetupUninstallOEMInf  Ok",
      "\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem3.inf]",
      "\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem3.pnf]",
      "\t\t\tDeleteFile  Failed 5 ",
      "\tUnInstallDriver Exit",
  };
  EXPECT_EQ(std::vector<std::string>(at, std::min(at + 5, lines.end())), expected) << log();
  EXPECT_FALSE(exists("c/windows/inf/oem3.inf"));
}

TEST_F(DeployaTest, ACopyNamingTwoIdsIsProcessedForEachFromItsOwnPath) {
  put_store_copy(6, "USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101");
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101"), 0);
  EXPECT_EQ(count_logged("\t\t\t_tchmod : [C:\\WINDOWS\\INF\\oem6.inf]"), 2);
  EXPECT_EQ(count_logged("\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem6.inf]"), 2);
  EXPECT_EQ(count_logged("\t\t\tfound : [USB\\VID_1A2B&PID_0101]"), 1);
  EXPECT_EQ(log().find("oem6.pnf.pnf"), std::string::npos);
  EXPECT_FALSE(exists("c/windows/inf/oem6.inf"));
}

TEST_F(DeployaTest, UnreadableAndEmptyCopiesAreSkipped) {
  put_store_copy(7, "");
  std::filesystem::create_directories(path("c/windows/inf/oem8.inf"));  // cannot be read as a file
  put_store_copy(9, "USB\\VID_1A2B&PID_0100");
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(exists("c/windows/inf/oem7.inf"));
  EXPECT_FALSE(exists("c/windows/inf/oem9.inf"));
  EXPECT_TRUE(logged("\t\tOpening : [C:\\WINDOWS\\INF\\oem7.inf]"));
  EXPECT_TRUE(logged("\t\tOpening : [C:\\WINDOWS\\INF\\oem8.inf] FAILED "));
}

// ---- update, pre-installation and marking ------------------------------------------------

TEST_F(DeployaTest, PresentDevicesAreUpdatedAndAbsentOnesMarked) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\1001", kId0, true));
  di::add_device(device("USB\\VID_1A2B&PID_0100\\1002", kId0, false, 0x4));
  di::add_device(device("USB\\VID_1A2B&PID_0101\\1003", kId1, false));
  di::add_device(device("PCI\\VEN_1A2B\\1", kId0, false));  // another enumerator
  put_store_copy(0, "USB\\VID_1A2B&PID_0100");
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);

  // Earlier copy gone first, then the update with the id as given.
  EXPECT_TRUE(logged("\t\t\tSetupUninstallOEMInf : [oem0.inf]"));
  auto requests = di::update_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].hardware_id, kId0);
  EXPECT_EQ(requests[0].inf_path, L"C:\\media\\setup\\vantrel.inf");
  EXPECT_EQ(requests[0].flags, 1u);
  EXPECT_TRUE(logged("\t\t[USB\\VID_1A2B&PID_0100] C:\\media\\setup\\vantrel.inf"));
  EXPECT_TRUE(logged("\t\tUpdateDriverForPlugAndPlayDevices TRUE -> at least one device existed, and was upgraded."));
  EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall [USB\\VID_1A2B&PID_0100] YES"));

  auto store = di::inf_store();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store[0].original_name, "vantrel.inf");
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\1001").updates, 1);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\1001").driver_inf, store[0].oem_name);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\1001").config_flags, 0u);  // present: not marked
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\1002").config_flags, 0x24u);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0101\\1003").config_flags, 0u);  // another id
  EXPECT_EQ(record("PCI\\VEN_1A2B\\1").config_flags, 0u);
  EXPECT_EQ(di::calls(call::copy_oem_inf), 0);
  EXPECT_EQ(di::reboot_prompts(), 0);
}

// The whole log of a run that finds an earlier copy, updates a present device and marks an absent one:
// every line as the program writes it, in order, so no text or step can drift unnoticed.
TEST_F(DeployaTest, AWholeRunLogsEveryStepInOrder) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\11", kId0, true));
  di::add_device(device("USB\\VID_1A2B&PID_0100\\12", kId0, false));
  put_store_copy(0, "USB\\VID_1A2B&PID_0100");
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  const std::vector<std::string> expected = {
      "szInf              : [vantrel.inf]",
      "szEnum             : [USB]",
      "szHW_ID[0]         : [USB\\VID_1A2B&PID_0100]",
      "MediaRootDirectory : [C:\\media\\setup\\]",
      "\tUnInstallDriver ",
      "\t\tOpening : [C:\\WINDOWS\\INF\\oem0.inf]",
      "\t\t\tfound : [USB\\VID_1A2B&PID_0100]",
      "\t\t\t_tchmod : [C:\\WINDOWS\\INF\\oem0.inf]",
      "\t\t\t_tchmod : [C:\\WINDOWS\\INF\\oem0.pnf]",
      "\t\t\tSetupUninstallOEMInf : [oem0.inf]",
      "\t\t\tSetupUninstallOEMInf  Ok",
      "\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem0.inf]",
      "\t\t\tDeleteFile : [C:\\WINDOWS\\INF\\oem0.pnf]",
      "\tUnInstallDriver Exit",
      "\tUpdateDriver ",
      "\t\t[USB\\VID_1A2B&PID_0100] C:\\media\\setup\\vantrel.inf",
      "\t\tUpdateDriverForPlugAndPlayDevices TRUE -> at least one device existed, and was upgraded.",
      "\t\tMarkDevicesAsNeedReinstall [USB\\VID_1A2B&PID_0100] YES",
      "\t\t",
      "\tUpdateDriver Exit",
      "Exit ",
      "",
      " ",
  };
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 4 + expected.size()) << log();
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[4 + i], expected[i]) << i;
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\12").config_flags, 0x20u);
}

TEST_F(DeployaTest, WithNoDevicePresentThePackageIsPreInstalled) {
  di::add_device(device("USB\\VID_1A2B&PID_0101\\7", kId1, false, 0, REG_BINARY));
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101"), 0);
  EXPECT_EQ(count_logged("\t\tUpdateDriverForPlugAndPlayDevices ERROR_NO_SUCH_DEVINST ->The value specified for "
                         "HardwareId does not match any device on the system. That is, the device is not plugged "
                         "in."),
            2);
  EXPECT_EQ(count_logged(std::string("\t\tSetupCopyOEMInf : [") + kInfPath + "]"), 2);
  EXPECT_EQ(count_logged("\t\tSetupCopyOEMInf Ok"), 2);
  EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall  [USB\\VID_1A2B&PID_0100] NO"));
  EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall [USB\\VID_1A2B&PID_0101] YES"));
  EXPECT_EQ(count_logged("\t\t"), 2);
  // One copy in the store however often it is offered; a value of another type counts as 0.
  ASSERT_EQ(di::inf_store().size(), 1u);
  EXPECT_EQ(di::inf_store()[0].original_name, "vantrel.inf");
  auto marked = record("USB\\VID_1A2B&PID_0101\\7");
  EXPECT_EQ(marked.config_type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(marked.config_flags, 0x20u);
}

TEST_F(DeployaTest, ARebootNeededByAnyUpdateIsPrompted) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\1", kId0, true));
  di::set_update_needs_reboot(true);
  di::fail(call::update_driver, ERROR_ACCESS_DENIED, 1);  // the second id's update fails
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101"), 0);
  EXPECT_TRUE(logged("\t\tSetupPromptReboot "));
  EXPECT_EQ(di::reboot_prompts(), 1);

  di::reset();
  di::add_device(device("USB\\VID_1A2B&PID_0100\\1", kId0, true));
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_EQ(di::reboot_prompts(), 0);
}

// The INF to install is checked before the clean-up: without it the devices would be left with no
// package at all.
TEST_F(DeployaTest, MissingInfOnTheMediaIsRefusedBeforeAnyChange) {
  put_store_copy(0, "USB\\VID_1A2B&PID_0100");
  EXPECT_EQ(run_args(L"missing.inf USB USB\\VID_1A2B&PID_0100"), -1);
  EXPECT_TRUE(logged(" ERROR ! ERROR_FILE_NOT_FOUND C:\\media\\setup\\missing.inf -> Exit ... ")) << log();
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
  EXPECT_EQ(di::calls(call::update_driver), 0);
  EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
  EXPECT_FALSE(logged("\tUnInstallDriver "));

  // Uninstall-only needs no INF on the media.
  EXPECT_EQ(run_args(L"/u missing.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_FALSE(exists("c/windows/inf/oem0.inf"));
}

// Every file the INF brings is looked for before the clean-up: an update from an incomplete package
// would leave the devices with none. Each missing file has its line; uninstall-only needs none of them.
TEST_F(DeployaTest, IncompletePackageIsRefusedBeforeAnyChange) {
  const std::string sys = " ERROR ! ERROR_FILE_NOT_FOUND C:\\media\\setup\\amd64\\vantrel.sys -> Exit ... ";
  const std::string dll = " ERROR ! ERROR_FILE_NOT_FOUND C:\\media\\setup\\amd64\\VANTREL_CI.dll -> Exit ... ";
  struct {
    std::vector<std::string> gone;
    std::vector<std::string> lines;
  } cases[] = {
      {{"vantrel.sys"}, {sys}},
      {{"VANTREL_CI.dll"}, {dll}},
      {{"vantrel.sys", "VANTREL_CI.dll"}, {sys, dll}},
  };
  for (auto &c : cases) {
    fresh_machine();
    lay_out_package("c/media/setup");
    for (auto &f : c.gone) std::filesystem::remove(path("c/media/setup/amd64/" + f));
    put_store_copy(0, "USB\\VID_1A2B&PID_0100");
    di::add_device(device("USB\\VID_1A2B&PID_0100\\1", kId0, false));
    EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), -1);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 4 + c.lines.size()) << log();
    for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(lines[4 + i], c.lines[i]);
    EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
    EXPECT_TRUE(exists("c/windows/inf/oem0.pnf"));
    EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
    EXPECT_EQ(di::calls(call::update_driver), 0);
    EXPECT_EQ(di::calls(call::copy_oem_inf), 0);
    EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\1").config_flags, 0u);
  }
  EXPECT_EQ(run_args(L"/u vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_FALSE(exists("c/windows/inf/oem0.inf"));
}

// The files are found whatever the INF's encoding, and where its own sections place them.
TEST_F(DeployaTest, PackageFilesAreLookedForWhereTheInfPlacesThem) {
  std::string moved = package_text();
  moved.replace(moved.find("1=%Disk%,,,amd64"), 16, "1=%Disk%,,,bin");
  std::u16string wide(moved.begin(), moved.end());
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : wide) utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  for (const std::string &text : {moved, "\xEF\xBB\xBF" + moved, utf16}) {
    fresh_machine();
    write("c/media/setup/vantrel.inf", text);
    std::filesystem::remove_all(path("c/media/setup/bin"));
    EXPECT_EQ(run_args(L"vantrel.inf USB X"), -1);
    EXPECT_TRUE(logged(" ERROR ! ERROR_FILE_NOT_FOUND C:\\media\\setup\\bin\\vantrel.sys -> Exit ... ")) << log();
    std::filesystem::copy(path("c/media/setup/amd64"), path("c/media/setup/bin"));
    EXPECT_EQ(run_args(L"vantrel.inf USB X"), 0) << log();
    EXPECT_EQ(di::calls(call::update_driver), 1);
  }
  // A file on a disk the INF does not name has no place on the media.
  fresh_machine();
  std::string stray = package_text();
  stray.replace(stray.find("VANTREL_CI.dll=1"), 16, "VANTREL_CI.dll=2");
  write("c/media/setup/vantrel.inf", stray);
  EXPECT_EQ(run_args(L"vantrel.inf USB X"), -1);
  EXPECT_TRUE(
      logged(" ERROR ! ERROR_INVALID_DATA C:\\media\\setup\\vantrel.inf names no source disk for VANTREL_CI.dll "
             "-> Exit ... "))
      << log();
  EXPECT_EQ(di::calls(call::update_driver), 0);
}

TEST_F(DeployaTest, InfPathTooLongForThePathBufferIsRefusedBeforeAnyChange) {
  // C:\media\setup\ is 15 characters: 244 more make the longest path that fits.
  std::wstring fits = std::wstring(240, L'i') + L".inf";
  write("c/media/setup/" + std::string(240, 'i') + ".inf", package_text());
  EXPECT_EQ(run_args(fits + L" USB X"), 0);
  EXPECT_EQ(di::calls(call::update_driver), 1);

  fresh_machine();
  put_store_copy(0, "X");
  std::wstring inf = std::wstring(241, L'i') + L".inf";
  EXPECT_EQ(run_args(inf + L" USB X"), -1);
  EXPECT_EQ(di::calls(call::update_driver), 0);
  EXPECT_EQ(di::calls(call::uninstall_oem_inf), 0);
  EXPECT_TRUE(exists("c/windows/inf/oem0.inf"));
  EXPECT_NE(log().find(" ERROR ! ERROR_FILENAME_EXCED_RANGE C:\\media\\setup\\iii"), std::string::npos) << log();
}

TEST_F(DeployaTest, EveryUpdateFailureHasItsLineAndGoesOnWithTheNextId) {
  struct {
    DWORD error;
    std::string line;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND,
       "\t\tUpdateDriverForPlugAndPlayDevices error:2 The path specified for FullInfPath does not exist. "},
      {ERROR_NO_MORE_ITEMS, "\t\tUpdateDriverForPlugAndPlayDevices error:259  ERROR_NO_MORE_ITEMS"},
      {ERROR_INVALID_FLAGS,
       "\t\tUpdateDriverForPlugAndPlayDevices error:1004 The value specified for InstallFlags is invalid. "},
      {ERROR_IN_WOW64,
       "\t\tUpdateDriverForPlugAndPlayDevices error:-536870347 The calling application is a 32-bit application "
       "attempting to execute in a 64-bit environment, which is not allowed."},
      {ERROR_ACCESS_DENIED,
       "\t\tUpdateDriverForPlugAndPlayDevices error:5 ->Apparently there _were_ existing devices--we just failed "
       "toupgrade their drivers.  This might be due to an installation problem, or perhaps because the devices "
       "already have drivers newer than the one we offered."},
  };
  for (auto &c : cases) {
    fresh_machine();
    di::add_device(device("USB\\VID_1A2B&PID_0100\\2", kId0, false));
    di::fail(call::update_driver, c.error);
    EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100 USB\\VID_1A2B&PID_0101"), 0);
    EXPECT_EQ(count_logged(c.line), 2) << c.error << "\n" << log();
    EXPECT_EQ(count_logged("\t\t"), 2);
    EXPECT_EQ(di::calls(call::copy_oem_inf), 0);
    EXPECT_EQ(di::calls(call::get_class_devs), 0);  // no marking
    EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\2").config_flags, 0u);
  }
}

TEST_F(DeployaTest, FailedPreInstallIsLoggedAndNothingMarked) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\3", kId0, false));
  di::fail(call::copy_oem_inf, ERROR_ACCESS_DENIED);
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("\t\tFailure to install the INF Error 5 "));
  EXPECT_EQ(di::calls(call::get_class_devs), 0);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\3").config_flags, 0u);
  EXPECT_TRUE(di::inf_store().empty());
}

TEST_F(DeployaTest, FailuresWhileMarkingEndInNo) {
  const call failing[] = {call::get_class_devs, call::create_info_list, call::get_instance_id, call::open_device_info};
  for (call c : failing) {
    fresh_machine();
    di::add_device(device("USB\\VID_1A2B&PID_0100\\4", kId0, false));
    di::fail(c, ERROR_GEN_FAILURE);
    EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
    EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall  [USB\\VID_1A2B&PID_0100] NO")) << static_cast<int>(c);
    EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\4").config_flags, 0u);
  }
}

TEST_F(DeployaTest, DevicesWhoseIdsCannotBeReadAreSkipped) {
  di::device bare;
  bare.instance_id = "USB\\BARE\\1";
  bare.present = false;
  di::add_device(bare);
  di::add_device(device("USB\\VID_1A2B&PID_0100\\5", kId0, false));
  di::fail(call::get_property, ERROR_INVALID_DATA, 0, 1);  // the first read of the first record
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall [USB\\VID_1A2B&PID_0100] YES"));
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\5").config_flags, 0x20u);
}

TEST_F(DeployaTest, AFlagThatCannotBeWrittenIsLogged) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\6", kId0, false));
  di::fail(call::set_property, ERROR_ACCESS_DENIED);
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_TRUE(logged("\t\tMarkDevicesAsNeedReinstall [USB\\VID_1A2B&PID_0100] YES"));
  EXPECT_TRUE(logged("\t\t\tSetupDiSetDeviceRegistryProperty  Failed 5 "));
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\6").config_flags, 0u);
}

TEST_F(DeployaTest, ADeviceWhoseNodeStatusCannotBeReadCountsAsAbsent) {
  di::add_device(device("USB\\VID_1A2B&PID_0100\\7", kId0, true, 0x1));
  di::fail(call::devnode_status, 0);
  EXPECT_EQ(run_args(L"vantrel.inf USB USB\\VID_1A2B&PID_0100"), 0);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\7").updates, 1);
  EXPECT_EQ(record("USB\\VID_1A2B&PID_0100\\7").config_flags, 0x21u);
  EXPECT_GE(di::calls(call::devnode_status), 1);
}
