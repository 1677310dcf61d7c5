// The portable set: scalar.hpp's loops built for the baseline of the target.
// It is what every CPU can run and what the others must equal.
#include "scalar.hpp"
#include "tables.hpp"

namespace kestrix::kernels {

constinit const InstructionSetKernels PORTABLE_CODE_KERNELS = instruction_set_kernels<scalar::Portable>("portable");

}  // namespace kestrix::kernels
