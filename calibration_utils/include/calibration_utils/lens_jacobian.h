// The rational lens's hand-written Jacobians (distortNormalizedWithJacobian,
// distortionCoefficientJacobian) and radial forms: dravik/rational_lens.h.
#pragma once

#include "dravik/rational_lens.h"
