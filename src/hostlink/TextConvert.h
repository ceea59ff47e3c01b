// Conversions between UTF-16 and the process's ANSI code page, as the host and ANSI plug-ins use.
#pragma once

#include <string>

std::wstring AnsiToWide(const std::string &text);
std::string WideToAnsi(const std::wstring &text);
