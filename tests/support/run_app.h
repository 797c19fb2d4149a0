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

/// `s` in single quotes for the shell (test paths hold no single quote).
std::string Quote(const std::string& s);

/// Runs a shell command line; its standard output is appended to `out`. Answers the exit code.
int Shell(const std::string& cmd, std::string* out);
