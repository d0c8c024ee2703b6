// Cosine similarity of two embedding vectors in double precision, over any
// element source: the three sums run in index order, one rounding per
// operation, so the result is the same bit for bit whatever holds the
// elements (Python floats, float64 or float32 memory, strided or not).
//
// Units including this header must be compiled with -ffp-contract=off: a
// fused multiply-add (GCC contracts `s += x * y` on aarch64, or with
// -march=native on x86-64) rounds once where the definition rounds twice.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

namespace qv::core {

// The running sums of cosine similarity.
struct CosineSums {
  double dot = 0.0;
  double norm_a = 0.0;
  double norm_b = 0.0;

  void add(double x, double y) noexcept {
    dot += x * y;
    norm_a += x * x;
    norm_b += y * y;
  }

  // dot / (sqrt(norm_a) * sqrt(norm_b)): two roots multiplied, not the root
  // of the product, and no clamping to [-1, 1]. A norm that is exactly zero
  // gives 0.0 ("no signal"); a NaN is not zero and flows through.
  double result() const noexcept {
    if (norm_a == 0.0 || norm_b == 0.0) return 0.0;
    return dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
  }
};

// An element source is a small copyable view with
//   bool get(std::size_t i, double& out) const
// that stores element i as a double and returns true, or returns false when
// element i needs work outside the loop (a Python object that is not a
// plain float); the caller converts that element itself and resumes.

// Elements of type T (double or float) in memory, `stride` bytes apart
// (negative strides walk backwards). Read with memcpy, so unaligned memory
// is fine.
template <class T>
struct StridedSource {
  const unsigned char* data;
  std::ptrdiff_t stride;

  bool get(std::size_t i, double& out) const noexcept {
    T v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
    out = static_cast<double>(v);
    return true;
  }
};

// Adds elements i, i+1, ... of a and b to `sums` in order until n, or until
// a source cannot produce element i itself; returns where it stopped.
template <class A, class B>
std::size_t accumulate(const A& a, const B& b, std::size_t i, std::size_t n,
                       CosineSums& sums) noexcept {
  for (; i < n; ++i) {
    double x;
    double y;
    if (!a.get(i, x) || !b.get(i, y)) return i;
    sums.add(x, y);
  }
  return n;
}

}  // namespace qv::core
