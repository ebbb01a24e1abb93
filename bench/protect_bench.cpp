// The cost of value protection: EncryptValue + DecryptValue of a 32-byte
// value against a raw AES-256-GCM seal and open of the same 32 bytes (one
// cipher context per thread, a fresh random nonce per seal), and the parts
// in between, so that the report shows where the time goes:
//
//   the platform's CryptProtectData + CryptUnprotectData alone (key file
//   check, nonce, header and description, local buffers, wiping);
//   one lstat of the key file (the key cache's check, once per call);
//   one random nonce;
//   the automation arrays EncryptValue and DecryptValue create, lock, copy
//   and destroy around the platform calls.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <windows.h>

#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_folder.h"
#include "ratio_reporter.h"
#include "security/protect.h"
#include "support/qvlog.h"

namespace {

constexpr size_t kValueBytes = 32;
constexpr DWORD kFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;

BYTE gValue[kValueBytes];
std::string gKeysFolder;

SAFEARRAY* ByteVector(const BYTE* pb, ULONG cb) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, cb);
  void* pv = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, &pv))) {
    std::memcpy(pv, pb, cb);
    SafeArrayUnaccessData(psa);
  }
  return psa;
}

class CThreadContext {
 public:
  CThreadContext() : m_pCtx(EVP_CIPHER_CTX_new()) {}
  ~CThreadContext() { EVP_CIPHER_CTX_free(m_pCtx); }
  EVP_CIPHER_CTX* Get() const { return m_pCtx; }

 private:
  EVP_CIPHER_CTX* m_pCtx;
};

void BM_RawAesGcmSealOpen(benchmark::State& state) {
  static thread_local CThreadContext context;
  EVP_CIPHER* pCipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  BYTE key[32];
  RAND_bytes(key, sizeof key);
  BYTE nonce[12];
  BYTE sealed[kValueBytes];
  BYTE tag[16];
  BYTE opened[kValueBytes];
  EVP_CIPHER_CTX* pCtx = context.Get();
  for (auto _ : state) {
    int cb = 0;
    bool bOk = RAND_bytes(nonce, sizeof nonce) == 1 &&
               EVP_EncryptInit_ex2(pCtx, pCipher, key, nonce, nullptr) == 1 &&
               EVP_EncryptUpdate(pCtx, sealed, &cb, gValue, kValueBytes) == 1 &&
               EVP_EncryptFinal_ex(pCtx, sealed + cb, &cb) == 1 &&
               EVP_CIPHER_CTX_ctrl(pCtx, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag) == 1 &&
               EVP_DecryptInit_ex2(pCtx, pCipher, key, nonce, nullptr) == 1 &&
               EVP_DecryptUpdate(pCtx, opened, &cb, sealed, kValueBytes) == 1 &&
               EVP_CIPHER_CTX_ctrl(pCtx, EVP_CTRL_GCM_SET_TAG, sizeof tag, tag) == 1 &&
               EVP_DecryptFinal_ex(pCtx, opened + cb, &cb) == 1;
    if (!bOk) state.SkipWithError("raw seal or open failed");
    benchmark::DoNotOptimize(opened);
  }
  EVP_CIPHER_free(pCipher);
}
BENCHMARK(BM_RawAesGcmSealOpen);

void BM_EncryptDecryptValue(benchmark::State& state) {
  SAFEARRAY* psaValue = ByteVector(gValue, kValueBytes);
  for (auto _ : state) {
    SAFEARRAY* psaProtected = nullptr;
    SAFEARRAY* psaRestored = nullptr;
    if (EncryptValue(psaValue, &psaProtected) != S_OK ||
        DecryptValue(psaProtected, &psaRestored) != S_OK) {
      state.SkipWithError("EncryptValue or DecryptValue failed");
    }
    SafeArrayDestroy(psaRestored);
    SafeArrayDestroy(psaProtected);
  }
  SafeArrayDestroy(psaValue);
}
BENCHMARK(BM_EncryptDecryptValue);

void BM_CryptProtectUnprotect(benchmark::State& state) {
  BYTE entropy[16] = {};
  for (auto _ : state) {
    DATA_BLOB in{kValueBytes, gValue};
    DATA_BLOB ent{sizeof entropy, entropy};
    DATA_BLOB blob{0, nullptr};
    DATA_BLOB plain{0, nullptr};
    LPWSTR pszDescr = nullptr;
    if (!CryptProtectData(&in, OLESTR("UI1"), &ent, nullptr, nullptr, kFlags, &blob) ||
        !CryptUnprotectData(&blob, &pszDescr, &ent, nullptr, nullptr, kFlags, &plain)) {
      state.SkipWithError("CryptProtectData or CryptUnprotectData failed");
    }
    LocalFree(pszDescr);
    LocalFree(plain.pbData);
    LocalFree(blob.pbData);
  }
}
BENCHMARK(BM_CryptProtectUnprotect);

void BM_KeyFileCheck(benchmark::State& state) {
  std::string file;
  for (const auto& entry : std::filesystem::directory_iterator(gKeysFolder)) {
    if (entry.path().filename().string().rfind("user-", 0) == 0) file = entry.path();
  }
  for (auto _ : state) {
    struct stat st;
    benchmark::DoNotOptimize(lstat(file.c_str(), &st));
  }
}
BENCHMARK(BM_KeyFileCheck);

void BM_RandomNonce(benchmark::State& state) {
  BYTE nonce[12];
  for (auto _ : state) {
    RAND_bytes(nonce, sizeof nonce);
    benchmark::DoNotOptimize(nonce);
  }
}
BENCHMARK(BM_RandomNonce);

// The arrays around the platform calls: the value read, the protected
// vector (about 100 bytes) created and filled, the restored vector created
// and filled, both destroyed.
void BM_ArrayWork(benchmark::State& state) {
  SAFEARRAY* psaValue = ByteVector(gValue, kValueBytes);
  BYTE blob[kValueBytes + 76] = {};
  for (auto _ : state) {
    void* pv = nullptr;
    SafeArrayAccessData(psaValue, &pv);
    benchmark::DoNotOptimize(pv);
    SafeArrayUnaccessData(psaValue);
    SAFEARRAY* psaProtected = ByteVector(blob, sizeof blob);
    SafeArrayAccessData(psaProtected, &pv);
    benchmark::DoNotOptimize(pv);
    SafeArrayUnaccessData(psaProtected);
    SAFEARRAY* psaRestored = ByteVector(gValue, kValueBytes);
    SafeArrayDestroy(psaRestored);
    SafeArrayDestroy(psaProtected);
  }
  SafeArrayDestroy(psaValue);
}
BENCHMARK(BM_ArrayWork);

}  // namespace

int main(int argc, char** argv) {
  // Logging off, as in a host without a log file; keys in a private folder.
  qvlogSetLevelMask(0);
  const CBenchFolder folder("kelmyr-protect-bench", false);
  if (folder.Path().empty()) return 1;
  gKeysFolder = folder.Path();
  RAND_bytes(gValue, sizeof gValue);
  // The first seal creates the keys, outside the measurements.
  SAFEARRAY* psaValue = ByteVector(gValue, kValueBytes);
  SAFEARRAY* psaProtected = nullptr;
  EncryptValue(psaValue, &psaProtected);
  SafeArrayDestroy(psaProtected);
  SafeArrayDestroy(psaValue);

  return RunWithRatios(argc, argv,
                       {{"EncryptValue+DecryptValue / raw seal+open", "BM_EncryptDecryptValue",
                         "BM_RawAesGcmSealOpen"},
                        {"CryptProtectData+CryptUnprotectData / raw", "BM_CryptProtectUnprotect",
                         "BM_RawAesGcmSealOpen"},
                        {"key file lstat / raw", "BM_KeyFileCheck", "BM_RawAesGcmSealOpen"},
                        {"random nonce / raw", "BM_RandomNonce", "BM_RawAesGcmSealOpen"},
                        {"arrays around the calls / raw", "BM_ArrayWork", "BM_RawAesGcmSealOpen"}});
}
