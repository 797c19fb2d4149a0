#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_symbols.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"

namespace {

std::string NodeModules() {
  const char* env = std::getenv("PMX_NODE_MODULES");
  return env ? env : PMX_SOURCE_DIR "/tests/js/node_modules";
}

}  // namespace

nlohmann::json ParsePmxWithMmdParser(const std::string& path, bool summaryOnly) {
  const std::string script = PMX_SOURCE_DIR "/tests/js/readpmx.js";
  const std::string errFile = TempPath("mmd_parser_stderr.txt");
  std::string cmd = "NODE_PATH='" + NodeModules() + "' node '" + script + "' '" + path + "'" +
                    (summaryOnly ? " --summary" : "") + " 2>'" + errFile + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run node");
  std::string out;
  std::array<char, 65536> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  int status = pclose(pipe);
  if (status != 0) {
    std::string err;
    if (FILE* f = fopen(errFile.c_str(), "r")) {
      while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) err.append(buf.data(), n);
      fclose(f);
    }
    throw std::runtime_error("mmd-parser could not read " + path + ": " + err);
  }
  return nlohmann::json::parse(out);
}

void EnsurePluginsRegistered() {
  static bool done = false;
  if (done && host::FindPlugin(ID_PMX_SAVER)) return;
  done = true;
  host::ResetRegistry();
  const std::string res = PluginDir() + "/res";
  host::SetCurrentModuleResourcePath(Filename(String(res)));
  resource.Init(Filename(String(res)));
  PluginStart();
  host::SetCurrentModuleResourcePath(Filename());
}

std::string PluginDir() { return PMX_PLUGIN_DIR; }

std::string TempPath(const std::string& name) {
  static std::atomic<int> counter{0};
  namespace fs = std::filesystem;
  fs::path dir = fs::path(PMX_BINARY_DIR) / "test_scratch" /
                 (std::to_string(getpid()) + "_" + std::to_string(counter++));
  fs::create_directories(dir);
  return (dir / name).string();
}
