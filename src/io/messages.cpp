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

std::string printable(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
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

std::string writeAll(int fd, const std::string& text)
{
    return writeAll(fd, text.data(), text.size());
}

std::string writeAll(int fd, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, bytes + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return reasonOf(errno);
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
