// Runs a fuzz target without libFuzzer (any compiler, under the sanitizers
// of the build): every file of the given folders, then a fixed number of
// deterministic mutations of them (bit flips, cuts, inserted and random
// bytes). Exit status 0 when nothing crashed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Optional in a target, as with libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::uint64_t state = 0x9E3779B97F4A7C15ull;
std::uint64_t next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void run(const std::vector<std::uint8_t>& in) {
  // An exactly sized heap copy, so that a read past the end is caught.
  auto* p = static_cast<std::uint8_t*>(std::malloc(in.empty() ? 1 : in.size()));
  if (!in.empty()) std::copy(in.begin(), in.end(), p);
  LLVMFuzzerTestOneInput(p, in.size());
  std::free(p);
}

std::vector<std::uint8_t> mutate(std::vector<std::uint8_t> v) {
  const int edits = 1 + static_cast<int>(next() % 8);
  for (int e = 0; e < edits; ++e) {
    switch (next() % 6) {
      case 0:
        if (!v.empty()) v[next() % v.size()] ^= static_cast<std::uint8_t>(1u << (next() % 8));
        break;
      case 1:
        if (!v.empty()) v.resize(next() % v.size());
        break;
      case 2:
        v.insert(v.begin() + static_cast<long>(v.empty() ? 0 : next() % v.size()),
                 static_cast<std::uint8_t>(next()));
        break;
      case 3:
        if (!v.empty()) v[next() % v.size()] = static_cast<std::uint8_t>(next());
        break;
      case 4:
        if (!v.empty()) v[next() % v.size()] = "\x00\xff\r\n(*0F-"[next() % 10];
        break;
      default:
        if (v.size() < 2000) v.push_back(static_cast<std::uint8_t>(next()));
    }
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::vector<std::uint8_t>> seeds = {{}};
  for (int a = 1; a < argc; ++a) {
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(argv[a], ec)) {
      std::ifstream in(f.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  const char* n_env = std::getenv("KIVD_FUZZ_RUNS");
  const long runs = n_env ? std::atol(n_env) : 20000;
  for (const auto& s : seeds) run(s);
  for (long k = 0; k < runs; ++k) run(mutate(seeds[next() % seeds.size()]));
  std::printf("%zu seeds, %ld mutations: no crash\n", seeds.size(), runs);
  return 0;
}
