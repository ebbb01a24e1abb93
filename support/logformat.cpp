#include "support/logformat.h"

namespace logformat {

namespace {

using text = std::basic_string<OLECHAR>;

struct CSpec {
  bool bLeft = false;
  bool bZero = false;
  size_t cchWidth = 0;
};

void AppendPadded(text& out, const CSpec& spec, const OLECHAR* p, size_t n) {
  const size_t cchPad = spec.cchWidth > n ? spec.cchWidth - n : 0;
  if (!spec.bLeft) {
    // Zero padding goes after a sign, as printf puts it.
    if (spec.bZero && n > 0 && p[0] == u'-') {
      out.push_back(u'-');
      ++p;
      --n;
      out.append(cchPad, u'0');
    } else {
      out.append(cchPad, spec.bZero ? u'0' : u' ');
    }
  }
  out.append(p, n);
  if (spec.bLeft) out.append(cchPad, u' ');
}

// Writes the digits of v in the given base, most significant first, into the
// end of buf; returns the index of the first digit.
size_t Digits(OLECHAR (&buf)[24], uint64_t v, unsigned base, bool bUpper) {
  const char* digits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  size_t i = sizeof(buf) / sizeof(buf[0]);
  do {
    buf[--i] = static_cast<OLECHAR>(digits[v % base]);
    v /= base;
  } while (v != 0);
  return i;
}

void AppendInteger(text& out, const CSpec& spec, OLECHAR conv, int64_t llValue) {
  OLECHAR buf[24];
  const size_t end = sizeof(buf) / sizeof(buf[0]);
  size_t i;
  const uint32_t u32 = static_cast<uint32_t>(llValue);
  switch (conv) {
    case u'd': {
      const int32_t i32 = static_cast<int32_t>(u32);
      const uint64_t magnitude =
          i32 < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(i32)) : static_cast<uint64_t>(i32);
      i = Digits(buf, magnitude, 10, false);
      if (i32 < 0) buf[--i] = u'-';
      break;
    }
    case u'u':
      i = Digits(buf, u32, 10, false);
      break;
    default:
      i = Digits(buf, u32, 16, conv == u'X');
      break;
  }
  AppendPadded(out, spec, buf + i, end - i);
}

void AppendPointer(text& out, const void* p) {
  OLECHAR buf[24];
  const size_t end = sizeof(buf) / sizeof(buf[0]);
  size_t i = Digits(buf, reinterpret_cast<uintptr_t>(p), 16, true);
  const size_t cchWidth = sizeof(void*) * 2;
  out.append(cchWidth > end - i ? cchWidth - (end - i) : 0, u'0');
  out.append(buf + i, end - i);
}

}  // namespace

text FormatLogMessage(const OLECHAR* pszFormat, const CLogArg* pArgs, size_t cArgs) {
  static constexpr OLECHAR kNull[] = OLESTR("(null)");
  static constexpr OLECHAR kBad[] = OLESTR("?");
  text out;
  if (pszFormat == nullptr) return out;
  size_t nArg = 0;
  for (const OLECHAR* f = pszFormat; *f != 0; ++f) {
    if (*f != u'%') {
      out.push_back(*f);
      continue;
    }
    ++f;
    if (*f == 0) break;
    if (*f == u'%') {
      out.push_back(u'%');
      continue;
    }
    CSpec spec;
    for (;; ++f) {
      if (*f == u'-') {
        spec.bLeft = true;
      } else if (*f == u'0') {
        spec.bZero = true;
      } else {
        break;
      }
    }
    for (; *f >= u'0' && *f <= u'9'; ++f) {
      spec.cchWidth = spec.cchWidth * 10 + static_cast<size_t>(*f - u'0');
      if (spec.cchWidth > 256) spec.cchWidth = 256;
    }
    if (*f == u'l') ++f;
    if (*f == 0) break;
    const OLECHAR conv = *f;
    const CLogArg* pArg = nArg < cArgs ? &pArgs[nArg] : nullptr;
    ++nArg;
    switch (conv) {
      case u's':
        if (pArg == nullptr || pArg->eKind != EArgKind::String) {
          AppendPadded(out, spec, kBad, 1);
        } else {
          const OLECHAR* s = pArg->pszValue ? pArg->pszValue : kNull;
          AppendPadded(out, spec, s, std::char_traits<OLECHAR>::length(s));
        }
        break;
      case u'd':
      case u'u':
      case u'x':
      case u'X':
        if (pArg == nullptr || pArg->eKind != EArgKind::Integer) {
          AppendPadded(out, spec, kBad, 1);
        } else {
          AppendInteger(out, spec, conv, pArg->llValue);
        }
        break;
      case u'p':
        if (pArg == nullptr || pArg->eKind == EArgKind::Integer) {
          AppendPadded(out, spec, kBad, 1);
        } else {
          AppendPointer(out, pArg->pValue);
        }
        break;
      default:
        out.push_back(u'%');
        out.push_back(conv);
        break;
    }
  }
  return out;
}

}  // namespace logformat
