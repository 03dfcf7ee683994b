#include <w32cpp/loader.h>

#include <standin/registry.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "plugins/plugin_api.h"

using namespace w32cpp;

namespace {

const char kKey[] = "Software\\Ondrel_Fasko\\Drivers\\Paths";
const char kValue[] = "zephDllPath";
const char kPlugin[] = "w32t_plugin";
const char kEntry[] = "w32t_plugin_get_instance";

std::mutex g_log_lock;
std::vector<std::string> g_log;

void record(const char *event) {
  std::lock_guard<std::mutex> g(g_log_lock);
  g_log.emplace_back(event);
}

std::vector<std::string> events() {
  std::lock_guard<std::mutex> g(g_log_lock);
  return g_log;
}

std::vector<std::uint8_t> bytes(const std::string &s, bool with_nul) {
  std::vector<std::uint8_t> b(s.begin(), s.end());
  if (with_nul)
    b.push_back(0);
  return b;
}

using plugin_loader = dynamic_link_instance<w32t::iplugin>;

class Loader : public ::testing::Test {
protected:
  void SetUp() override {
    standin::registry::reset();
    std::lock_guard<std::mutex> g(g_log_lock);
    g_log.clear();
  }
  void TearDown() override { standin::registry::reset(); }

  static void set_folder(const std::string &folder) {
    standin::registry::set_string(HKEY_LOCAL_MACHINE, kKey, kValue, folder);
  }
  static void set_raw(DWORD type, const std::vector<std::uint8_t> &data) {
    standin::registry::set_raw(HKEY_LOCAL_MACHINE, kKey, kValue, type, data);
  }
  // Which copy of the library a fresh loader binds to (0: none).
  static int loaded_variant() {
    plugin_loader loader(kPlugin, kEntry);
    return loader ? loader->variant() : 0;
  }
  // Loads a library by hand and points its life-event log here.
  static HMODULE load_with_log(const char *file) {
    HMODULE m = LoadLibraryA(file);
    if (m) {
      auto set_log = reinterpret_cast<void (*)(w32t::log_fn)>(detail::find_entry(m, "w32t_set_log"));
      if (set_log)
        set_log(&record);
    }
    return m;
  }
};

} // namespace

TEST_F(Loader, BareNameWithoutRegistryValue) {
  EXPECT_EQ(detail::library_folder(), "");
  EXPECT_EQ(loaded_variant(), 1);
}

TEST_F(Loader, RegistryFolderIsTriedFirst) {
  set_folder(W32T_ALT_DIR);
  EXPECT_EQ(detail::library_folder(), W32T_ALT_DIR);
  EXPECT_EQ(loaded_variant(), 2);
}

TEST_F(Loader, TrailingSeparatorInTheFolder) {
  set_folder(std::string(W32T_ALT_DIR) + "\\");
  EXPECT_EQ(loaded_variant(), 2);
  set_folder(std::string(W32T_ALT_DIR) + "/");
  EXPECT_EQ(loaded_variant(), 2);
}

TEST_F(Loader, JoinAddsOneSeparator) {
  EXPECT_EQ(detail::join_library_path("C:\\Zeph", "karnet8"), "C:\\Zeph\\karnet8");
  EXPECT_EQ(detail::join_library_path("C:\\Zeph\\", "karnet8"), "C:\\Zeph\\karnet8");
  EXPECT_EQ(detail::join_library_path("", "karnet8"), "karnet8");
}

TEST_F(Loader, FolderWithoutTheFileFallsBackToTheBareName) {
  set_folder(std::string(W32T_ALT_DIR) + "\\missing");
  EXPECT_EQ(loaded_variant(), 1);
}

TEST_F(Loader, ValueTooLongForTheBufferCountsAsAbsent) {
  set_raw(REG_SZ, bytes(std::string(600, 'a'), false));
  EXPECT_EQ(detail::library_folder(), "");
  EXPECT_EQ(loaded_variant(), 1);

  set_raw(REG_SZ, bytes(std::string(600, 'a'), true));
  EXPECT_EQ(detail::library_folder(), "");

  // 512 bytes without a NUL leave no room for one.
  set_raw(REG_SZ, bytes(std::string(512, 'b'), false));
  EXPECT_EQ(detail::library_folder(), "");
  EXPECT_EQ(loaded_variant(), 1);

  // 511 characters and their NUL fit exactly.
  set_raw(REG_SZ, bytes(std::string(511, 'c'), true));
  EXPECT_EQ(detail::library_folder(), std::string(511, 'c'));
}

TEST_F(Loader, ValueStoredWithoutNulIsTerminated) {
  set_raw(REG_SZ, bytes(W32T_ALT_DIR, false));
  EXPECT_EQ(detail::library_folder(), W32T_ALT_DIR);
  EXPECT_EQ(loaded_variant(), 2);
}

TEST_F(Loader, TextEndsAtTheFirstNul) {
  std::vector<std::uint8_t> data = bytes(W32T_ALT_DIR, true);
  const std::vector<std::uint8_t> tail = bytes("garbage", false);
  data.insert(data.end(), tail.begin(), tail.end());
  set_raw(REG_SZ, data);
  EXPECT_EQ(detail::library_folder(), W32T_ALT_DIR);
}

TEST_F(Loader, ValueOfAnotherTypeCountsAsAbsent) {
  set_raw(REG_BINARY, bytes(W32T_ALT_DIR, true));
  EXPECT_EQ(detail::library_folder(), "");
  EXPECT_EQ(loaded_variant(), 1);
  standin::registry::set_dword(HKEY_LOCAL_MACHINE, kKey, kValue, 7);
  EXPECT_EQ(detail::library_folder(), "");
  EXPECT_EQ(loaded_variant(), 1);
}

TEST_F(Loader, MissingLibraryLeavesTheLoaderEmpty) {
  plugin_loader loader("w32t_absent", kEntry);
  EXPECT_FALSE(loader);
  EXPECT_FALSE(loader.has_module());
  EXPECT_EQ(loader.get(), nullptr);
}

TEST_F(Loader, MissingEntryOrNullFactoryKeepsTheModuleButNoObject) {
  plugin_loader no_entry("w32t_null", "w32t_nothing_get_instance");
  EXPECT_FALSE(no_entry);
  EXPECT_TRUE(no_entry.has_module());

  plugin_loader null_factory("w32t_null", "w32t_null_get_instance");
  EXPECT_FALSE(null_factory);
  EXPECT_TRUE(null_factory.has_module());
  null_factory.release();
  EXPECT_FALSE(null_factory.has_module());
}

TEST_F(Loader, FactoryCalledTwiceGivesOneObject) {
  HMODULE m = load_with_log(kPlugin);
  ASSERT_NE(m, nullptr);
  auto factory =
      reinterpret_cast<lib_instance<w32t::iplugin>::factory_type>(detail::find_entry(m, kEntry));
  ASSERT_NE(factory, nullptr);
  auto_handle<w32t::iplugin> *first = factory();
  EXPECT_EQ(factory(), first);
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created"}));
  {
    static_link_instance<w32t::iplugin> bound(factory);
    EXPECT_EQ(bound.get(), first->get());
  } // the last client: the singleton goes, the module stays
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created", "singleton destroyed"}));
  FreeLibrary(m);
}

TEST_F(Loader, LastOfTwoLoadersDestroysTheSingletonThenTheModuleGoes) {
  HMODULE m = load_with_log(kPlugin);
  ASSERT_NE(m, nullptr);
  plugin_loader first(kPlugin, kEntry);
  plugin_loader second(kPlugin, kEntry);
  FreeLibrary(m); // the loaders keep it loaded
  ASSERT_TRUE(first);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(first.handle().use_count(), 3u); // the library's global and two clients

  first.release();
  EXPECT_FALSE(first);
  EXPECT_EQ(second->variant(), 1);
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created"}));

  second.release();
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created", "singleton destroyed", "module end"}));
}

TEST_F(Loader, CopiesShareTheModuleUntilTheLastGoes) {
  HMODULE m = load_with_log(kPlugin);
  ASSERT_NE(m, nullptr);
  auto *original = new plugin_loader(kPlugin, kEntry);
  FreeLibrary(m);
  plugin_loader copy(*original);
  EXPECT_EQ(copy.get(), original->get());
  delete original;
  EXPECT_EQ(copy->variant(), 1);
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created"}));
  copy.release();
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created", "singleton destroyed", "module end"}));
}

TEST_F(Loader, ClientLibraryLeavesNoCodeOfItsOwnInTheLibraryItReleased) {
  // The client binds and releases as the last client, then is unloaded while the library stays.
  HMODULE plugin = load_with_log(kPlugin);
  ASSERT_NE(plugin, nullptr);
  HMODULE client = LoadLibraryA("w32t_client");
  ASSERT_NE(client, nullptr);
  auto bind = reinterpret_cast<int (*)()>(detail::find_entry(client, "w32t_client_bind"));
  auto release = reinterpret_cast<void (*)()>(detail::find_entry(client, "w32t_client_release"));
  ASSERT_NE(bind, nullptr);
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(bind(), 1);
  release();
  FreeLibrary(client);

  // The library's global handle is used again and finally released at module end.
  {
    plugin_loader again(kPlugin, kEntry);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->variant(), 1);
  }
  FreeLibrary(plugin);
  EXPECT_EQ(events(), (std::vector<std::string>{"singleton created", "singleton destroyed", "singleton created",
                                                "singleton destroyed", "module end"}));
}

namespace {
class local_api {
public:
  virtual ~local_api() { ++destroyed; }
  static int destroyed;
};
int local_api::destroyed = 0;
auto_handle<local_api> g_local;
auto_handle<local_api> *local_get_instance() { return factory_instance<local_api>(g_local); }
} // namespace

TEST_F(Loader, StaticLinkBindsInTheSameModule) {
  local_api::destroyed = 0;
  {
    static_link_instance<local_api> a(&local_get_instance);
    static_link_instance<local_api> b(a);
    EXPECT_TRUE(a);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(g_local.use_count(), 3u);
  }
  EXPECT_EQ(local_api::destroyed, 1);
  EXPECT_FALSE(g_local);

  static_link_instance<local_api> none(nullptr);
  EXPECT_FALSE(none);
}
