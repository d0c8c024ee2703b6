// The main() of a fuzz target built without libFuzzer (QUORVANE_FUZZ_REPLAY,
// any compiler): runs the target once on every file named on the command
// line, every file of a named directory in name order, so the seed corpora
// run as ordinary tests. A broken check aborts, as under libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path p(argv[i]);
    if (!fs::is_directory(p)) {
      files.push_back(p);
      continue;
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry& e : fs::directory_iterator(p))
      if (e.is_regular_file()) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
    return 2;
  }
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", f.string().c_str());
      return 2;
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    data.reserve(1);  // libFuzzer never passes a null pointer, even for no bytes
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
