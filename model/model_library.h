// Model library files: stored context trees that prime the model of a buffer.
#pragma once

namespace zubreca {

// Loads model `number` into the pool as the root context and its tree, from
// "!Mdl-%03d.mdl" or else "!Mdl-Lib.mdl" in the current directory. Returns
// the number loaded, or 0 when there is no usable model (the caller then
// builds the plain root).
int LoadModel(int number);

}  // namespace zubreca
