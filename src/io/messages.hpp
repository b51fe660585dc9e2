// The programs' own lines on the standard streams: each written whole, names printable, and the
// standard descriptors always open.
#pragma once

#include "io_error.hpp"

#include <cstddef>
#include <string>

namespace dofmap {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that no file the program
// opens later can take one of them (an image written to descriptor 2, say). Call first in main.
// Returns whether standard output was closed: what the program meant to print there is lost.
bool ensureStandardDescriptors();

// `name` with control characters and backslashes escaped, so that a file name can neither break a
// message into lines, drive the terminal nor turn the text around it: \n, \t, \\, \xHH for control
// bytes and for bytes that are not valid UTF-8, \u00HH for the C1 controls (U+0080 to U+009F) and
// \uHHHH for the bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069).
// Other valid UTF-8 (accented names) is kept as it is.
std::string printable(const std::string& name);

// The length in bytes (1 to 4) of the valid UTF-8 sequence that starts at text[at], with its code
// point in `codePoint`; 0 when the bytes there are not one (a stray continuation byte, a truncated
// or overlong sequence, a surrogate, a code point beyond U+10FFFF), as Python's strict decoder
// judges them.
std::size_t utf8Sequence(const std::string& text, std::size_t at, char32_t& codePoint);

// Appends `value` as the printf `format` (one conversion of an unsigned, at most 15 characters,
// such as "\\x%02x") writes it: the escapes of printable and of JSON strings.
void appendEscape(std::string& out, const char* format, unsigned value);

// Walks `text` as UTF-8 by utf8Sequence: calls stray(byte) for each byte that starts no valid
// sequence (and goes on at the next byte), and sequence(codePoint, at, length) for each valid one.
template <class Stray, class Sequence>
void walkUtf8(const std::string& text, Stray&& stray, Sequence&& sequence)
{
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = utf8Sequence(text, at, code);
        if (length == 0) {
            stray(static_cast<unsigned char>(text[at]));
            ++at;
            continue;
        }
        sequence(code, at, length);
        at += length;
    }
}

// Writes all `size` bytes at `data` to descriptor `fd`, retrying after interruptions and partial
// writes. Returns the system's failure when a write fails.
IoStatus writeAll(int fd, const void* data, std::size_t size);
IoStatus writeAll(int fd, const std::string& text);

// The reason for errno `error`: strerror's text, starting in lower case.
std::string reasonOf(int error);

// Writes `line` and a newline to the standard error stream in one write, so that lines of
// concurrent jobs never interleave. Failures are ignored: there is nowhere left to report them.
void reportLine(const std::string& line);

// Writes `text` as it is to the standard error stream in one write (progress lines that redraw
// themselves).
void reportText(const std::string& text);

// From now on, what the libraries write to descriptor 2 (libpng's and libtiff's lines, for example)
// goes to /dev/null, while reportLine still writes to the standard error stream. The programs call
// it once at start-up, before any thread: the decoders' failures reach the user as reasons instead.
void silenceLibraryOutput();

}  // namespace dofmap
