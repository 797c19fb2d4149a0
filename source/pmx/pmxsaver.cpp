#include "pmx/pmxsaver.h"

Bool RegisterPmxSaver() { return true; }
