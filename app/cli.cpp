#include "cli.h"

#include <cstdio>

namespace pmxapp {

void ArgParser::Flag(std::string name, bool* out) {
  Option o;
  o.name = std::move(name);
  o.flag = out;
  options_.push_back(std::move(o));
}

void ArgParser::Value(std::string name, std::string shortName, std::string* out, bool* given) {
  Option o;
  o.name = std::move(name);
  o.shortName = std::move(shortName);
  o.value = out;
  o.given = given;
  options_.push_back(std::move(o));
}

void ArgParser::Positional(std::string name, std::string* out, bool required) {
  positionals_.push_back(Slot{std::move(name), out, required});
}

bool ArgParser::Parse(const std::vector<std::string>& args, std::string* error) {
  size_t next = 0;
  bool onlyPositional = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!onlyPositional && (a == "-h" || a == "--help")) {
      help_ = true;
      return true;
    }
    if (!onlyPositional && a == "--") {
      onlyPositional = true;
      continue;
    }
    if (!onlyPositional && a.size() > 1 && a[0] == '-') {
      std::string name = a, inlineValue;
      bool hasInline = false;
      if (a.rfind("--", 0) == 0) {
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
          name = a.substr(0, eq);
          inlineValue = a.substr(eq + 1);
          hasInline = true;
        }
      }
      const Option* found = nullptr;
      for (const auto& o : options_) {
        if (o.name == name || (!o.shortName.empty() && o.shortName == name)) found = &o;
      }
      if (!found) {
        *error = "unknown option " + name;
        return false;
      }
      if (found->flag) {
        if (hasInline) {
          *error = "the option " + found->name + " takes no value";
          return false;
        }
        *found->flag = true;
        continue;
      }
      if (!hasInline) {
        if (i + 1 >= args.size()) {
          *error = "the option " + name + " needs a value";
          return false;
        }
        inlineValue = args[++i];
      }
      *found->value = inlineValue;
      if (found->given) *found->given = true;
      continue;
    }
    if (next >= positionals_.size()) {
      *error = "unexpected argument " + a;
      return false;
    }
    *positionals_[next++].out = a;
  }
  for (size_t k = next; k < positionals_.size(); ++k) {
    if (positionals_[k].required) {
      *error = "missing " + positionals_[k].name;
      return false;
    }
  }
  return true;
}

void PrintError(const std::string& command, const std::string& message) {
  std::string line =
      "pmxexport" + (command.empty() ? std::string() : " " + command) + ": " + message + "\n";
  std::fflush(stdout);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int UsageError(const std::string& command, const std::string& message) {
  PrintError(command, message);
  std::string hint =
      "Try 'pmxexport" + (command.empty() ? std::string() : " " + command) + " --help'.\n";
  std::fwrite(hint.data(), 1, hint.size(), stderr);
  return kExitUsage;
}

}  // namespace pmxapp
