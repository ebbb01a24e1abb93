// Compiled with one KELMYR_CASE at a time: case 0 must build, every other
// case must be refused by the compiler, since its format does not match its
// arguments.
#include "support/logscope.h"

int main() {
  [[maybe_unused]] const OLECHAR* psz = OLESTR("x");
  [[maybe_unused]] int n = 1;
#if KELMYR_CASE == 0
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%s %d %x %p %%"), psz, n, 2u, &n);
  CLogScope scope(LOG_SCOPE_NAME("Sample::Name"));
#elif KELMYR_CASE == 1
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%s"), n);  // integer for a string
#elif KELMYR_CASE == 2
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%d"), psz);  // string for an integer
#elif KELMYR_CASE == 3
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%d %d"), n);  // too few arguments
#elif KELMYR_CASE == 4
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%d"), n, n);  // too many arguments
#elif KELMYR_CASE == 5
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%f"), 1.0);  // unsupported conversion
#elif KELMYR_CASE == 6
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("%p"), n);  // integer for a pointer
#elif KELMYR_CASE == 7
  CLogScope scope(LOG_SCOPE_NAME("Sample %d"));  // a conversion in a scope name
#endif
  return 0;
}
