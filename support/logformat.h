// Formatting of log messages: a printf-style subset over UTF-16 text,
// giving the same text in both builds.
//
// Conversions: %s (a UTF-16 string; a null pointer prints "(null)"), %d and
// %ld (32-bit signed, as on Windows where long is 32-bit), %u, %x and %X
// (32-bit unsigned), %p (the pointer as 16 upper-case hex digits) and %%.
// Flags '-' and '0' and a decimal width may precede a conversion.
//
// CLogFormat checks a literal format against the types of the arguments at
// compile time: the number of conversions must match, %s takes an OLECHAR
// pointer, %d/%u/%x take an integer or enumeration (wider ones print their
// low 32 bits, as the Windows call reads them), %p takes any pointer.
#pragma once

#include <windows.h>

#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

namespace logformat {

enum class EArgKind : uint8_t { Integer, Pointer, String };

struct CLogArg {
  EArgKind eKind;
  union {
    int64_t llValue;
    const void* pValue;
    const OLECHAR* pszValue;
  };
};

template <class T>
inline constexpr bool kIsLogString = std::is_same_v<std::remove_cv_t<T>, const OLECHAR*> ||
                                     std::is_same_v<std::remove_cv_t<T>, OLECHAR*>;

template <class T>
inline constexpr bool kIsLogInteger = std::is_integral_v<T> || std::is_enum_v<T>;

template <class T>
inline constexpr bool kIsLogPointer = std::is_pointer_v<T> || std::is_null_pointer_v<T>;

template <class T>
CLogArg MakeLogArg(T value) noexcept {
  using D = std::remove_cvref_t<T>;
  CLogArg arg;
  if constexpr (kIsLogString<D>) {
    arg.eKind = EArgKind::String;
    arg.pszValue = value;
  } else if constexpr (std::is_null_pointer_v<D>) {
    arg.eKind = EArgKind::Pointer;
    arg.pValue = nullptr;
  } else if constexpr (std::is_pointer_v<D>) {
    arg.eKind = EArgKind::Pointer;
    arg.pValue = reinterpret_cast<const void*>(value);
  } else if constexpr (std::is_enum_v<D>) {
    arg.eKind = EArgKind::Integer;
    arg.llValue = static_cast<int64_t>(static_cast<std::underlying_type_t<D>>(value));
  } else {
    static_assert(kIsLogInteger<D>, "log arguments are strings, integers or pointers");
    arg.eKind = EArgKind::Integer;
    arg.llValue = static_cast<int64_t>(value);
  }
  return arg;
}

// Called only during constant evaluation on a mismatch: not being constexpr,
// it turns the mismatch into a compile error that names it.
void FormatDoesNotMatchArguments(const char* why);

template <class... Args>
class CLogFormat {
 public:
  template <class S>
  requires std::convertible_to<const S&, const OLECHAR*>
  consteval CLogFormat(const S& s) : m_pszFormat(s) { Check(m_pszFormat); }

  constexpr const OLECHAR* Get() const noexcept { return m_pszFormat; }

 private:
  enum class ENeed { Integer, Pointer, String };

  template <class T>
  static constexpr bool Accepts(ENeed need) {
    using D = std::remove_cvref_t<T>;
    switch (need) {
      case ENeed::String:
        return kIsLogString<D>;
      case ENeed::Pointer:
        return kIsLogPointer<D>;
      case ENeed::Integer:
        return kIsLogInteger<D> && !std::is_same_v<D, bool>;
    }
    return false;
  }

  static constexpr bool AcceptsAt(size_t index, [[maybe_unused]] ENeed need) {
    bool results[] = {Accepts<Args>(need)..., false};
    return results[index];
  }

  static constexpr void Check(const OLECHAR* f) {
    size_t nArg = 0;
    for (size_t i = 0; f[i] != 0; ++i) {
      if (f[i] != u'%') continue;
      ++i;
      if (f[i] == u'%') continue;
      while (f[i] == u'-' || f[i] == u'0') ++i;
      while (f[i] >= u'0' && f[i] <= u'9') ++i;
      if (f[i] == u'l') ++i;
      ENeed need;
      switch (f[i]) {
        case u's':
          need = ENeed::String;
          break;
        case u'd':
        case u'u':
        case u'x':
        case u'X':
          need = ENeed::Integer;
          break;
        case u'p':
          need = ENeed::Pointer;
          break;
        default:
          FormatDoesNotMatchArguments("unsupported conversion");
          return;
      }
      if (nArg >= sizeof...(Args)) FormatDoesNotMatchArguments("too few arguments");
      if (!AcceptsAt(nArg, need)) FormatDoesNotMatchArguments("argument type");
      ++nArg;
    }
    if (nArg != sizeof...(Args)) FormatDoesNotMatchArguments("too many arguments");
  }

  const OLECHAR* m_pszFormat;
};

// Formats with arguments already checked; an argument of the wrong kind or a
// missing one (possible only through this unchecked entry) prints as "?".
std::basic_string<OLECHAR> FormatLogMessage(const OLECHAR* pszFormat, const CLogArg* pArgs,
                                            size_t cArgs);

}  // namespace logformat
