// NEON kernels (aarch64 builds only).
