// SPDX-License-Identifier: MIT
#include "fileIo/failure.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace initHashData {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void appendEscaped(std::string& quoted, std::string_view bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        quoted += "\\x";
        quoted += hexDigits[byte >> 4];
        quoted += hexDigits[byte & 0xf];
    }
}

// The length of the well-formed UTF-8 sequence at the start of `bytes`, and
// its code point; 0 where it is none.
std::size_t decodeUtf8(std::string_view bytes, char32_t& codePoint)
{
    const auto lead = static_cast<unsigned char>(bytes[0]);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || bytes.size() < length) {
        return 0;
    }
    codePoint = lead & (0x7fU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3fU);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
    return codePoint < least[length] || codePoint > 0x10ffff || surrogate ? 0 : length;
}

// Characters that a terminal obeys instead of showing: C1 controls, and the
// marks that reorder or hide the text around them.
bool isInvisibleControl(char32_t c)
{
    return (c >= 0x80 && c <= 0x9f) || c == 0x61c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string quoteName(std::string_view name)
{
    std::string quoted = "'";
    for (std::size_t at = 0; at < name.size();) {
        const char c = name[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            char32_t codePoint = 0;
            const std::size_t length = decodeUtf8(name.substr(at), codePoint);
            if (length == 0 || isInvisibleControl(codePoint)) {
                appendEscaped(quoted, name.substr(at, length == 0 ? 1 : length));
            } else {
                quoted += name.substr(at, length);
            }
            at += length == 0 ? 1 : length;
            continue;
        }
        ++at;
        switch (c) {
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        case '\'': quoted += "\\'"; break;
        case '\\': quoted += "\\\\"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                appendEscaped(quoted, name.substr(at - 1, 1));
            } else {
                quoted += c;
            }
        }
    }
    quoted += '\'';
    return quoted;
}

std::string fullPath(const std::string& path)
{
    if (path.starts_with('/')) {
        return path;
    }
    // getcwd fails where the working directory was removed, or lies beyond
    // what the process may see.
    const std::unique_ptr<char, decltype(&std::free)> working(::getcwd(nullptr, 0), &std::free);
    if (!working) {
        return path;
    }
    const std::string_view relative =
        std::string_view(path).starts_with("./") ? std::string_view(path).substr(2) : path;
    return std::string(working.get()) + (std::string_view(working.get()) == "/" ? "" : "/") + std::string(relative);
}

std::string quoteName(const ShownName& name)
{
    if (!name.full) {
        return quoteName(name.path);
    }
    std::string shown = quoteName(fullPath(name.given));
    if (name.path != name.given) {
        shown += " (a link to " + quoteName(fullPath(name.path)) + ")";
    }
    return shown;
}

Failure systemFailure(std::string_view action, std::string_view name, int errnum)
{
    return systemFailure(action, ShownName{std::string(name), {}}, errnum);
}

Failure systemFailure(std::string_view action, const ShownName& name, int errnum)
{
    std::string message(action);
    message += ' ';
    message += quoteName(name);
    message += ": ";
    message += std::strerror(errnum);
    return Failure(message);
}

} // namespace initHashData
