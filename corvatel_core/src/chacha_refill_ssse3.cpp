// TEMPORARY placeholder until the vector kernel lands.
#include "corvatel/internal/chacha_kernels.h"
namespace corvatel::internal {
void refill4_ssse3(const std::uint32_t input[16], std::uint32_t out[64]) { refill4_scalar(input, out); }
}  // namespace corvatel::internal
