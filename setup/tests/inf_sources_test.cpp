// The files an INF brings, as the installer checks them on the media before any change.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../deploya/inf_sources.h"

namespace {

// "path" for each file, "?name" for one on a disk no section names.
std::vector<std::wstring> sources(const std::wstring &inf) {
  std::vector<std::wstring> out;
  for (auto &f : deploya::inf_source_files(inf, L"amd64")) out.push_back(f.disk_named ? f.path : L"?" + f.name);
  return out;
}

using list = std::vector<std::wstring>;

}  // namespace

TEST(InfSources, ThePackageBringsTheDriverAndTheClassInstallerFromAmd64) {
  std::ifstream in(SETUP_PACKAGE_INF, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string bytes = ss.str();
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(sources(std::wstring(bytes.begin(), bytes.end())), (list{L"amd64\\vantrel.sys", L"amd64\\VANTREL_CI.dll"}));
}

// Each case: an INF and the files it brings, in the order the check reports them.
TEST(InfSources, SectionsFieldsAndStringsAreReadAsTheInstallerReadsThem) {
  struct {
    std::wstring inf;
    list files;
  } cases[] = {
      // Section names without regard to case; blanks, comments and empty lines around entries.
      {L"[sourcedisksnames]\n 1 = \"Disk\" , , , drv ; the driver disk\n\n[SOURCEDISKSFILES]\r\n a.sys = 1 \r\n",
       {L"drv\\a.sys"}},
      // The subfolder field; separators of either kind at either end, and none at all.
      {L"[SourceDisksNames]\n1=d,,,\\top/\n2=d\n[SourceDisksFiles]\na.sys=1,/sub\\x/\nb.dll=2\nc.inf=1,,1234\n",
       {L"top\\sub\\x\\a.sys", L"b.dll", L"top\\c.inf"}},
      // Quoted fields keep their ";" and ","; "" is one quote.
      {L"[SourceDisksNames]\n1=\"a;b\",,,\"x,y\"\n[SourceDisksFiles]\n\"q\"\"1.sys\"=1\n", {L"x,y\\q\"1.sys"}},
      // %name% from [Strings], wherever the section stands; an unknown one stays as written; %% is one %.
      {L"[SourceDisksFiles]\n%F%=1,%Sub%\nz%%.bin=1,%none%\n[SourceDisksNames]\n1=d,,,%P%\n"
       L"[Strings]\nf=\"drv.sys\"\nSUB=s\np=media\n",
       {L"media\\s\\drv.sys", L"media\\%none%\\z%.bin"}},
      // The platform's sections first: its disk wins, and so does its entry for a file named in both.
      {L"[SourceDisksNames]\n1=d,,,plain\n[SourceDisksNames.amd64]\n1=d,,,amd64\n[SourceDisksFiles]\nboth.sys=1,p\n"
       L"only.dll=1\n[SourceDisksFiles.AMD64]\nBOTH.sys=1\n[SourceDisksFiles.x86]\nx86.sys=1\n",
       {L"amd64\\BOTH.sys", L"amd64\\only.dll"}},
      // A line ending in "\" goes on on the next one.
      {L"[SourceDisksNames]\n1=d,,,\\\n  far\n[SourceDisksFiles]\na.sys=\\\n1\n", {L"far\\a.sys"}},
      // A file on a disk no section names, or on none at all, has no place on the media.
      {L"[SourceDisksNames]\n1=d,,,x\n[SourceDisksFiles]\na.sys=2\nb.sys\nc.sys=\n", {L"?a.sys", L"?b.sys", L"?c.sys"}},
      // Nothing to bring.
      {L"[Version]\nSignature=\"$WINDOWS NT$\"\n", {}},
      {L"", {}},
  };
  for (auto &c : cases) EXPECT_EQ(sources(c.inf), c.files) << std::string(c.inf.begin(), c.inf.end());
}
