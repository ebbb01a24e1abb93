#include "support/logscope.h"

CLogScope::~CLogScope() {
  if (m_phr == nullptr) {
    qvlogLog(gLogChannel, m_lExitLevel, OLESTR("%s"), m_pszName);
  } else if (m_phrField == nullptr) {
    qvlogLog(gLogChannel, m_lExitLevel, OLESTR("%s hr = 0x%x"), m_pszName, *m_phr);
  } else {
    qvlogLog(gLogChannel, m_lExitLevel, OLESTR("%s %s = 0x%x hr = 0x%x"), m_pszName, m_pszField,
             *m_phrField, *m_phr);
  }
}
