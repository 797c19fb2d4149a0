// Command-line handling shared by the sub-commands: options, messages and exit codes.
#pragma once

#include <string>
#include <vector>

namespace pmxapp {

/// Exit codes: success, a failure while doing the work, a command line that makes no sense.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/// Options of one sub-command. Accepts "--name value", "--name=value", "-o value", flags, and
/// "--" before positional arguments that start with a dash.
class ArgParser {
 public:
  explicit ArgParser(std::string command) : command_(std::move(command)) {}

  void Flag(std::string name, bool* out);
  /// `shortName` may be empty.
  void Value(std::string name, std::string shortName, std::string* out, bool* given = nullptr);
  /// Positional arguments in order; `required` ones must be given.
  void Positional(std::string name, std::string* out, bool required);

  /// Parses `args` (the arguments after the sub-command's name). On a mistake answers false and
  /// sets `error`. "-h" / "--help" sets HelpWanted() and stops.
  bool Parse(const std::vector<std::string>& args, std::string* error);
  bool HelpWanted() const { return help_; }

 private:
  struct Option {
    std::string name, shortName;
    bool* flag = nullptr;
    std::string* value = nullptr;
    bool* given = nullptr;
  };
  struct Slot {
    std::string name;
    std::string* out;
    bool required;
  };
  std::string command_;
  std::vector<Option> options_;
  std::vector<Slot> positionals_;
  bool help_ = false;
};

/// Prints "pmxexport <command>: <message>" on standard error.
void PrintError(const std::string& command, const std::string& message);
/// Prints a usage mistake with the hint to ask for help; answers kExitUsage.
int UsageError(const std::string& command, const std::string& message);

}  // namespace pmxapp
