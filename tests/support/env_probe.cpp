// env_probe: seals a byte with the calling account's key and writes one log
// line, so that a test can see whether it followed the caller's key folder
// and log file variables.
#include <windows.h>

#include <dpapi.h>

#include "support/qvlog.h"

int main() {
  BYTE b = 1;
  DATA_BLOB in{1, &b};
  DATA_BLOB out{};
  const bool bSealed =
      CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out);
  if (bSealed) LocalFree(out.pbData);
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("env_probe ran"));
  return bSealed ? 0 : 1;
}
