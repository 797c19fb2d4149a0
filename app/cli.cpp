#include "cli.h"

#include <cstdio>
#include <memory>

#include "message_text.h"

namespace pmxapp {

namespace {

/// Help pages as pmxexport writes them: the usage, the description, then one option a line
/// ("-o, --output FILE", long-only options indented to match) with its help in a column.
class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(std::string usage) : usage_(std::move(usage)) { column_width(32); }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::string description = app->get_description();
    while (!description.empty() && description.back() == '\n') description.pop_back();
    std::string out = "Usage: pmxexport " + usage_ + "\n\n" + description + "\n";
    std::string options;
    for (const CLI::Option* opt : app->get_options()) {
      if (!opt->get_positional()) options += make_option(opt, false);
    }
    if (!options.empty()) out += "\nOptions:\n" + options;
    return out;
  }

  std::string make_option_name(const CLI::Option* opt, bool) const override {
    const auto& shorts = opt->get_snames();
    return (shorts.empty() ? std::string("    ") : "-" + shorts.front() + ", ") + "--" +
           opt->get_lnames().front();
  }

  std::string make_option_opts(const CLI::Option* opt) const override {
    const std::string type = opt->get_type_name();
    return type.empty() ? type : " " + type;
  }

 private:
  std::string usage_;
};

}  // namespace

CommandLine::CommandLine(std::string command, std::string usage, std::string description)
    : command_(std::move(command)), app_(std::move(description), "pmxexport " + command_) {
  app_.formatter(std::make_shared<HelpFormatter>(std::move(usage)));
  // Unknown arguments are reported in this program's words, after parsing.
  app_.allow_extras();
  app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // -h comes last on the help page, so it is added when the command parses.
  app_.set_help_flag();
}

CLI::Option* CommandLine::Value(const std::string& names, std::string* out,
                                const std::string& typeName, const std::string& help) {
  return app_.add_option(names, *out, help)->type_name(typeName);
}

CLI::Option* CommandLine::Flag(const std::string& names, bool* out, const std::string& help) {
  return app_.add_flag(names, *out, help);
}

CLI::Option* CommandLine::Values(const std::string& names, std::vector<std::string>* out,
                                 const std::string& typeName, const std::string& help) {
  return app_.add_option(names, *out, help)
      ->type_name(typeName)
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void CommandLine::Positional(const std::string& name, const std::string& what, std::string* out) {
  required_.emplace_back(app_.add_option(name, *out), what);
}

std::optional<int> CommandLine::Parse(const std::vector<std::string>& args) {
  app_.set_help_flag("-h,--help", "show this help");
  try {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app_.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const std::string help = app_.help();
    std::fwrite(help.data(), 1, help.size(), stdout);
    return kExitOk;
  } catch (const CLI::ArgumentMismatch& e) {
    // "--unit: 1 required LENGTH missing": the option came last, without its value.
    const std::string what = e.what();
    const size_t colon = what.find(':');
    if (colon == std::string::npos || what.find("missing") == std::string::npos)
      return UsageError(what);
    return UsageError("the option " + what.substr(0, colon) + " needs a value");
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }
  for (const std::string& extra : app_.remaining()) {
    if (extra == "--") continue;
    if (extra.size() > 1 && extra[0] == '-')
      return UsageError("unknown option " + extra.substr(0, extra.find('=')));
    return UsageError("unexpected argument " + extra);
  }
  for (const auto& [option, what] : required_) {
    if (option->count() == 0) return UsageError("missing " + what);
  }
  return std::nullopt;
}

void CommandLine::Error(const std::string& message) const { PrintError(command_, message); }

int CommandLine::UsageError(const std::string& message) const {
  return pmxapp::UsageError(command_, message);
}

void PrintError(const std::string& command, const std::string& message) {
  // Messages echo names and text from files; the last guard against a huge or garbled echo.
  std::string line = "pmxexport" + (command.empty() ? std::string() : " " + command) + ": " +
                     ShortenForMessage(message) + "\n";
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
