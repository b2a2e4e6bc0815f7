// Conversions between wide-character strings and UTF-8, for the Linux backend,
// which hands names to byte-oriented system calls. wchar_t holds UTF-32 there, one
// code point a character; the Windows backend passes wide names to the system as
// they are and does not include this header.
//
// A Linux name is a string of bytes, not always valid UTF-8, and it must reach
// the system call exactly as the user gave it: otherwise "-calibfile" could
// open another file than the one named. So every byte that is not part of a
// valid sequence is carried as the lone surrogate U+DC80..U+DCFF and turned
// back into that byte on the way out; decoding and encoding again gives the
// original bytes. Anything else that UTF-8 cannot hold (another lone
// surrogate, a value above U+10FFFF) becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wide_utf8 {

static_assert(sizeof(wchar_t) == 4, "a wide character holds a whole code point");

constexpr uint32_t kEscapedByteBase = 0xDC00;

inline bool IsEscapedByte(uint32_t cp) {
    return cp >= kEscapedByteBase + 0x80 && cp <= kEscapedByteBase + 0xFF;
}

// A caller's fixed buffer that takes characters as a std::string does, for the
// paths that must not allocate. It keeps a terminator after what it holds; what
// does not fit is dropped and marks the text as cut short.
template <typename Char>
struct FixedText {
    Char* data;
    size_t capacity;  // in characters, the terminator included
    size_t size = 0;
    bool overflow = false;

    FixedText(Char* buffer, size_t bufferCapacity) : data(buffer), capacity(bufferCapacity) {
        if (capacity > 0) {
            data[0] = 0;
        }
    }
    FixedText& operator+=(Char c) {
        if (size + 1 < capacity) {
            data[size++] = c;
            data[size] = 0;
        } else {
            overflow = true;
        }
        return *this;
    }
};

template <typename Out>
void AppendUtf8(Out& out, uint32_t cp) {
    if (IsEscapedByte(cp)) {
        out += static_cast<char>(cp - kEscapedByteBase);
        return;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

template <typename Out>
void AppendWide(Out& out, uint32_t cp) {
    out += static_cast<wchar_t>(cp);
}

template <typename Out>
void EncodeUtf8(const wchar_t* text, Out& out) {
    if (text == nullptr) {
        return;
    }
    for (size_t i = 0; text[i] != L'\0'; ++i) {
        AppendUtf8(out, static_cast<uint32_t>(text[i]));
    }
}

inline std::string ToUtf8(const wchar_t* text) {
    std::string out;
    EncodeUtf8(text, out);
    return out;
}

// The same into a caller's buffer of capacity bytes; false (and the text cut
// short) when it does not fit.
inline bool ToUtf8(const wchar_t* text, char* buffer, size_t capacity) {
    FixedText<char> out(buffer, capacity);
    EncodeUtf8(text, out);
    return !out.overflow && capacity > 0;
}

// Decodes bytes [text, text + length) as UTF-8.
template <typename Out>
void DecodeUtf8(const char* text, size_t length, Out& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = s[i];
        uint32_t cp = 0;
        size_t extra = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            AppendWide(out, kEscapedByteBase + lead);
            ++i;
            continue;
        }
        size_t taken = 1;
        bool valid = true;
        for (; taken <= extra; ++taken) {
            if (i + taken >= length || (s[i + taken] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (s[i + taken] & 0x3F);
        }
        if (!valid || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // Only the lead byte is escaped: the bytes after it are read
            // again, as the start of a sequence or escaped in their turn.
            AppendWide(out, kEscapedByteBase + lead);
            ++i;
            continue;
        }
        AppendWide(out, cp);
        i += taken;
    }
}

inline std::wstring FromUtf8(const char* text, size_t length) {
    std::wstring out;
    DecodeUtf8(text, length, out);
    return out;
}

// The same into a caller's buffer of capacity characters; false (and the text cut
// short) when it does not fit.
inline bool FromUtf8(const char* text, size_t length, wchar_t* buffer, size_t capacity) {
    FixedText<wchar_t> out(buffer, capacity);
    DecodeUtf8(text, length, out);
    return !out.overflow && capacity > 0;
}

inline std::wstring FromUtf8(const std::string& text) {
    return FromUtf8(text.data(), text.size());
}

}  // namespace wide_utf8
