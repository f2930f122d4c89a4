// Text output of the sample host: whole lines, safe from any thread, non-ASCII paths included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sample_host {

// Writes the line and a line end to standard output (or standard error): through the console's
// wide output when the stream is a console, else as UTF-8. Lines from different threads never mix.
void PrintLine(std::wstring_view text);
void PrintErrorLine(std::wstring_view text);

// "0x80070002": how HRESULTs are shown.
std::wstring HexText(std::uint32_t value);

// Text the library hands out as bytes (its version): each byte is the character of the same code.
std::wstring WidenBytes(std::string_view bytes);

}  // namespace sample_host
