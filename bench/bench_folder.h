// CBenchFolder: a fresh folder in the temporary folder for one benchmark
// run, holding the data protection keys of the process (KELMYR_DPAPI_KEYS)
// and, if asked, its registry hive (KELMYR_REGISTRY); removed with
// everything in it when the object goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class CBenchFolder {
 public:
  CBenchFolder(const char* pszName, bool bHive)
      : m_path((std::filesystem::temp_directory_path() / pszName).string() + ".XXXXXX") {
    if (mkdtemp(m_path.data()) == nullptr) {
      m_path.clear();
      return;
    }
    setenv("KELMYR_DPAPI_KEYS", m_path.c_str(), 1);
    if (bHive) setenv("KELMYR_REGISTRY", (m_path + "/registry.db").c_str(), 1);
  }
  ~CBenchFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  CBenchFolder(const CBenchFolder&) = delete;
  CBenchFolder& operator=(const CBenchFolder&) = delete;

  // The folder; empty if it could not be made.
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};
