#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace camsim {

namespace {

// Whole-string decimal integer; strtol alone accepts "12abc" and empty input.
bool parseInt(const std::string &text, long min, long max, long *value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *value = v;
    return true;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

bool fail(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace

bool parseTilt(const std::string &text, Options &options, std::string *error)
{
    Options parsed = options;
    if (text == "none") {
        parsed.tilt = Tilt::None;
    } else if (text == "sweep") {
        parsed.tilt = Tilt::AngleSweep;
    } else if (text == "type6-sweep") {
        parsed.tilt = Tilt::ReadingsSweep;
    } else if (text == "type6-zero") {
        parsed.tilt = Tilt::ReadingsZero;
    } else if (text == "unknown") {
        parsed.tilt = Tilt::UnknownType;
    } else if (text == "no-tag") {
        parsed.tilt = Tilt::NoTag;
    } else if (text.rfind("angle:", 0) == 0) {
        long angle = 0;
        if (!parseInt(text.substr(6), 0, 65535, &angle))
            return fail(error, "angle must be 0..65535: " + text);
        parsed.tilt = Tilt::Angle;
        parsed.angle = static_cast<int>(angle);
    } else if (text.rfind("type6:", 0) == 0) {
        const auto parts = split(text.substr(6), ',');
        long v[3] = {};
        if (parts.size() != 3 || !parseInt(parts[0], 0, 4095, &v[0])
            || !parseInt(parts[1], 0, 4095, &v[1]) || !parseInt(parts[2], 0, 4095, &v[2]))
            return fail(error, "type6 needs three readings 0..4095: " + text);
        parsed.tilt = Tilt::Readings;
        parsed.readings = {int(v[0]), int(v[1]), int(v[2])};
    } else {
        return fail(error, "unknown tilt: " + text);
    }
    options = parsed;
    return true;
}

bool parseSize(const std::string &text, Options &options, std::string *error)
{
    const auto parts = split(text, 'x');
    long w = 0, h = 0;
    if (parts.size() != 2 || !parseInt(parts[0], 64, 2040, &w) || !parseInt(parts[1], 64, 2040, &h)
        || w % 8 != 0 || h % 8 != 0)
        return fail(error, "size must be WxH, multiples of 8 from 64 to 2040: " + text);
    options.width = static_cast<int>(w);
    options.height = static_cast<int>(h);
    return true;
}

std::string validate(const Options &o)
{
    if (o.port < 0 || o.port > 65535)
        return "port must be 0..65535";
    if (o.path.empty() || o.path[0] != '/')
        return "path must start with /";
    if (o.width < 64 || o.width > 2040 || o.width % 8 != 0 || o.height < 64 || o.height > 2040
        || o.height % 8 != 0)
        return "width and height must be multiples of 8 from 64 to 2040";
    if (o.fps < 1 || o.fps > 240)
        return "fps must be 1..240";
    if (o.quality < 1 || o.quality > 100)
        return "quality must be 1..100";
    if (o.angle < 0 || o.angle > 65535)
        return "angle must be 0..65535";
    if (o.readings.x < 0 || o.readings.x > 4095 || o.readings.y < 0 || o.readings.y > 4095
        || o.readings.z < 0 || o.readings.z > 4095)
        return "readings must be 0..4095";
    if (o.frames < 0)
        return "frames must not be negative";
    if (o.stallAfter < -1)
        return "stall-after must be -1 or more";
    if (o.corruptEvery < 0)
        return "corrupt-every must not be negative";
    // Written so that NaN fails as well; a day at most keeps the nanoseconds in range.
    if (!(o.gapEvery >= 0 && o.gapEvery <= 86400 && o.gapLength >= 0 && o.gapLength <= 86400))
        return "gap-every and gap-length must be 0..86400 seconds";
    if ((o.gapEvery > 0) != (o.gapLength > 0))
        return "gap-every and gap-length go together: both or neither";
    if (!(o.dropPercent >= 0 && o.dropPercent <= 100))
        return "drop must be 0..100 per cent";
    if (o.dropBurst < 1 || o.dropBurst > 100000)
        return "drop-burst must be 1..100000 packets";
    if (o.dropFrameEvery < 0)
        return "drop-frame-every must not be negative";
    return {};
}

} // namespace camsim
