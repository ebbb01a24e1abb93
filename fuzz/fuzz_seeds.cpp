// Writes the seed corpora of the fuzzers: real protected values of the
// fixed fuzzing keys for decrypt_fuzz, and (description, plaintext) inputs
// of every description for restore_fuzz.
//
//   kelmyr_fuzz_seeds <decrypt corpus folder> <restore corpus folder>
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_keys.h"
#include "security/protect.h"
#include "support/qvlog.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

void WriteFile(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

SAFEARRAY* Vector(VARTYPE vt, ULONG c, BYTE bFirst) {
  SAFEARRAY* psa = SafeArrayCreateVector(vt, 0, c);
  void* pv = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, &pv))) {
    BYTE* pb = static_cast<BYTE*>(pv);
    for (size_t i = 0; i < c * SafeArrayGetElemsize(psa); ++i)
      pb[i] = static_cast<BYTE>(bFirst + i);
    SafeArrayUnaccessData(psa);
  }
  return psa;
}

SAFEARRAY* Strings(const std::vector<const OLECHAR*>& strings) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(strings.size()));
  for (LONG i = 0; psa != nullptr && i < static_cast<LONG>(strings.size()); ++i) {
    BSTR bstr = SysAllocString(strings[i]);
    SafeArrayPutElement(psa, &i, bstr);
    SysFreeString(bstr);
  }
  return psa;
}

SAFEARRAY* Matrix(ULONG cFirst, ULONG cSecond) {
  SAFEARRAYBOUND bounds[2] = {{cFirst, 0}, {cSecond, 0}};
  return SafeArrayCreate(VT_UI1, 2, bounds);
}

Bytes Pair(const std::string& descr, const Bytes& plaintext) {
  Bytes input(descr.begin(), descr.end());
  input.push_back('\n');
  input.insert(input.end(), plaintext.begin(), plaintext.end());
  return input;
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

  const std::vector<SAFEARRAY*> values = {
      Vector(VT_UI1, 32, 1),
      Vector(VT_I1, 3, 0x80),
      Vector(VT_I8, 2, 7),
      Vector(VT_UI8, 1, 9),
      Vector(VT_INT, 4, 0),
      Vector(VT_UINT, 0, 0),
      Matrix(2, 3),
      Matrix(0, 4),
      Strings({OLESTR("p"), OLESTR("qr")}),
      Strings({OLESTR(""), OLESTR("pqr")}),
      Strings({}),
  };
  int cWritten = 0;
  for (SAFEARRAY* psa : values) {
    SAFEARRAY* psaProtected = nullptr;
    if (psa != nullptr && SUCCEEDED(EncryptValue(psa, &psaProtected))) {
      void* pv = nullptr;
      SafeArrayAccessData(psaProtected, &pv);
      const BYTE* pb = static_cast<const BYTE*>(pv);
      WriteFile(decrypt / ("value" + std::to_string(cWritten++)),
                Bytes(pb, pb + psaProtected->rgsabound[0].cElements));
      SafeArrayUnaccessData(psaProtected);
      SafeArrayDestroy(psaProtected);
    }
    SafeArrayDestroy(psa);
  }

  const std::vector<Bytes> pairs = {
      Pair("UI1_MULTI 3 2 ", Bytes(6, 0xAB)),
      Pair("UI1_MULTI -1 -6 ", Bytes(6, 1)),
      Pair("UI1_MULTI 2147483647 2 ", Bytes(2, 1)),
      Pair("BSTR", {'p', 0, 0, 0, 'q', 0, 'r', 0, 0, 0, 0, 0}),
      Pair("BSTR", {0, 0, 'p', 0, 0, 1, 0, 0, 0, 0}),
      Pair("BSTR", {'x', 0, 'y'}),
      Pair("INT", Bytes(8, 2)),
      Pair("UINT", Bytes(5, 2)),
      Pair("I8", Bytes(16, 3)),
      Pair("UI8", Bytes(8, 4)),
      Pair("UI1", Bytes(17, 5)),
      Pair("I1", Bytes(2, 6)),
      Pair("UNKNOWN", Bytes(8, 7)),
  };
  for (size_t i = 0; i < pairs.size(); ++i)
    WriteFile(restore / ("pair" + std::to_string(i)), pairs[i]);
  std::printf("seeds: %d protected values, %zu pairs\n", cWritten, pairs.size());
  return cWritten == static_cast<int>(values.size()) ? 0 : 1;
}
