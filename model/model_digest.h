// A digest of the whole model state: the context tree reached from the root,
// the model position, the estimator tables and the auxiliary predictors. The
// encoder and the decoder of a buffer must end with the same digest.
#pragma once

#include <cstdint>

namespace zubreca {

uint64_t ModelDigest();

}  // namespace zubreca
