// Inner loops of the tensor fit: log signals and the product with the fit matrix.
#pragma once

#include <cstddef>

namespace dirsieve {

// Instruction-set paths of the kernels below. Every path performs the same IEEE double operations in
// the same order for every value (separate multiplies and adds, never fused), so all paths give
// identical bits; they differ only in how many values they handle side by side. The default entry
// points use the widest path the processor supports; the explicit ones exist so tests can compare.
enum class KernelPath { kPortable, kSse2, kAvx2, kAvx512 };

bool kernel_path_available(KernelPath path);

// The widest path this processor supports: what the entry points without a path argument use.
KernelPath widest_kernel_path();

// out[j] = ln(s) for s = (double)in[j] when s > 1e-6, else ln(1e-6) (zero, negative and NaN signals
// fall to the floor). The logarithm is this library's own table-driven kernel rather than the C
// library's, so the fit gives the same bits whatever the platform or C library: it is within one unit
// in the last place of the true value for every float32 input, and almost always the correctly
// rounded value (it can differ from a given libm's log in the last bit).
void log_signals(const float* in, std::size_t n, double* out);
void log_signals(KernelPath path, const float* in, std::size_t n, double* out);

// coef[c * stride + j] = sum over design rows k < n_rows, in row order starting from zero, of
// pt[k * 6 + c] * logs[k * stride + j], for c < 6 and j < n.
void accumulate_coefficients(const double* pt, std::size_t n_rows, const double* logs, std::size_t stride,
                             std::size_t n, double* coef);
void accumulate_coefficients(KernelPath path, const double* pt, std::size_t n_rows, const double* logs,
                             std::size_t stride, std::size_t n, double* coef);

// Both steps at once: coef as accumulate_coefficients gives it for the logarithms of rows[k][j] (the
// signal of voxel j in design row k), with identical bits, but without storing the logarithms. The
// SSE2 path is the scalar one here.
void fit_coefficients(const float* const* rows, std::size_t n_rows, const double* pt, std::size_t n, double* coef,
                      std::size_t stride);
void fit_coefficients(KernelPath path, const float* const* rows, std::size_t n_rows, const double* pt,
                      std::size_t n, double* coef, std::size_t stride);

}  // namespace dirsieve
