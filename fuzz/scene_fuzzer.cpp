// libFuzzer target for the scene file reader: any input must either load or give a message
// that names the file, and whatever loads must be written back to a text that loads again and
// is written identically.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app_host.h"
#include "scene_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // With the module's plug-ins registered, plug-in tags and objects are made by their plug-ins
  // and their parameters typed by their descriptions, as in the app. Without them the reader
  // still runs; only those paths are not reached.
  std::string error;
  if (!pmxapp::StartHost(&error)) std::fprintf(stderr, "scene_fuzzer: %s\n", error.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto doc = pmxapp::LoadSceneText(text, "fuzz.json", &error);
  if (!doc) {
    if (error.rfind("fuzz.json", 0) != 0) {
      std::fprintf(stderr, "message does not name the file: %s\n", error.c_str());
      std::abort();
    }
    return 0;
  }
  const std::string written = pmxapp::SceneToText(doc.get());
  auto again = pmxapp::LoadSceneText(written, "written.json", &error);
  if (!again) {
    std::fprintf(stderr, "the written scene does not load: %s\n%s\n", error.c_str(),
                 written.c_str());
    std::abort();
  }
  if (pmxapp::SceneToText(again.get()) != written) {
    std::fprintf(stderr, "writing the scene again gives another text:\n%s\n", written.c_str());
    std::abort();
  }
  return 0;
}
