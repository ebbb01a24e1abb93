// Cryptography types of the Linux platform layer: the blob that carries
// bytes in and out of the data protection functions (dpapi.h).
#pragma once

#include "windef.h"

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB,
    *PCRYPT_HASH_BLOB, CRYPT_DIGEST_BLOB, *PCRYPT_DIGEST_BLOB, DATA_BLOB, *PDATA_BLOB;

#include "dpapi.h"
