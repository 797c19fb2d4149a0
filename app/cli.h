// Command-line handling shared by the sub-commands: options parsed by CLI11, help pages laid
// out alike, mistakes and exit codes reported the one way every command reports them.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace pmxapp {

/// Exit codes: success, a failure while doing the work, a command line that makes no sense.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/// The command line of one sub-command. Accepts "--name value", "--name=value", "-o value",
/// flags, and "--" before positional arguments that start with a dash; a repeated option
/// keeps its last value.
class CommandLine {
 public:
  /// `usage` follows "Usage: pmxexport " on the help page (it may span lines); `description`
  /// is the text between it and the options.
  CommandLine(std::string command, std::string usage, std::string description);

  /// An option with a value; `names` as CLI11 takes them ("-o,--output"). `typeName` stands
  /// for the value on the help page. The option's count() tells whether it was given.
  CLI::Option* Value(const std::string& names, std::string* out, const std::string& typeName,
                     const std::string& help);
  CLI::Option* Flag(const std::string& names, bool* out, const std::string& help);
  /// An option that may be given many times, each with one value.
  CLI::Option* Values(const std::string& names, std::vector<std::string>* out,
                      const std::string& typeName, const std::string& help);
  /// The next positional argument; `what` names it when it is missing.
  void Positional(const std::string& name, const std::string& what, std::string* out);

  /// Parses the arguments after the sub-command's name. Answers the exit code when the command
  /// ends here: kExitOk after printing the help page, kExitUsage after reporting a mistake.
  std::optional<int> Parse(const std::vector<std::string>& args);

  /// Prints "pmxexport <command>: <message>" on standard error.
  void Error(const std::string& message) const;
  /// Prints a usage mistake with the hint to ask for help; answers kExitUsage.
  int UsageError(const std::string& message) const;

  const std::string& Command() const { return command_; }

 private:
  std::string command_;
  CLI::App app_;
  std::vector<std::pair<CLI::Option*, std::string>> required_;
};

/// Prints "pmxexport <command>: <message>" on standard error ("pmxexport: ..." without a
/// command).
void PrintError(const std::string& command, const std::string& message);
/// Prints a usage mistake with the hint to ask for help; answers kExitUsage.
int UsageError(const std::string& command, const std::string& message);

}  // namespace pmxapp
