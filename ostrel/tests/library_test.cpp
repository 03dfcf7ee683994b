#include <gtest/gtest.h>

#include <windows.h>

#include <ostrel/ostrel_lib.h>

namespace {

TEST(OstrelLibrary, LoadsByNameAndSharesOneAllocator) {
  ostrel::ostrel_lib first;
  ASSERT_TRUE(first);
  ostrel::ostrel_lib second;
  ASSERT_TRUE(second);
  EXPECT_EQ(first.get(), second.get());

  HMODULE module = LoadLibraryA("ostrel8");
  ASSERT_NE(module, nullptr);
  using factory = w32cpp::auto_handle<ostrel::api>* (*)();
  auto entry = reinterpret_cast<factory>(reinterpret_cast<void (*)()>(GetProcAddress(module, "ostrel_get_instance")));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(), entry());
  EXPECT_EQ(entry()->get(), first.get());
  FreeLibrary(module);

  ostrel::mem_block b = first->allocate(5000, true);
  ASSERT_NE(b.data(), nullptr);
  EXPECT_EQ(b.size(), 5000u);
  EXPECT_EQ(b.capacity(), 8192u);
  for (uint32_t i = 0; i < b.capacity(); ++i) ASSERT_EQ(b.bytes()[i], 0);
}

}  // namespace
