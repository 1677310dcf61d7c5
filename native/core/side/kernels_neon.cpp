// NEON rescoring kernels (aarch64 builds only).
