// The loops of calibration_utils compiled in variants for the processor's
// vector units: the dispatch of dravik_common (dravik/wide_vectors.h).
#pragma once

#include "dravik/wide_vectors.h"
