// Checks the core's number formatting on every row of CPython's float table
// (tests/data/cpython-float/repr-cases.tsv: hex, repr, fixed3): repr of each
// finite value and format(x, ".3f") of every value must match the columns
// exactly, and the C-library references the fuzzer trusts must agree too.
//
//   number_table_check [path/to/repr-cases.tsv]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "number_check.hpp"

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "tests/data/cpython-float/repr-cases.tsv";
  std::ifstream in(path);
  if (!in) {
    std::cerr << "cannot read " << path << "\n";
    return 2;
  }
  std::string line;
  std::getline(in, line);
  if (line != "hex\trepr\tfixed3") {
    std::cerr << path << ": unexpected header: " << line << "\n";
    return 2;
  }
  long rows = 0;
  long failures = 0;
  auto fail = [&](const std::string& what, const std::string& row, const std::string& got) {
    if (++failures <= 20) std::cerr << what << ": row [" << row << "] gave [" << got << "]\n";
  };
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string hex, repr, fixed3;
    std::getline(fields, hex, '\t');
    std::getline(fields, repr, '\t');
    std::getline(fields, fixed3, '\t');
    const double x = std::strtod(hex.c_str(), nullptr);
    ++rows;
    if (qv::fuzz::core_fixed3(x) != fixed3) fail("fixed3", line, qv::fuzz::core_fixed3(x));
    if (qv::fuzz::reference_fixed3(x) != fixed3)
      fail("reference fixed3", line, qv::fuzz::reference_fixed3(x));
    if (qv::fuzz::exact_fixed3(x) != fixed3) fail("exact fixed3", line, qv::fuzz::exact_fixed3(x));
    if (!std::isfinite(x)) continue;
    if (!qv::fuzz::repr_is_shortest(repr, x)) fail("repr not shortest", line, repr);
    if (qv::fuzz::core_repr(x) != repr) fail("repr", line, qv::fuzz::core_repr(x));
    if (qv::fuzz::reference_repr(x) != repr)
      fail("reference repr", line, qv::fuzz::reference_repr(x));
  }
  std::cout << path << ": " << rows << " rows, " << failures << " failures\n";
  return failures || rows < 9000 ? 1 : 0;
}
