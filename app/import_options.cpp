#include "import_options.h"

#include <charconv>
#include <cstdlib>
#include <utility>

namespace pmxapp {

void AddImportOptions(CommandLine& cli, ImportOptionText* text) {
  text->timeoutOption = cli.Value("--import-timeout", &text->timeout, "S",
                                  "give the import library at most S seconds to read a\n"
                                  "model file (default: 5 s plus 4 s per MB of the file)");
  text->upOption = cli.Value("--up", &text->up, "AXIS",
                             "the model file's up axis (x, y, z, -x, -y, -z), when its\n"
                             "format's convention or its own statement is wrong");
  text->forwardOption = cli.Value("--forward", &text->forward, "AXIS",
                                  "the axis the model faces in the file (the same choice)");
}

bool ReadImportOptions(const ImportOptionText& text, ImportOptions* options, std::string* error) {
  const std::pair<const CLI::Option*, std::pair<const std::string*, int*>> axes[] = {
      {text.upOption, {&text.up, &options->upAxis}},
      {text.forwardOption, {&text.forward, &options->forwardAxis}}};
  for (const auto& [option, value] : axes) {
    if (!option || option->count() == 0) continue;
    *value.second = ParseAxis(*value.first);
    if (*value.second == 0) {
      *error =
          option->get_name() + " needs an axis: x, y, z, -x, -y or -z, not '" + *value.first + "'";
      return false;
    }
  }
  if (options->upAxis && options->forwardAxis &&
      std::abs(options->upAxis) == std::abs(options->forwardAxis)) {
    *error = "--up and --forward must name two different axes";
    return false;
  }
  if (!text.timeoutOption || text.timeoutOption->count() == 0) return true;
  int seconds = 0;
  const char* first = text.timeout.data();
  const char* last = first + text.timeout.size();
  const auto [end, ec] = std::from_chars(first, last, seconds);
  // A day is more than any real model needs; beyond it the number is a mistake.
  if (text.timeout.empty() || ec != std::errc() || end != last || seconds < 1 || seconds > 86400) {
    *error = "--import-timeout needs a whole number of seconds from 1 to 86400, not '" +
             text.timeout + "'";
    return false;
  }
  options->timeoutSeconds = seconds;
  return true;
}

}  // namespace pmxapp
