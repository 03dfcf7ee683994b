// The class installer loaded as the device installer loads it: default handling for every request.
#include <gtest/gtest.h>
#include <setupapi.h>
#include <windows.h>

namespace {

typedef DWORD(CALLBACK *class_install_fn)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA);

class ClassInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA("VANTREL_CI");
    ASSERT_NE(module_, nullptr) << GetLastError();
    entry_ = reinterpret_cast<class_install_fn>(reinterpret_cast<void *>(GetProcAddress(module_, "ClassInstall")));
    ASSERT_NE(entry_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
  class_install_fn entry_ = nullptr;
};

TEST_F(ClassInstallTest, EveryRequestGetsDefaultHandling) {
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  // The known codes, codes a later system may add, and a record or set that is not there.
  for (DI_FUNCTION f = 0; f <= 0x40; ++f) {
    EXPECT_EQ(entry_(f, set, &device), 0xE000020Eu) << f;
    EXPECT_EQ(entry_(f, set, nullptr), 0xE000020Eu) << f;
  }
  EXPECT_EQ(entry_(0xFFFFFFFFu, nullptr, nullptr), ERROR_DI_DO_DEFAULT);
  EXPECT_EQ(entry_(DIF_INSTALLDEVICE, INVALID_HANDLE_VALUE, nullptr), ERROR_DI_DO_DEFAULT);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(ClassInstallTest, HasNoEntryPoint) {
  // The loader calls a library's DllMain when it has one; this one must have none.
  EXPECT_EQ(GetProcAddress(module_, "DllMain"), nullptr);
}

}  // namespace
