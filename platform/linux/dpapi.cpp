// The data protection functions: authenticated encryption with AES-256-GCM
// under the account's user key or the machine key (dpapi_keys.h).
//
// Blob, format version 1 (integers little-endian):
//
//   offset  size  field
//        0     4  magic "KDPB"
//        4     1  format version (1)
//        5     1  key scope: 1 user key, 2 machine key
//        6     2  reserved, 0
//        8    16  id of the key that sealed the blob
//       24    12  nonce (random for every blob)
//       36     4  description length in bytes (UTF-16 code units, no terminator)
//       40     d  description
//     40+d     n  ciphertext, as long as the plaintext
//   40+d+n    16  authentication tag
//
// The authenticated data are the 40 header bytes, the description and the
// optional entropy, so that a changed header or description, another
// entropy or another key all fail the tag check and nothing is returned.
// The entropy itself is not stored. The version byte lets a later format be
// told apart; this build opens version 1 only. The scope recorded in the
// blob selects the key when opening, as the blob's own master key reference
// does on Windows, so the caller's CRYPTPROTECT_LOCAL_MACHINE flag matters
// for sealing only.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "dpapi_keys.h"

namespace {

using kelmyr::winapi::dpapi::EKeyScope;
using kelmyr::winapi::dpapi::kKeyIdBytes;
using kelmyr::winapi::dpapi::LoadKey;
using kelmyr::winapi::dpapi::SKey;

constexpr BYTE kBlobMagic[4] = {'K', 'D', 'P', 'B'};
constexpr BYTE kBlobVersion = 1;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kOffsetVersion = 4;
constexpr size_t kOffsetScope = 5;
constexpr size_t kOffsetReserved = 6;
constexpr size_t kOffsetKeyId = 8;
constexpr size_t kOffsetNonce = kOffsetKeyId + kKeyIdBytes;
constexpr size_t kOffsetDescrLength = kOffsetNonce + kNonceBytes;
constexpr size_t kHeaderBytes = kOffsetDescrLength + 4;
static_assert(kHeaderBytes == 40);

// Wipes the key when it goes out of scope.
struct CScopedKey : SKey {
  ~CScopedKey() { OPENSSL_cleanse(static_cast<SKey*>(this), sizeof(SKey)); }
};

// A LocalAlloc'd buffer that is wiped and freed unless handed over.
class CScopedLocalBuffer {
 public:
  CScopedLocalBuffer(BYTE* pb, size_t cb) noexcept : m_pb(pb), m_cb(cb) {}
  ~CScopedLocalBuffer() {
    if (m_pb != nullptr) {
      OPENSSL_cleanse(m_pb, m_cb);
      LocalFree(m_pb);
    }
  }
  CScopedLocalBuffer(const CScopedLocalBuffer&) = delete;
  CScopedLocalBuffer& operator=(const CScopedLocalBuffer&) = delete;
  BYTE* Get() const noexcept { return m_pb; }
  BYTE* Release() noexcept {
    BYTE* pb = m_pb;
    m_pb = nullptr;
    return pb;
  }

 private:
  BYTE* m_pb;
  size_t m_cb;
};

// The cipher, fetched once (and never released: it serves every thread up
// to the process's end), and one cipher context object per thread, so that
// a call neither fetches the algorithm nor allocates the context object.
const EVP_CIPHER* Aes256Gcm() {
  static EVP_CIPHER* pCipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return pCipher;
}

class CThreadCipherContext {
 public:
  ~CThreadCipherContext() { EVP_CIPHER_CTX_free(m_pCtx); }
  EVP_CIPHER_CTX* Get() {
    if (m_pCtx == nullptr) m_pCtx = EVP_CIPHER_CTX_new();
    return m_pCtx;
  }

 private:
  EVP_CIPHER_CTX* m_pCtx = nullptr;
};

// The calling thread's context for one call. Its key schedule is wiped when
// the call ends, whatever the outcome: a context kept for the thread's life
// must not keep the last key with it.
class CCallCipherContext {
 public:
  CCallCipherContext() {
    static thread_local CThreadCipherContext context;
    m_pCtx = context.Get();
  }
  ~CCallCipherContext() {
    if (m_pCtx != nullptr) EVP_CIPHER_CTX_reset(m_pCtx);
  }
  CCallCipherContext(const CCallCipherContext&) = delete;
  CCallCipherContext& operator=(const CCallCipherContext&) = delete;
  EVP_CIPHER_CTX* Get() const { return m_pCtx; }

 private:
  EVP_CIPHER_CTX* m_pCtx;
};

void PutDword(BYTE* p, DWORD dw) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(dw >> (8 * i));
}

DWORD GetDword(const BYTE* p) {
  DWORD dw = 0;
  for (int i = 0; i < 4; ++i) dw |= DWORD{p[i]} << (8 * i);
  return dw;
}

size_t DescriptionUnits(LPCWSTR psz) {
  size_t c = 0;
  if (psz != nullptr) {
    while (psz[c] != 0) ++c;
  }
  return c;
}

// The update calls take an int length; longer inputs go in pieces.
constexpr size_t kPieceBytes = size_t{1} << 30;

bool AddAuthenticatedData(EVP_CIPHER_CTX* pCtx, bool bEncrypt, const BYTE* pb, size_t cb) {
  int cbOut = 0;
  while (cb > 0) {
    const int cbPiece = static_cast<int>(cb < kPieceBytes ? cb : kPieceBytes);
    const int ok = bEncrypt ? EVP_EncryptUpdate(pCtx, nullptr, &cbOut, pb, cbPiece)
                            : EVP_DecryptUpdate(pCtx, nullptr, &cbOut, pb, cbPiece);
    if (ok != 1) return false;
    pb += cbPiece;
    cb -= static_cast<size_t>(cbPiece);
  }
  return true;
}

bool Transform(EVP_CIPHER_CTX* pCtx, bool bEncrypt, const BYTE* pbIn, size_t cb, BYTE* pbOut) {
  while (cb > 0) {
    const int cbPiece = static_cast<int>(cb < kPieceBytes ? cb : kPieceBytes);
    int cbOut = 0;
    const int ok = bEncrypt ? EVP_EncryptUpdate(pCtx, pbOut, &cbOut, pbIn, cbPiece)
                            : EVP_DecryptUpdate(pCtx, pbOut, &cbOut, pbIn, cbPiece);
    if (ok != 1 || cbOut != cbPiece) return false;
    pbIn += cbPiece;
    pbOut += cbPiece;
    cb -= static_cast<size_t>(cbPiece);
  }
  return true;
}

// The authenticated data of a blob: header and description as they stand
// in the blob, then the entropy.
bool AddBlobAuthenticatedData(EVP_CIPHER_CTX* pCtx, bool bEncrypt, const BYTE* pbBlob,
                              size_t cbDescr, const DATA_BLOB* pEntropy) {
  if (!AddAuthenticatedData(pCtx, bEncrypt, pbBlob, kHeaderBytes + cbDescr)) return false;
  return pEntropy == nullptr ||
         AddAuthenticatedData(pCtx, bEncrypt, pEntropy->pbData, pEntropy->cbData);
}

bool EntropyUsable(const DATA_BLOB* pEntropy) {
  return pEntropy == nullptr || pEntropy->cbData == 0 || pEntropy->pbData != nullptr;
}

// Whether the caller asked for a prompt in this phase. This layer has no
// user interface, so such a call fails with ERROR_PASSWORD_RESTRICTION, as
// it does on Windows when CRYPTPROTECT_UI_FORBIDDEN forbids the prompt.
bool PromptAsked(const CRYPTPROTECT_PROMPTSTRUCT* pPromptStruct, DWORD dwPhase) {
  return pPromptStruct != nullptr && (pPromptStruct->dwPromptFlags & dwPhase) != 0;
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

}  // namespace

BOOL WINAPI CryptProtectData(DATA_BLOB* pDataIn, LPCWSTR szDataDescr, DATA_BLOB* pOptionalEntropy,
                             PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT* pPromptStruct,
                             DWORD dwFlags, DATA_BLOB* pDataOut) {
  (void)pvReserved;
  if (pDataIn == nullptr || pDataOut == nullptr || !EntropyUsable(pOptionalEntropy)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (pDataIn->pbData == nullptr) return Fail(ERROR_INVALID_DATA);
  if (PromptAsked(pPromptStruct, CRYPTPROTECT_PROMPT_ON_PROTECT)) {
    return Fail(ERROR_PASSWORD_RESTRICTION);
  }

  const size_t cbDescr = 2 * DescriptionUnits(szDataDescr);
  const size_t cbPlain = pDataIn->cbData;
  const size_t cbBlob = kHeaderBytes + cbDescr + cbPlain + kTagBytes;
  if (cbDescr > 0xFFFFFFFFu || cbBlob > 0xFFFFFFFFu) return Fail(ERROR_INVALID_PARAMETER);

  const EKeyScope scope =
      (dwFlags & CRYPTPROTECT_LOCAL_MACHINE) != 0 ? EKeyScope::kMachine : EKeyScope::kUser;
  CScopedKey key;
  const DWORD dwError = LoadKey(scope, true, &key);
  if (dwError != ERROR_SUCCESS) return Fail(dwError);

  CScopedLocalBuffer blob(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, cbBlob)), cbBlob);
  if (blob.Get() == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  BYTE* pb = blob.Get();
  std::memcpy(pb, kBlobMagic, sizeof kBlobMagic);
  pb[kOffsetVersion] = kBlobVersion;
  pb[kOffsetScope] = static_cast<BYTE>(scope);
  pb[kOffsetReserved] = 0;
  pb[kOffsetReserved + 1] = 0;
  std::memcpy(pb + kOffsetKeyId, key.id, kKeyIdBytes);
  if (RAND_bytes(pb + kOffsetNonce, kNonceBytes) != 1) return Fail(ERROR_NO_SYSTEM_RESOURCES);
  PutDword(pb + kOffsetDescrLength, static_cast<DWORD>(cbDescr));
  for (size_t i = 0; i < cbDescr / 2; ++i) {
    pb[kHeaderBytes + 2 * i] = static_cast<BYTE>(szDataDescr[i]);
    pb[kHeaderBytes + 2 * i + 1] = static_cast<BYTE>(szDataDescr[i] >> 8);
  }

  CCallCipherContext context;
  EVP_CIPHER_CTX* pCtx = context.Get();
  BYTE* pbCipher = pb + kHeaderBytes + cbDescr;
  int cbFinal = 0;
  if (pCtx == nullptr || Aes256Gcm() == nullptr ||
      EVP_EncryptInit_ex2(pCtx, Aes256Gcm(), key.key, pb + kOffsetNonce, nullptr) != 1 ||
      !AddBlobAuthenticatedData(pCtx, true, pb, cbDescr, pOptionalEntropy) ||
      !Transform(pCtx, true, pDataIn->pbData, cbPlain, pbCipher) ||
      EVP_EncryptFinal_ex(pCtx, pbCipher + cbPlain, &cbFinal) != 1 ||
      EVP_CIPHER_CTX_ctrl(pCtx, EVP_CTRL_GCM_GET_TAG, kTagBytes, pbCipher + cbPlain) != 1) {
    return Fail(ERROR_NO_SYSTEM_RESOURCES);
  }
  pDataOut->cbData = static_cast<DWORD>(cbBlob);
  pDataOut->pbData = blob.Release();
  return TRUE;
}

BOOL WINAPI CryptUnprotectData(DATA_BLOB* pDataIn, LPWSTR* ppszDataDescr,
                               DATA_BLOB* pOptionalEntropy, PVOID pvReserved,
                               CRYPTPROTECT_PROMPTSTRUCT* pPromptStruct, DWORD dwFlags,
                               DATA_BLOB* pDataOut) {
  (void)pvReserved;
  (void)dwFlags;
  if (pDataIn == nullptr || pDataOut == nullptr || !EntropyUsable(pOptionalEntropy)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (PromptAsked(pPromptStruct, CRYPTPROTECT_PROMPT_ON_UNPROTECT)) {
    return Fail(ERROR_PASSWORD_RESTRICTION);
  }
  const BYTE* pb = pDataIn->pbData;
  const size_t cbBlob = pDataIn->cbData;
  if (pb == nullptr || cbBlob < kHeaderBytes + kTagBytes ||
      std::memcmp(pb, kBlobMagic, sizeof kBlobMagic) != 0 || pb[kOffsetVersion] != kBlobVersion ||
      pb[kOffsetReserved] != 0 || pb[kOffsetReserved + 1] != 0) {
    return Fail(ERROR_INVALID_DATA);
  }
  const BYTE bScope = pb[kOffsetScope];
  if (bScope != static_cast<BYTE>(EKeyScope::kUser) &&
      bScope != static_cast<BYTE>(EKeyScope::kMachine)) {
    return Fail(ERROR_INVALID_DATA);
  }
  const size_t cbDescr = GetDword(pb + kOffsetDescrLength);
  if (cbDescr % 2 != 0 || cbDescr > cbBlob - kHeaderBytes - kTagBytes) {
    return Fail(ERROR_INVALID_DATA);
  }
  const size_t cbPlain = cbBlob - kHeaderBytes - cbDescr - kTagBytes;

  CScopedKey key;
  DWORD dwError = LoadKey(static_cast<EKeyScope>(bScope), false, &key);
  if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) {
    // No key of that scope exists here, so no value sealed with one can be opened.
    dwError = ERROR_INVALID_DATA;
  }
  if (dwError != ERROR_SUCCESS) return Fail(dwError);
  if (CRYPTO_memcmp(key.id, pb + kOffsetKeyId, kKeyIdBytes) != 0) return Fail(ERROR_INVALID_DATA);

  CScopedLocalBuffer plain(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, cbPlain)), cbPlain);
  if (plain.Get() == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  CCallCipherContext context;
  EVP_CIPHER_CTX* pCtx = context.Get();
  const BYTE* pbCipher = pb + kHeaderBytes + cbDescr;
  BYTE tag[kTagBytes];
  std::memcpy(tag, pbCipher + cbPlain, kTagBytes);
  int cbFinal = 0;
  if (pCtx == nullptr || Aes256Gcm() == nullptr ||
      EVP_DecryptInit_ex2(pCtx, Aes256Gcm(), key.key, pb + kOffsetNonce, nullptr) != 1 ||
      !AddBlobAuthenticatedData(pCtx, false, pb, cbDescr, pOptionalEntropy) ||
      !Transform(pCtx, false, pbCipher, cbPlain, plain.Get()) ||
      EVP_CIPHER_CTX_ctrl(pCtx, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1 ||
      EVP_DecryptFinal_ex(pCtx, plain.Get() + cbPlain, &cbFinal) != 1) {
    // Wrong entropy, another key or a damaged blob: the plaintext written so
    // far is wiped with the buffer.
    return Fail(ERROR_INVALID_DATA);
  }

  LPWSTR pszDescr = nullptr;
  if (ppszDataDescr != nullptr) {
    pszDescr = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, cbDescr + sizeof(WCHAR)));
    if (pszDescr == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; i < cbDescr / 2; ++i) {
      pszDescr[i] =
          static_cast<WCHAR>(pb[kHeaderBytes + 2 * i] | (pb[kHeaderBytes + 2 * i + 1] << 8));
    }
    pszDescr[cbDescr / 2] = 0;
    *ppszDataDescr = pszDescr;
  }
  pDataOut->cbData = static_cast<DWORD>(cbPlain);
  pDataOut->pbData = plain.Release();
  return TRUE;
}
