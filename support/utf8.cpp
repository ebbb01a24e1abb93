#include "support/utf8.h"

#include <cstdint>

void AppendUtf8(std::string& out, std::basic_string_view<OLECHAR> in) {
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = static_cast<uint16_t>(in[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size()) {
      const uint32_t low = static_cast<uint16_t>(in[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

std::string Utf16ToUtf8(std::basic_string_view<OLECHAR> in) {
  std::string out;
  out.reserve(in.size());
  AppendUtf8(out, in);
  return out;
}

std::basic_string<OLECHAR> Utf8ToUtf16(std::string_view in) {
  std::basic_string<OLECHAR> out;
  out.reserve(in.size());
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(in[k]); };
  for (size_t i = 0; i < in.size();) {
    const uint8_t b0 = byte(i);
    uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b0 < 0x80) {
      c = b0;
    } else if (b0 >= 0xC2 && b0 <= 0xF4) {
      const size_t need = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
      uint32_t v = b0 & (0xFF >> (need + 1));
      size_t k = 1;
      for (; k < need && i + k < in.size() && (byte(i + k) & 0xC0) == 0x80; ++k) {
        v = (v << 6) | (byte(i + k) & 0x3F);
      }
      const uint32_t minimum = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
      if (k == need && v >= minimum && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        c = v;
        n = need;
      } else {
        n = k;
      }
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<OLECHAR>(0xD800 + (c >> 10)));
      out.push_back(static_cast<OLECHAR>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<OLECHAR>(c));
    }
    i += n;
  }
  return out;
}
