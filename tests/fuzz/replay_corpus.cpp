// Runs a fuzz target's entry points over every file of the folders named on
// the command line, as libFuzzer would over its seed corpus, without
// libFuzzer: the corpus becomes a regression test of any build, and the
// targets' sources are compiled with every build of the tests.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize(&argc, &argv) != 0) return 1;
  int inputs = 0;
  for (int k = 1; k < argc; ++k) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[k])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  std::fprintf(stderr, "%d inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
