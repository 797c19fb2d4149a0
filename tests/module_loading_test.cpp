// The host loads the module the way the real host does: the operating system's loader,
// the entry c4d_main, the version check, resource initialisation and start-up.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "support/plugin_env.h"

namespace {

class ModuleLoading : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetRegistry(); }
  void TearDown() override {
    host::SetApiVersion(15000);
    host::ResetRegistry();
  }
  static std::string ModulePath() { return PluginDir() + "/TavoPmxExport.cdl64"; }
};

TEST_F(ModuleLoading, ExportsOnlyTheEntry) {
  void* h = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  EXPECT_NE(dlsym(h, "c4d_main"), nullptr);
  EXPECT_EQ(dlsym(h, "PluginStart"), nullptr);
  EXPECT_EQ(dlsym(h, "_Z11PluginStartv"), nullptr);
  dlclose(h);
}

TEST_F(ModuleLoading, StartsAndRegistersTheSaverFromItsFolder) {
  std::string error;
  ASSERT_TRUE(host::LoadModule(ModulePath(), &error)) << error;
  const host::PluginInfo* saver = host::FindPlugin(ID_PMX_SAVER);
  ASSERT_NE(saver, nullptr);
  EXPECT_EQ(saver->type, PLUGINTYPE::SCENESAVER);
  EXPECT_EQ(saver->suffix, String("pmx"));
  EXPECT_TRUE(saver->name.Content());  // from the module's string table
  EXPECT_EQ(host::Plugins().front().id, ID_PMX_SAVER);
}

TEST_F(ModuleLoading, RefusesHostsOlderThanR15) {
  host::SetApiVersion(14999);
  std::string error;
  EXPECT_FALSE(host::LoadModule(ModulePath(), &error));
  EXPECT_NE(error.find("version 14999"), std::string::npos) << error;
  EXPECT_TRUE(host::Plugins().empty());
}

TEST_F(ModuleLoading, EntryAnswersMessagesAsTheHostExpects) {
  void* h = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr);
  auto entry = reinterpret_cast<Int32 (*)(Int32, void*, void*, void*)>(dlsym(h, "c4d_main"));
  Int32 v = 15000, old = 14000, msg0 = 0, msg7 = 7;
  EXPECT_EQ(entry(C4DPL_INIT_SYS, &v, nullptr, nullptr), 1);
  EXPECT_EQ(entry(C4DPL_INIT_SYS, &old, nullptr, nullptr), -3);
  EXPECT_EQ(entry(C4DPL_MESSAGE, &msg0, nullptr, nullptr), 1);
  EXPECT_EQ(entry(C4DPL_MESSAGE, &msg7, nullptr, nullptr), 0);
  dlclose(h);
}

}  // namespace
