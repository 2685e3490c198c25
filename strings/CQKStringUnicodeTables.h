#ifndef QK_STRINGS_CQKSTRINGUNICODETABLES_H_
#define QK_STRINGS_CQKSTRINGUNICODETABLES_H_

// Character categories and simple case pairs of the Basic Multilingual Plane,
// generated from the Unicode 3.2 character database by
// tools/gen_unicode_tables.py (never edit the generated .cpp by hand).
//
// Both tables are two-level: entries 0-255 map a code unit's high byte to a
// page, and page p holds its 256 entries at p * 256.
class CQKStringUnicodeTables {
 public:
  // General categories, as stored in unicode_info.
  enum Category {
    kNone = 0,
    kUppercaseLetter = 15,  // Lu
    kLowercaseLetter = 16,  // Ll
  };

  static const unsigned int kUnicodeInfoSize = 256 + 54 * 256;
  static const unsigned int kCaseInfoSize = 256 + 11 * 256;

  // Page index, then category pages (numbered from 1; shared when equal).
  static const unsigned char unicode_info[kUnicodeInfoSize];
  // Page index (0: no mapping for that high byte), then pages whose entries
  // hold the code point of the other case, or 0.
  static const unsigned short case_info[kCaseInfoSize];

  static unsigned char GetCategory(unsigned short c) {
    return unicode_info[unicode_info[c >> 8] * 256 + (c & 0xFF)];
  }
  // The other case of c, or 0 when it has none.
  static unsigned short GetOtherCase(unsigned short c) {
    unsigned short page = case_info[c >> 8];
    return page == 0 ? 0 : case_info[page * 256 + (c & 0xFF)];
  }
};

#endif  // QK_STRINGS_CQKSTRINGUNICODETABLES_H_
