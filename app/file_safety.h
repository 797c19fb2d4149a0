// Files the app writes under names it derives (textures beside the PMX, the demo's texture)
// and files it reads on a model's say-so. A model or archive may be hostile: it can plant
// links in the output folder and name any file on the machine as its texture.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace pmxapp {

/// The file suffix for image content recognised by its first bytes: "png", "jpg", "bmp"
/// (also the BMP-based sphere maps), "tga", "dds" or "gif"; empty for anything else.
std::string ImageSuffixOf(const unsigned char* data, std::size_t size);

/// Reads the regular file `path` whole (never a device, a pipe or a folder). False with
/// `error` ("cannot read PATH: reason").
bool ReadRegularFile(const std::filesystem::path& path, std::vector<unsigned char>* data,
                     std::string* error);

/// True when the resolved path `path` lies in the resolved folder `root` or below it.
bool IsInsideFolder(const std::filesystem::path& path, const std::filesystem::path& root);

/// A file placed by PlaceFileExclusively.
struct PlacedFile {
  std::string name;      // the name in the folder
  bool created = false;  // false when an identical file of that name was already there
};

/// Puts `data` into `folder` under `wanted`, never through a link and never over another
/// file: an identical regular file of that name is reused; otherwise `stem_2.ext`,
/// `stem_3.ext`, ... is tried. New files are created exclusively. False with `error`
/// carrying the system's reason.
bool PlaceFileExclusively(const std::filesystem::path& folder, const std::string& wanted,
                          const std::vector<unsigned char>& data, PlacedFile* placed,
                          std::string* error);

/// Writes a file the user named, through the host's file: a regular file is replaced
/// atomically, a device or FIFO is written straight into, a link is followed to its target.
/// False with `error` ("cannot write PATH: reason"); `opened` (may be null) tells whether the
/// file could be created or opened at all.
bool WriteOutputFile(const std::string& path, const std::string& bytes, std::string* error,
                     bool* opened = nullptr);

/// True when the user-named output `path` is (or links to) a character device or a FIFO,
/// beside which no file may be derived.
bool OutputIsStream(const std::string& path);

/// The file a write to the user-named `path` lands in (links followed), absolute.
std::filesystem::path ResolvedOutput(const std::string& path);
/// The folder of ResolvedOutput(path).
std::filesystem::path OutputFolder(const std::string& path);

/// The system's folder for temporary files ($TMPDIR), /tmp when it names none that exists.
std::filesystem::path TemporaryFolder();

}  // namespace pmxapp
