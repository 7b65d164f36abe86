#include "link/wide_text_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>

std::wstring utf16_from_utf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    UINT code_page = CP_UTF8;
    int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, NULL, 0);
    if (length == 0) {
        code_page = CP_ACP;
        length = MultiByteToWideChar(code_page, 0, text.data(), size, NULL, 0);
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), size, &wide[0], length);
    return wide;
}

std::string utf8_from_utf16(const wchar_t* text, std::size_t length) {
    if (length == 0) return std::string();
    const int size = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, NULL, 0, NULL, NULL);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, &narrow[0], bytes, NULL, NULL);
    return narrow;
}

std::string utf8_from_utf16(const wchar_t* text) { return utf8_from_utf16(text, std::wcslen(text)); }
