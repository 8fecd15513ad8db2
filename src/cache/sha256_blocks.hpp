// The block function of SHA-256 with its two implementations (portable, and the x86 SHA
// instructions when the processor has them), exposed so that tests can compare them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvx::cache {

// True when the processor has the SHA extensions (and the SSE levels they need).
bool sha256_hardware_available();
// Runs n 64-byte blocks at p through the compression function on state h; `hardware` selects the
// SHA instructions when available (the portable code otherwise).
void sha256_blocks(uint32_t h[8], const unsigned char* p, size_t n, bool hardware);

}  // namespace nvx::cache
