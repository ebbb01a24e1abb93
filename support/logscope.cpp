#include "support/logscope.h"

CLogScope::~CLogScope() {
  if (m_phr == nullptr) {
    qvlogLog(gLogChannel, m_lExitLevel, m_name.name);
  } else if (!m_field) {
    qvlogLog(gLogChannel, m_lExitLevel, m_name.result, *m_phr);
  } else {
    qvlogLog(gLogChannel, m_lExitLevel, m_field->result, *m_phrField, *m_phr);
  }
}
