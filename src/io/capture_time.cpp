// When a photo was taken, as its file records it: the EXIF date and time of the original, with its
// fraction of a second and its offset from UTC where the camera wrote them.
#include "capture_time.hpp"

#include "exiv2_compat.hpp"
#include "exiv2_toolkit.hpp"
#include "heif_reader.hpp"
#include "raw_reader.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace dofmap {
namespace {

// The EXIF tags of the original's time, in the Exif directory: its date and time, the digits of
// its fraction of a second, and its offset from UTC.
constexpr std::uint16_t kDateTimeOriginal = 0x9003;
constexpr std::uint16_t kSubSecTimeOriginal = 0x9291;
constexpr std::uint16_t kOffsetTimeOriginal = 0x9011;
// The digits of a fraction that a nanosecond can still tell.
constexpr std::size_t kFractionDigits = 9;
// The widest offsets from UTC that clocks are set to (UTC-12:00 to UTC+14:00), with a margin.
constexpr int kLargestOffsetMinutes = 15 * 60;

// Days from 1970-01-01 to the date `year`-`month`-`day` of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// The seconds of a date and time on the clock, counted from 1970-01-01 00:00:00 on that clock;
// none when a field is out of its range (a leap second 60 is taken as 59).
std::optional<std::int64_t> clockSeconds(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + std::min(second, 59);
}

// `text` without NUL padding and surrounding spaces.
std::string trimmed(std::string text)
{
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The number of the `count` digits at `at` of `text`; none when they are not all digits.
std::optional<int> digitsAt(const std::string& text, std::size_t at, std::size_t count)
{
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isDigit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "YYYY:MM:DD HH:MM:SS" as EXIF writes it (also with dashes in the date, or a T between, as some
// programs write it). Blank fields, as cameras without a set clock write them, give none.
std::optional<CaptureTime> parseDateTime(const std::string& text)
{
    const std::string t = trimmed(text);
    if (t.size() != 19 || (t[4] != ':' && t[4] != '-') || t[7] != t[4] || (t[10] != ' ' && t[10] != 'T') ||
        t[13] != ':' || t[16] != ':')
        return std::nullopt;
    const std::optional<int> year = digitsAt(t, 0, 4), month = digitsAt(t, 5, 2), day = digitsAt(t, 8, 2),
                             hour = digitsAt(t, 11, 2), minute = digitsAt(t, 14, 2), second = digitsAt(t, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    const std::optional<std::int64_t> seconds = clockSeconds(*year, *month, *day, *hour, *minute, *second);
    if (!seconds) return std::nullopt;
    CaptureTime time;
    time.seconds = *seconds;
    return time;
}

// The fraction of SubSecTime: its digits are those after the decimal point ("345" is 0.345 s).
std::optional<std::int32_t> parseFraction(const std::string& text)
{
    const std::string t = trimmed(text);
    if (t.empty() || !std::all_of(t.begin(), t.end(), isDigit)) return std::nullopt;
    std::int32_t nanoseconds = 0;
    for (std::size_t i = 0; i < kFractionDigits; ++i) nanoseconds = nanoseconds * 10 + (i < t.size() ? t[i] - '0' : 0);
    return nanoseconds;
}

// OffsetTime's "+HH:MM" or "-HH:MM", in minutes.
std::optional<std::int32_t> parseOffset(const std::string& text)
{
    const std::string t = trimmed(text);
    if (t.size() != 6 || (t[0] != '+' && t[0] != '-') || t[3] != ':') return std::nullopt;
    const std::optional<int> hours = digitsAt(t, 1, 2), minutes = digitsAt(t, 4, 2);
    if (!hours || !minutes || *minutes > 59) return std::nullopt;
    const int offset = *hours * 60 + *minutes;
    if (offset > kLargestOffsetMinutes) return std::nullopt;
    return t[0] == '-' ? -offset : offset;
}

// The text of tag `tag` of the Exif directory in `exif`, empty when it has none.
std::string exifText(const Exiv2::ExifData& exif, std::uint16_t tag)
{
    const auto found = exif.findKey(Exiv2::ExifKey(tag, "Photo"));
    return found == exif.end() ? std::string() : found->toString();
}

// The time the TIFF structure `tiff` (from its byte order mark) records.
std::optional<CaptureTime> timeInTiff(const unsigned char* tiff, std::size_t size)
{
    if (size < 8 || size > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    std::string dateTime, subSeconds, offset;
    {
        const std::lock_guard<std::mutex> hold(exiv2Toolkit().lock);
        Exiv2::ExifData exif;
        Exiv2::ExifParser::decode(exif, tiff, std::uint32_t(size));
        dateTime = exifText(exif, kDateTimeOriginal);
        subSeconds = exifText(exif, kSubSecTimeOriginal);
        offset = exifText(exif, kOffsetTimeOriginal);
    }
    std::optional<CaptureTime> time = parseDateTime(dateTime);
    if (!time) return std::nullopt;
    time->nanoseconds = parseFraction(subSeconds).value_or(0);
    time->offsetMinutes = parseOffset(offset);
    return time;
}

// The TIFF structure of a JPEG file's EXIF segment (APP1, "Exif\0\0"), among the segments before
// its first scan; none when it has none.
std::optional<std::pair<const unsigned char*, std::size_t>> jpegExif(const unsigned char* data, std::size_t size)
{
    static const unsigned char kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
    std::size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return std::nullopt;
        const unsigned char marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        // Markers that stand alone: TEM, the restart markers, and SOI again.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            at += 2;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // the scan, or the end
        const std::size_t length = (std::size_t(data[at + 2]) << 8) | std::size_t(data[at + 3]);
        if (length < 2 || at + 2 + length > size) return std::nullopt;
        if (marker == 0xE1 && length >= 2 + sizeof kExifHeader &&
            std::memcmp(data + at + 4, kExifHeader, sizeof kExifHeader) == 0)
            return std::make_pair(data + at + 4 + sizeof kExifHeader, length - 2 - sizeof kExifHeader);
        at += 2 + length;
    }
    return std::nullopt;
}

// Whether `data` starts with a TIFF header of either byte order ("II*\0", "MM\0*").
bool startsAsTiff(const unsigned char* data, std::size_t size)
{
    return size >= 8 &&
        ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
         (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42));
}

using TimeRead = IoResult<std::optional<CaptureTime>>;

TimeRead readTime(const PhotoFile& file)
{
    const unsigned char* const data = file.content.data();
    const std::size_t size = file.content.size();
    switch (file.format) {
    case PhotoFormat::jpeg: {
        const auto exif = jpegExif(data, size);
        return exif ? timeInTiff(exif->first, exif->second) : std::optional<CaptureTime>();
    }
    case PhotoFormat::tiff:
        return timeInTiff(data, size);
    case PhotoFormat::heif: {
        const IoResult<std::vector<unsigned char>> exif = readHeifExif(data, size);
        if (!exif) return exif.error();
        return timeInTiff(exif.value().data(), exif.value().size());
    }
    case PhotoFormat::raw: {
        if (startsAsTiff(data, size)) {
            const std::optional<CaptureTime> time = timeInTiff(data, size);
            if (time) return time;
        }
        const IoResult<std::optional<std::tm>> read = readRawDateTime(data, size);
        if (!read) return read.error();
        const std::optional<std::tm>& clock = read.value();
        if (!clock) return std::optional<CaptureTime>();
        const std::optional<std::int64_t> seconds = clockSeconds(
            clock->tm_year + 1900, clock->tm_mon + 1, clock->tm_mday, clock->tm_hour, clock->tm_min, clock->tm_sec);
        if (!seconds) return std::optional<CaptureTime>();
        CaptureTime time;
        time.seconds = *seconds;
        return std::optional<CaptureTime>(time);
    }
    default:
        return std::optional<CaptureTime>();
    }
}

}  // namespace

double secondsBetween(const CaptureTime& from, const CaptureTime& to)
{
    std::int64_t seconds = to.seconds - from.seconds;
    if (from.offsetMinutes && to.offsetMinutes) seconds -= std::int64_t(*to.offsetMinutes - *from.offsetMinutes) * 60;
    return double(seconds) + double(to.nanoseconds - from.nanoseconds) * 1e-9;
}

IoResult<std::optional<CaptureTime>> readCaptureTime(const PhotoFile& file)
{
    return withMemoryGuard([&]() -> TimeRead {
        try {
            return readTime(file);
        } catch (const std::bad_alloc&) {
            throw;  // for the guard
        } catch (const Exiv2::AnyError& error) {
            return exiv2Failure(error.code(), IoReason::truncated);
        } catch (const std::exception&) {
            // Other errors from within Exiv2's decoding of a malformed EXIF structure.
            return failure(IoReason::truncated);
        }
    });
}

}  // namespace dofmap
