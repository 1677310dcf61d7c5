// The popcnt set: scalar.hpp's loops with the hardware population count
// (x86.hpp), a POPCNT per word instead of the bit-parallel count.
#if defined(__x86_64__)

#include "tables.hpp"
#include "x86.hpp"

namespace kestrix::kernels {

constinit const InstructionSetKernels POPCNT_CODE_KERNELS = instruction_set_kernels<x86::Popcnt>("popcnt");

}  // namespace kestrix::kernels

#endif
