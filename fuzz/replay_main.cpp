// The main of a fuzz target built without libFuzzer: runs the target once
// over every file named, or every file of every folder named, so that the
// test suite replays the kept corpus under the compiler at hand.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  // Through a buffer of exactly the input's size, as libFuzzer hands it.
  auto copy = std::make_unique<std::uint8_t[]>(data.size() + 1);
  std::copy(data.begin(), data.end(), copy.get());
  LLVMFuzzerTestOneInput(copy.get(), data.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
          files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) replayed += Replay(file);
    } else if (std::filesystem::is_regular_file(path)) {
      replayed += Replay(path);
    } else {
      std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("replayed %d inputs\n", replayed);
  return replayed > 0 ? 0 : 2;
}
