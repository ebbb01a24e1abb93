// The .reg text format of `kelmyr reg export` and `import`, as the Windows
// registry editor writes it ("Windows Registry Editor Version 5.00"):
//
//   [HKEY_LOCAL_MACHINE\Software\Orvane\Kelmyr]     a key (created on import)
//   [-HKEY_LOCAL_MACHINE\Software\Old]              a key deleted with its tree
//   "Name"="text"                                   REG_SZ
//   @="text"                                        the default value
//   "Name"=dword:0000000f                           REG_DWORD
//   "Name"=hex:01,02                                REG_BINARY
//   "Name"=hex(b):01,00,00,00,00,00,00,00           any type by number
//   "Name"=-                                        a value deleted
//
// A list of bytes may continue over lines ending in "\"; lines starting with
// ";" are comments. Exported files are UTF-16LE with a byte-order mark and
// CRLF line ends, as the Windows editor writes them; imports also take
// UTF-8 (with or without a mark), LF line ends and the older "REGEDIT4"
// header. A value is written in text form only when that form gives back
// exactly its bytes; anything else is written as hex, so an export imports
// to the same bytes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

using RegText = std::basic_string<WCHAR>;
using RegBytes = std::vector<BYTE>;

struct SRegFileValue {
  RegText name;  // empty: the default value
  bool bDelete = false;
  DWORD dwType = REG_NONE;
  RegBytes data;
};

struct SRegFileKey {
  RegText path;  // as written, starting with the root's name
  bool bDelete = false;
  int iLine = 0;
  std::vector<SRegFileValue> values;
};

// File bytes to text: UTF-16LE when the file starts with its mark (false
// for an odd length), otherwise UTF-8 (malformed bytes become U+FFFD).
bool DecodeRegFile(const std::string& bytes, RegText* pText, std::string* pError);
// Text to the bytes of an exported file (UTF-16LE with mark).
std::string EncodeRegFile(const RegText& text);

// Parses a whole file; on the first error, false with a message naming the
// line, and nothing in pKeys is to be applied.
bool ParseRegText(const RegText& text, std::vector<SRegFileKey>* pKeys, std::string* pError);

// The header line and blank line an export starts with.
RegText RegFileHeader();
// One key's section: "[path]", its value lines, a blank line (CRLF ends).
RegText FormatRegKeyLine(const RegText& path);
RegText FormatRegValueLine(const RegText& name, DWORD dwType, const RegBytes& data);
