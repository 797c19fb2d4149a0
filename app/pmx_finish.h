// The last touches on a PMX exported from a model file, for what the saver writes the same for
// every scene: the model's name, English material names, names told apart, and the material
// flags and colours the host's materials have no place for.
#pragma once

#include <map>
#include <string>

#include "model_import.h"

namespace pmxapp {

struct PmxFinish {
  /// The model's name, written as its Japanese and its English name.
  std::string modelName;
  /// By the material's name as the saver writes it.
  std::map<std::string, MaterialLook> looks;
};

/// Rewrites the PMX 2.0 file content `pmx`: the model names, every material's English name
/// (its name), a suffix (".2", ".3", ...) on material names that repeat, and for materials found
/// in `finish.looks` the double-sided flag and the ambient colour. False with `error` when the
/// content is no PMX this could read (nothing is changed then).
bool FinishPmx(std::string* pmx, const PmxFinish& finish, std::string* error);

}  // namespace pmxapp
