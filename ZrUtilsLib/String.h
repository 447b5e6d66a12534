#pragma once

#include <string>

namespace ZrUtilsLib {

// Text held in a narrow and a wide form; the form last written is authoritative and the
// other one is converted on first request and cached (hence the mutable members).
class String {
public:
    String();
    String(const char* s);  // NOLINT: implicit, texts pass freely as String
    String(const char* s, unsigned int n);
    String(const wchar_t* s);  // NOLINT
    String(const wchar_t* s, unsigned int n);
    explicit String(char c);
    explicit String(wchar_t c);
    String(const String& other);
    String(const String& other, unsigned int start);
    String(const String& other, unsigned int start, unsigned int count);
    virtual ~String();

    const char* GetAscii() const;
    operator const char*() const { return GetAscii(); }
    const wchar_t* GetUnicode() const;
    operator const wchar_t*() const { return GetUnicode(); }

    unsigned int GetLength() const;
    bool IsEmpty() const;

    bool operator==(const String& other) const;
    bool operator!=(const String& other) const { return !(*this == other); }
    bool operator<(const String& other) const;

    String& operator=(const String& other);
    String& operator+=(const String& other);
    void Append(const String& other);
    void Insert(unsigned int pos, const String& other);
    void Clear();

    std::string ToUpper() const;
    std::string ToLower() const;
    std::string ExpandEnvironmentVariables() const;

    void MakeAsciiValid() const;
    void MakeUnicodeValid() const;

private:
    mutable bool mAsciiValid;
    mutable bool mUnicodeValid;
    mutable std::string mAscii;
    mutable std::wstring mUnicode;
};

}  // namespace ZrUtilsLib
