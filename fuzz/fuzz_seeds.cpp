// Writes the seed corpora of the fuzzers: (description, plaintext) inputs of
// every description for restore_fuzz, and the same pairs sealed with the
// fixed fuzzing keys, as the protected values they make, for decrypt_fuzz.
//
//   kelmyr_fuzz_seeds <decrypt corpus folder> <restore corpus folder>
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_keys.h"
#include "support/qvlog.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

void WriteFile(const fs::path& file, const BYTE* pb, size_t cb) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(pb), static_cast<std::streamsize>(cb));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <decrypt corpus> <restore corpus>\n", argv[0]);
    return 2;
  }
  qvlogSetLevelMask(0);
  InstallFixedFuzzKeys();
  const fs::path decrypt = argv[1];
  const fs::path restore = argv[2];
  fs::create_directories(decrypt);
  fs::create_directories(restore);

  const std::pair<std::string, Bytes> pairs[] = {
      {"UI1_MULTI 3 2 ", Bytes(6, 0xAB)},
      {"UI1_MULTI 0 4 ", {}},
      {"UI1_MULTI -1 -6 ", Bytes(6, 1)},
      {"UI1_MULTI 2147483647 2 ", Bytes(2, 1)},
      {"BSTR", {'p', 0, 0, 0, 'q', 0, 'r', 0, 0, 0, 0, 0}},
      {"BSTR", {0, 0, 'p', 0, 0, 1, 0, 0, 0, 0}},
      {"BSTR", {'x', 0, 'y'}},
      {"BSTR", {}},
      {"INT", Bytes(8, 2)},
      {"UINT", Bytes(5, 2)},
      {"UINT", {}},
      {"I8", Bytes(16, 3)},
      {"UI8", Bytes(8, 4)},
      {"UI1", Bytes(17, 5)},
      {"I1", Bytes(2, 6)},
      {"UNKNOWN", Bytes(8, 7)},
  };
  int cFailed = 0;
  for (size_t i = 0; i < std::size(pairs); ++i) {
    const auto& [descr, plain] = pairs[i];
    Bytes input(descr.begin(), descr.end());
    input.push_back('\n');
    input.insert(input.end(), plain.begin(), plain.end());
    WriteFile(restore / ("pair" + std::to_string(i)), input.data(), input.size());

    const std::basic_string<OLECHAR> wide(descr.begin(), descr.end());
    SAFEARRAY* psa = SealForFuzz(wide.c_str(), plain.data(), static_cast<DWORD>(plain.size()));
    if (psa == nullptr) {
      ++cFailed;
      continue;
    }
    WriteFile(decrypt / ("value" + std::to_string(i)), static_cast<const BYTE*>(psa->pvData),
              psa->rgsabound[0].cElements);
    SafeArrayDestroy(psa);
  }
  std::printf("seeds: %zu pairs, each also sealed\n", std::size(pairs));
  return cFailed == 0 ? 0 : 1;
}
