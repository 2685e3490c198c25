#ifndef QK_STRINGS_CQKSTRING_H_
#define QK_STRINGS_CQKSTRING_H_

#include <cstdarg>

#include "containers/CQKBuffer.h"

// The system's one string type: an owned, zero-terminated buffer of UTF-8
// bytes. Lengths and positions are in bytes unless a name says characters;
// operations that cut text never leave a partial UTF-8 character behind.
//
// Text that arrives as a plain char pointer is taken unchanged when it is
// well-formed UTF-8, else converted from Windows-1252 when it holds a byte
// Windows-1252 defines in 0x80-0x9F, else from Latin-1. SetFromUTF8 takes
// bytes as they are, with no validation.
//
// Growth is exact-fit (CQKGrowString adds a reserve). Out of memory raises
// std::bad_alloc from CQKBuffer::ReAlloc and leaves the string as it was.
class CQKString : public CQKBuffer {
 public:
  // Encoding of the text given to the CQKString(ConstructorType, ...) form.
  enum ConstructorType {
    kLatin1 = 1,
    kUTF8 = 2,
    kLocal8Bit = 3,
    kASCII = 4,
    kWindows1252 = 5
  };

  static const CQKString kEmptyString;
  static const unsigned short kMaxLenOfULongAsStr;
  static const unsigned short kMaxLenOfInt16AsStr;
  static const unsigned short kMaxLenOfInt32AsStr;

  // Constant-initialised, so kEmptyString is usable by other units' static
  // objects whatever the order of their initialisation.
  constexpr CQKString() noexcept {}
  CQKString(const char* text);  // NOLINT: implicit by design
  explicit CQKString(char c);
  explicit CQKString(int value);
  explicit CQKString(short value);
  explicit CQKString(unsigned int value);
  explicit CQKString(unsigned short value);
  explicit CQKString(long value);
  explicit CQKString(unsigned long value);
  explicit CQKString(long long value);
  explicit CQKString(unsigned long long value);
  // `length` of 0xFFFFFFFF means strlen(text).
  CQKString(ConstructorType type, const char* text, unsigned int length);
  CQKString(const CQKString& other);
  CQKString(CQKString&& other) noexcept;
  ~CQKString() override;

  CQKString& operator=(const CQKString& other);
  CQKString& operator=(CQKString&& other);
  CQKString& operator=(const char* text);
  CQKString& operator=(int value);
  CQKString& operator=(short value);
  CQKString& operator=(unsigned int value);
  CQKString& operator=(unsigned short value);
  CQKString& operator=(long value);
  CQKString& operator=(unsigned long value);
  CQKString& operator=(long long value);
  CQKString& operator=(unsigned long long value);

  // Takes over other's buffer, cache, flags and length; other becomes empty
  // without a buffer. Does nothing when other is this string.
  void StealCQKStringFromCQKString(CQKString& other);

  // CQKBuffer slots.
  void ClearBuffer() override;
  void FreeBuffer() override;
  unsigned int GetLength() const override;
  bool GrowTo(unsigned int size, bool keepContents) override;

  // --- Setting from UTF-8 (bytes taken as they are) ---
  void SetFromUTF8WithLength(const unsigned char* text, unsigned int n);
  void SetFromUTF8(const unsigned char* text, unsigned int maxBytes);
  void SetFromUTF8(const unsigned char* text);
  void SetFromUTF8(const char* text) {
    SetFromUTF8(reinterpret_cast<const unsigned char*>(text));
  }
  void InitializeFromUTF8(const unsigned char* text, unsigned int n);
  static unsigned int strnlenCompat(const char* text, unsigned int maxBytes);

  // --- Conversions into UTF-8 ---
  void SetFromLatin1(const char* text, unsigned int length);
  void SetFromLatin1(const char* text);
  void InitializeFromLatin1(const char* text, unsigned int length);
  void SetFromWindows1252(const char* text, unsigned int length);
  void SetFromWindows1252(const char* text);
  void InitializeFromWindows1252(const char* text, unsigned int length);
  void SetFromUCS2(const unsigned short* units, unsigned int count,
                   bool swapBytes);
  void SetFromUCS2(const unsigned short* units);
  void SetFromUTF32(const unsigned int* codePoints, unsigned int count);
  void SetFromUTF32(const unsigned int* codePoints);
  void SetFromLocal8Bit(const char* text, unsigned int length);
  void InitializeFromLocal8Bit(const char* text, unsigned int length);

  // --- Validity and guessing ---
  static bool IsLegalUTF8Sequence(const unsigned char* bytes,
                                  unsigned int length);
  static bool IsLegalUTF8String(const unsigned char* text,
                                unsigned int length);
  static bool IsLegalUTF8String(const unsigned char* text);
  static bool IsProbableWindows1252String(const char* text);
  static bool IsProbableWindows1252String(const char* text,
                                          unsigned int length);
  // Decodes one character into a UCS-2 unit; returns the bytes it occupies,
  // or -1 (with 0xFFFD stored) when the bytes are not one well-formed
  // sequence within `available`.
  static int UTF8CharToUCS2Char(const unsigned char* bytes,
                                unsigned int available, unsigned short* out);

  // --- Emptying ---
  void Empty(unsigned int reserve = 0);
  void FreeString();

  // --- Appending ---
  void AppendUTF8(const unsigned char* text);
  void Append(const CQKString& other);
  void Append(const CQKString* other);
  void Append(const char* text);
  void Append(char c);
  void AppendLatin1(const char* text);
  void AppendWindows1252(const char* text);
  CQKString& operator+=(const CQKString& other);
  CQKString& operator+=(const CQKString* other);
  CQKString& operator+=(char c);
  CQKString& operator+=(const unsigned char* text);
  CQKString& operator+=(const char* text);
  CQKString& operator+=(int value);
  CQKString& operator+=(short value);
  CQKString& operator+=(unsigned int value);
  CQKString& operator+=(unsigned short value);
  CQKString& operator+=(long value);
  CQKString& operator+=(unsigned long value);
  CQKString& operator+=(long long value);
  CQKString& operator+=(unsigned long long value);

  // --- Access ---
  // The text, or "" when there is no buffer.
  const char* GetSafeStringPtr() const;
  unsigned int GetCharLength() const;
  static unsigned int CalculateCharLength(const unsigned char* text);
  char operator[](int index) const;
  char operator[](short index) const;
  char operator[](unsigned int index) const;

  // --- Substrings (byte positions; cuts move forward to whole characters) ---
  void GetSubStrInto(CQKString& dest, unsigned int start, unsigned int count,
                     bool toEnd) const;
  CQKString Mid(int start, int count) const;
  CQKString Left(int count) const;
  CQKString Right(int count) const;

  // --- Truncating and trimming ---
  bool TruncateAfterByte(unsigned int n);
  void TrimRightAscii(const char* set);
  bool AppendDirSeperatorIfNotPresent();

  // --- Case, comparison, search ---
  void MakeUpper();
  static int CompareUTF8Buffers(const unsigned char* a, const unsigned char* b,
                                int count, bool ignoreCase, unsigned int sizeA,
                                unsigned int sizeB);
  int Compare(const CQKString& other, bool ignoreCase) const;
  int Compare(const unsigned char* text, bool ignoreCase) const;
  int Compare(const char* text, bool ignoreCase) const;
  bool EndsWith(const CQKString& suffix, bool ignoreCase) const;
  bool InStrReverse(char c, unsigned int* index, bool flag) const;

  // --- Formatting ---
  // Sets the string to the printf-style formatting; returns vsnprintf's count.
  int SafeFormat(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // Bytes that formatting `format` with `args` needs, terminator excluded.
  // `args` is consumed.
  static unsigned int CalculateByteLengthForFormat(const char* format,
                                                   va_list args);
  static unsigned short GetMaxCharsNeededForRange(unsigned long long a,
                                                  unsigned long long b);

 protected:
  // Deletes the conversion cache and clears its flag bits.
  void DiscardCache();
  // The body of the ConstructorType constructors; runs after the object's
  // own GrowTo is in place, so CQKGrowString gets its reserve.
  void Initialize(ConstructorType type, const char* text, unsigned int length);

  unsigned int length_ = 0;
  unsigned short flags_ = 0;
  // Converted copy of the text in another encoding. Nothing in this program
  // fills it; every change to the text discards it.
  class ConversionCache {
   public:
    virtual ~ConversionCache() = default;
  };
  ConversionCache* cache_ = nullptr;

 private:
  // Writes the UTF-8 pieces a source yields, growing where a writer that
  // grows on the way would, but all before the first byte is written.
  template <typename Source>
  void ConvertFrom(unsigned long long initialSize, Source source);
  // Prints a number into the buffer, grown to at least `room` bytes.
  template <typename T>
  void PrintNumber(const char* format, T value, unsigned int room);
  // Appends bytes known not to lie in this string's buffer.
  void AppendBytes(const unsigned char* bytes, unsigned int n);
};

// A CQKString that grows with a reserve, for text assembled piece by piece.
class CQKGrowString : public CQKString {
 public:
  static const unsigned int kDefaultGrowSize = 512;

  CQKGrowString();
  explicit CQKGrowString(const CQKString& other);
  CQKGrowString(const CQKGrowString& other);
  CQKGrowString(CQKGrowString&& other) noexcept;
  CQKGrowString(ConstructorType type, const char* text, unsigned int length);

  CQKGrowString& operator=(const CQKGrowString& other);
  using CQKString::operator=;

  bool GrowTo(unsigned int size, bool keepContents) override;

 private:
  unsigned int growSize_;
};

#endif  // QK_STRINGS_CQKSTRING_H_
