#include "ZrUtilsLib/String.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

namespace ZrUtilsLib {

namespace {

constexpr size_t kStackConversionSize = 4096;

// Converts up to the first character the locale cannot convert; the result is always a
// complete, terminated text (the conversion functions leave it unterminated otherwise).
std::string NarrowFromWide(const std::wstring& wide) {
    const size_t capacity =
        wide.size() < kStackConversionSize ? kStackConversionSize : wide.size() * MB_CUR_MAX + 1;
    char stackBuffer[kStackConversionSize] = {};
    std::unique_ptr<char[]> heapBuffer;
    char* out = stackBuffer;
    if (capacity > kStackConversionSize) {
        heapBuffer.reset(new char[capacity]);
        out = heapBuffer.get();
    }
    std::mbstate_t state{};
    size_t written = 0;
    for (wchar_t wc : wide) {
        if (wc == L'\0') {
            break;
        }
        char multibyte[MB_LEN_MAX];
        const size_t n = std::wcrtomb(multibyte, wc, &state);
        if (n == static_cast<size_t>(-1) || written + n >= capacity) {
            break;
        }
        std::memcpy(out + written, multibyte, n);
        written += n;
    }
    return std::string(out, written);
}

std::wstring WideFromNarrow(const std::string& narrow) {
    const size_t capacity =
        narrow.size() < kStackConversionSize ? kStackConversionSize : narrow.size() + 1;
    wchar_t stackBuffer[kStackConversionSize] = {};
    std::unique_ptr<wchar_t[]> heapBuffer;
    wchar_t* out = stackBuffer;
    if (capacity > kStackConversionSize) {
        heapBuffer.reset(new wchar_t[capacity]);
        out = heapBuffer.get();
    }
    std::mbstate_t state{};
    const char* source = narrow.c_str();
    const char* end = source + std::strlen(source);
    size_t written = 0;
    while (source < end && written + 1 < capacity) {
        wchar_t wc;
        const size_t n = std::mbrtowc(&wc, source, end - source, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            break;
        }
        out[written++] = wc;
        source += n;
    }
    return std::wstring(out, written);
}

}  // namespace

String::String() : mAsciiValid(false), mUnicodeValid(false) {}

String::String(const char* s) : mAsciiValid(true), mUnicodeValid(false) {
    if (s != nullptr) {
        mAscii = s;
    }
}

String::String(const char* s, unsigned int n) : mAsciiValid(true), mUnicodeValid(false), mAscii(s) {
    mAscii.resize(n);
}

String::String(const wchar_t* s) : mAsciiValid(false), mUnicodeValid(true) {
    if (s != nullptr) {
        mUnicode = s;
    }
}

String::String(const wchar_t* s, unsigned int n)
    : mAsciiValid(false), mUnicodeValid(true), mUnicode(s) {
    mUnicode.resize(n);
}

String::String(char c) : mAsciiValid(true), mUnicodeValid(false), mAscii(1, c) {}

String::String(wchar_t c) : mAsciiValid(false), mUnicodeValid(true), mUnicode(1, c) {}

String::String(const String& other)
    : mAsciiValid(false), mUnicodeValid(true), mUnicode(other.GetUnicode()) {}

String::String(const String& other, unsigned int start) : mAsciiValid(false), mUnicodeValid(true) {
    other.MakeUnicodeValid();
    mUnicode = other.mUnicode.substr(start);
}

String::String(const String& other, unsigned int start, unsigned int count)
    : mAsciiValid(false), mUnicodeValid(true) {
    other.MakeUnicodeValid();
    mUnicode = other.mUnicode.substr(start, count);
    mUnicode.resize(count);
}

String::~String() = default;

const char* String::GetAscii() const {
    MakeAsciiValid();
    return mAscii.c_str();
}

const wchar_t* String::GetUnicode() const {
    MakeUnicodeValid();
    return mUnicode.c_str();
}

unsigned int String::GetLength() const {
    if (mAsciiValid) {
        return static_cast<unsigned int>(mAscii.size());
    }
    if (mUnicodeValid) {
        return static_cast<unsigned int>(mUnicode.size());
    }
    return 0;
}

bool String::IsEmpty() const {
    if (mAsciiValid && !mAscii.empty()) {
        return false;
    }
    if (!mUnicodeValid) {
        return true;
    }
    return mUnicode.empty();
}

bool String::operator==(const String& other) const {
    return std::strcmp(GetAscii(), other.GetAscii()) == 0;
}

bool String::operator<(const String& other) const {
    return std::strcmp(GetAscii(), other.GetAscii()) < 0;
}

String& String::operator=(const String& other) {
    if (this != &other) {
        mUnicode = other.GetUnicode();
        mAsciiValid = false;
        mUnicodeValid = true;
    }
    return *this;
}

String& String::operator+=(const String& other) {
    Append(other);
    return *this;
}

void String::Append(const String& other) {
    MakeUnicodeValid();
    const std::wstring tail = other.GetUnicode();  // copy: `other` may be *this
    mUnicode += tail;
    mUnicodeValid = true;
    mAsciiValid = false;
}

void String::Insert(unsigned int pos, const String& other) {
    MakeUnicodeValid();
    const std::wstring inserted = other.GetUnicode();
    mUnicode.insert(pos, inserted);  // throws std::out_of_range before changing anything
    mUnicodeValid = true;
    mAsciiValid = false;
}

void String::Clear() {
    mAscii.clear();
    mUnicode.clear();
    mAsciiValid = true;
    mUnicodeValid = true;
}

std::string String::ToUpper() const {
    std::string text = GetAscii();
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string String::ToLower() const {
    std::string text = GetAscii();
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string String::ExpandEnvironmentVariables() const {
    std::string text = GetAscii();
    const size_t open = text.find('%');
    if (open == std::string::npos) {
        return std::string();
    }
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
        return std::string();
    }
    const std::string name = text.substr(open + 1, close - open - 1);
    const char* value = std::getenv(name.c_str());
    if (value != nullptr) {
        text.replace(open, close - open + 1, value);
    }
    return text;
}

void String::MakeAsciiValid() const {
    if (mAsciiValid || !mUnicodeValid) {
        return;
    }
    mAscii = NarrowFromWide(mUnicode);
    mAsciiValid = true;
}

void String::MakeUnicodeValid() const {
    if (mUnicodeValid || !mAsciiValid) {
        return;
    }
    mUnicode = WideFromNarrow(mAscii);
    mUnicodeValid = true;
}

}  // namespace ZrUtilsLib
