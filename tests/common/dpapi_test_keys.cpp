#include "common/dpapi_test_keys.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#ifndef _WIN32
namespace {
constexpr char kVariable[] = "KELMYR_DPAPI_KEYS";
}  // namespace

CDpapiTestKeys::CDpapiTestKeys() {
  if (const char* psz = std::getenv(kVariable)) {
    m_previous = psz;
    m_bHadPrevious = true;
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelmyr-dpapi-test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_folder = pattern;
  Activate();
}

CDpapiTestKeys::~CDpapiTestKeys() {
  if (m_bHadPrevious) {
    setenv(kVariable, m_previous.c_str(), 1);
  } else {
    unsetenv(kVariable);
  }
  std::error_code ec;
  std::filesystem::remove_all(m_folder, ec);
}

void CDpapiTestKeys::Activate() const { setenv(kVariable, m_folder.c_str(), 1); }
#else
CDpapiTestKeys::CDpapiTestKeys() = default;
CDpapiTestKeys::~CDpapiTestKeys() = default;
void CDpapiTestKeys::Activate() const {}
#endif
