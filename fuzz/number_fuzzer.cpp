// Fuzzes the core's number formatting. repr of every finite double must read
// back through strtod to the same double, in digits no shorter text reads
// back from, and equal the C-library reference laid out as CPython does. The
// three-decimal form must equal both "%.3f" and a rounding of the double's
// exact decimal expansion, and read back through strtod to the double
// nearest that correctly rounded value, within half a thousandth of the
// input. Integers must equal "%lld". Values come from the input's bytes (as
// the bits of doubles and integers) and from its text read by strtod, so
// decimal seeds like 2.675 or 1e-05 reach the interesting neighbourhoods.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/number.hpp"
#include "number_check.hpp"
#include "units.hpp"

namespace {

namespace core = qv::core;
using qv::fuzz::core_fixed3;
using qv::fuzz::core_repr;

void check_double(double x) {
  const std::string fixed = core_fixed3(x);
  QV_FUZZ_CHECK(fixed.size() < core::kFixed3Max);
  QV_FUZZ_CHECK(fixed == qv::fuzz::reference_fixed3(x));
  const std::string exact = qv::fuzz::exact_fixed3(x);
  QV_FUZZ_CHECK(fixed == exact);
  if (!std::isfinite(x)) return;
  // Read back: the double nearest the correctly rounded value, and no
  // further from x than half a thousandth (and the rounding error of the
  // read itself, relative to the larger magnitude).
  const double back = std::strtod(fixed.c_str(), nullptr);
  QV_FUZZ_CHECK(back == std::strtod(exact.c_str(), nullptr));
  QV_FUZZ_CHECK(std::signbit(back) == std::signbit(x));
  const double slack = 0x1p-52 * std::max(std::fabs(x), std::fabs(back));
  QV_FUZZ_CHECK(std::fabs(back - x) <= 0.0005 + 2 * slack);
  const std::string repr = core_repr(x);
  QV_FUZZ_CHECK(repr.size() < core::kFloatReprMax);
  QV_FUZZ_CHECK(qv::fuzz::reads_back(repr, x));
  QV_FUZZ_CHECK(qv::fuzz::repr_is_shortest(repr, x));
  QV_FUZZ_CHECK(repr == qv::fuzz::reference_repr(x));
}

void check_integer(std::int64_t v) {
  char ours[core::kDecimalMax];
  const std::string got(ours, core::format_decimal(v, ours));
  char ref[32];
  std::snprintf(ref, sizeof ref, "%" PRId64, v);
  QV_FUZZ_CHECK(got == ref);
  char small[core::kDecimalMax];
  const auto u = static_cast<std::uint64_t>(v);
  const std::string got_u(small, core::format_decimal(u, small));
  std::snprintf(ref, sizeof ref, "%" PRIu64, u);
  QV_FUZZ_CHECK(got_u == ref);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every eight bytes as a double and as an integer.
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    double x;
    std::memcpy(&x, data + i, 8);
    check_double(x);
    // Its neighbours, where rounding and the layout switch points live.
    check_double(std::nextafter(x, 0.0));
    check_double(std::nextafter(x, x < 0 ? -INFINITY : INFINITY));
    std::int64_t v;
    std::memcpy(&v, data + i, 8);
    check_integer(v);
  }
  // The input as decimal text.
  if (size > 0 && size < 64) {
    char text[64];
    std::memcpy(text, data, size);
    text[size] = '\0';
    char* end = nullptr;
    const double x = std::strtod(text, &end);
    if (end != text) {
      check_double(x);
      check_double(std::nextafter(x, 0.0));
      check_double(std::nextafter(x, INFINITY));
    }
  }
  return 0;
}
