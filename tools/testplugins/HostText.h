// Text as input plug-ins exchange it with the host: file names arrive wide or in the ANSI code
// page depending on the record's version, titles and answers go back the same way.
#pragma once

#include <string>
#include <string_view>

namespace plugkit {

std::wstring AnsiToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
std::string WideToUtf8(std::wstring_view text);

// A name the host passed: wide when the plug-in is a Unicode one, ANSI otherwise. Null is empty.
std::wstring NameFromHost(const void *name, bool unicode);

// The name after the last '\' or '/', and that without its last extension.
std::wstring_view BaseName(std::wstring_view fileName);
std::wstring_view TitleOf(std::wstring_view fileName);

// Copies text into a host buffer of capacity characters, cut to fit and always terminated.
// Nothing is written when the buffer is null or has no room.
void CopyOut(std::wstring_view text, wchar_t *dest, int capacity);
void CopyOut(std::wstring_view text, char *dest, int capacity);
void CopyOut(std::wstring_view text, void *dest, int capacity, bool unicode);

} // namespace plugkit
