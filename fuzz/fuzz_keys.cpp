#include "fuzz_keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

// The system's entropy: its fixed table, each byte XOR-ed with its
// position counted from 1.
constexpr BYTE kEntropy[16] = {0x44, 0x16, 0x92, 0x44, 0xF4, 0xD4, 0x29, 0xE4,
                               0xDF, 0xB7, 0x16, 0x4B, 0x4C, 0xC4, 0xAC, 0x07};

std::string gFolder;

void RemoveFolder() {
  std::error_code ec;
  std::filesystem::remove_all(gFolder, ec);
}

[[noreturn]] void Die(const char* pszWhat) {
  std::fprintf(stderr, "fuzz keys: %s\n", pszWhat);
  std::abort();
}

// Key file layout of the platform layer, version 1, with a fixed id and key.
void WriteFixedKey(const std::filesystem::path& file, BYTE bSeed) {
  BYTE bytes[60] = {'K', 'L', 'M', 'Y', 'R', 'D', 'P', 'K', 1, 0, 0, 0};
  for (size_t i = 12; i < sizeof bytes; ++i) bytes[i] = static_cast<BYTE>(bSeed + i);
  const int fd = open(file.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0 || write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
    Die("cannot write a key file");
  }
  close(fd);
}

}  // namespace

void InstallFixedFuzzKeys() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelmyr-fuzz-keys.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Die("mkdtemp failed");
  gFolder = pattern;
  std::atexit(RemoveFolder);
  setenv("KELMYR_DPAPI_KEYS", gFolder.c_str(), 1);
  // Sealing once creates both key files under their names; their contents
  // are then replaced with the fixed keys.
  BYTE b = 0;
  for (DWORD dwFlags : {DWORD{0}, DWORD{CRYPTPROTECT_LOCAL_MACHINE}}) {
    DATA_BLOB in{1, &b};
    DATA_BLOB out{0, nullptr};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, dwFlags, &out)) {
      Die("cannot create the keys");
    }
    LocalFree(out.pbData);
  }
  for (const auto& entry : std::filesystem::directory_iterator(gFolder)) {
    WriteFixedKey(entry.path(), entry.path().filename() == "machine.key" ? 0x80 : 0x10);
  }
}

SAFEARRAY* SealForFuzz(const OLECHAR* pszDescr, const BYTE* pbPlain, DWORD cbPlain) {
  static BYTE bNoData = 0;
  BYTE entropy[16];
  std::copy(std::begin(kEntropy), std::end(kEntropy), entropy);
  DATA_BLOB in{cbPlain, cbPlain != 0 ? const_cast<BYTE*>(pbPlain) : &bNoData};
  DATA_BLOB ent{sizeof entropy, entropy};
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, pszDescr, &ent, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT, &out)) {
    return nullptr;
  }
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, out.cbData);
  void* pv = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, &pv))) {
    std::copy(out.pbData, out.pbData + out.cbData, static_cast<BYTE*>(pv));
    SafeArrayUnaccessData(psa);
  }
  LocalFree(out.pbData);
  return psa;
}
