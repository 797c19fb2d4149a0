#include "import_options.h"

#include <charconv>

namespace pmxapp {

void AddImportOptions(CommandLine& cli, ImportOptionText* text) {
  text->timeoutOption = cli.Value("--import-timeout", &text->timeout, "S",
                                  "give the import library at most S seconds to read a\n"
                                  "model file (default: 5 s plus 4 s per MB of the file)");
}

bool ReadImportOptions(const ImportOptionText& text, ImportOptions* options, std::string* error) {
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
