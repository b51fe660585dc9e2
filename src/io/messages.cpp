// The programs' own lines on the standard streams: each written whole, names printable, and the
// standard descriptors always open.
#include "messages.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dofmap {

bool ensureStandardDescriptors()
{
    bool outputClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        outputClosed |= fd == STDOUT_FILENO;
        // open() returns the lowest free descriptor: this one.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
    return outputClosed;
}

namespace {

// Code points that reorder or hide the text around them when a terminal shows them: the C1
// controls (U+009B starts a terminal sequence as ESC [ does) and the bidirectional controls.
bool isInvisibleControl(char32_t code)
{
    return (code >= 0x80 && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f ||
        (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::size_t utf8Sequence(const std::string& text, std::size_t at, char32_t& codePoint)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(at);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    // The lead bytes of two-, three- and four-byte sequences; 0xc0 and 0xc1 could only start
    // overlong ones, 0xf5 and above code points beyond U+10FFFF.
    std::size_t length = 0;
    char32_t least = 0;  // the smallest code point of that length: below it, an overlong sequence
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        least = 0x10000;
    } else {
        return 0;
    }
    char32_t value = lead & (0x7fu >> length);  // the lead byte's bits of the code point
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byteAt(at + i);
        if ((next & 0xc0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3f);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
    codePoint = value;
    return length;
}

void appendEscape(std::string& out, const char* format, unsigned value)
{
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, format, value);
    out += escaped;
}

std::string printable(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    const auto escape = [&out](const char* format, unsigned value) { appendEscape(out, format, value); };
    walkUtf8(
        name, [&](unsigned char byte) { escape("\\x%02x", byte); },
        [&](char32_t code, std::size_t at, std::size_t length) {
            if (code == '\\') {
                out += "\\\\";
            } else if (code == '\n') {
                out += "\\n";
            } else if (code == '\t') {
                out += "\\t";
            } else if (code < 0x20 || code == 0x7f) {
                escape("\\x%02x", unsigned(code));
            } else if (isInvisibleControl(code)) {
                escape("\\u%04x", unsigned(code));
            } else {
                out.append(name, at, length);
            }
        });
    return out;
}

std::string reasonOf(int error)
{
    char buffer[256];
    // The GNU strerror_r, which returns the text (in `buffer` or a static string).
    std::string text = ::strerror_r(error, buffer, sizeof buffer);
    if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

IoStatus writeAll(int fd, const std::string& text)
{
    return writeAll(fd, text.data(), text.size());
}

IoStatus writeAll(int fd, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, bytes + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return systemFailure(errno);
        }
        done += std::size_t(wrote);
    }
    return {};
}

namespace {

// Where reportLine writes: the standard error stream, or its copy once library output is silenced.
int messageDescriptor = STDERR_FILENO;

}  // namespace

void reportLine(const std::string& line)
{
    reportText(line + '\n');
}

void reportText(const std::string& text)
{
    writeAll(messageDescriptor, text);
}

void silenceLibraryOutput()
{
    const int copy = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (copy < 0 || null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
        if (copy >= 0) ::close(copy);
        if (null >= 0) ::close(null);
        return;
    }
    ::close(null);
    messageDescriptor = copy;
}

}  // namespace dofmap
