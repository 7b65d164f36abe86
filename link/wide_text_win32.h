// Text inside the programs is UTF-8; the Windows API's is UTF-16. These
// convert between the two for the wide calls (file and port names, the
// system's messages, the console).
#pragma once

#include <cstddef>
#include <string>

// Text that is not valid UTF-8 (bytes from an ANSI call) is read in the
// ANSI code page instead, so that nothing turns into replacement marks.
std::wstring utf16_from_utf8(const std::string& text);
std::string utf8_from_utf16(const wchar_t* text, std::size_t length);
std::string utf8_from_utf16(const wchar_t* text);
