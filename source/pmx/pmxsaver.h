// The PMX scene saver.
#pragma once

#include "c4d.h"

/// Plug-in id of the PMX scene saver.
constexpr Int32 ID_PMX_SAVER = 1031967;

Bool RegisterPmxSaver();
