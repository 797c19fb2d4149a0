// Running the built pmxexport program the way a person at a terminal does.
#pragma once

#include <string>

/// Exit code and the two output streams of one run.
struct AppRun {
  int code = -1;
  std::string out, err;
};

/// Runs pmxexport with `args` (already shell-quoted where needed).
AppRun RunApp(const std::string& args);
