#include "fuzz_keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "security/protectencoding.h"

namespace {

std::string gNamingFolder;
std::string gFolder;

void RemoveFolders() {
  std::error_code ec;
  std::filesystem::remove_all(gNamingFolder, ec);
  std::filesystem::remove_all(gFolder, ec);
}

[[noreturn]] void Die(const char* pszWhat) {
  std::fprintf(stderr, "fuzz keys: %s\n", pszWhat);
  std::abort();
}

std::string NewPrivateFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelmyr-fuzz-keys.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Die("mkdtemp failed");
  return pattern;
}

// Key file layout of the platform layer, version 1, with a fixed id and key.
void WriteFixedKey(const std::filesystem::path& file, BYTE bSeed) {
  BYTE bytes[60] = {'K', 'L', 'M', 'Y', 'R', 'D', 'P', 'K', 1, 0, 0, 0};
  for (size_t i = 12; i < sizeof bytes; ++i) bytes[i] = static_cast<BYTE>(bSeed + i);
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0 || write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
    Die("cannot write a key file");
  }
  close(fd);
}

}  // namespace

void InstallFixedFuzzKeys() {
  std::atexit(RemoveFolders);
  // Sealing once in a first folder creates both key files under the names
  // the platform gives them. The fixed keys are then written under those
  // names into a second folder that the platform has never read, so that no
  // key it cached from the first can stand in for them.
  gNamingFolder = NewPrivateFolder();
  setenv("KELMYR_DPAPI_KEYS", gNamingFolder.c_str(), 1);
  BYTE b = 0;
  for (DWORD dwFlags : {DWORD{0}, DWORD{CRYPTPROTECT_LOCAL_MACHINE}}) {
    DATA_BLOB in{1, &b};
    DATA_BLOB out{0, nullptr};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, dwFlags, &out)) {
      Die("cannot create the keys");
    }
    LocalFree(out.pbData);
  }
  gFolder = NewPrivateFolder();
  for (const auto& entry : std::filesystem::directory_iterator(gNamingFolder)) {
    WriteFixedKey(std::filesystem::path(gFolder) / entry.path().filename(),
                  entry.path().filename() == "machine.key" ? 0x80 : 0x10);
  }
  setenv("KELMYR_DPAPI_KEYS", gFolder.c_str(), 1);
}

SAFEARRAY* SealForFuzz(const OLECHAR* pszDescr, const BYTE* pbPlain, DWORD cbPlain) {
  static BYTE bNoData = 0;
  CProtectEntropy entropy;
  if (!entropy.Build()) return nullptr;
  DATA_BLOB in{cbPlain, cbPlain != 0 ? const_cast<BYTE*>(pbPlain) : &bNoData};
  DATA_BLOB ent = entropy.Blob();
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, pszDescr, &ent, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT, &out)) {
    return nullptr;
  }
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, out.cbData);
  if (psa != nullptr)
    std::copy(out.pbData, out.pbData + out.cbData, static_cast<BYTE*>(psa->pvData));
  LocalFree(out.pbData);
  return psa;
}
