#include "support/run_app.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "support/plugin_env.h"

std::string Quote(const std::string& s) { return "'" + s + "'"; }

int Shell(const std::string& cmd, std::string* out) {
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out->append(buf.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

AppRun RunApp(const std::string& args) {
  const std::string errFile = TempPath("app_stderr.txt");
  AppRun r;
  r.code = Shell(Quote(PMX_APP) + " " + args + " 2>" + Quote(errFile), &r.out);
  std::ifstream e(errFile);
  r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  return r;
}
