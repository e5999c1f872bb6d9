// SPDX-License-Identifier: MIT
#include "fileIo/failure.hpp"

#include <cstring>

namespace initHashData {

std::string quoteName(std::string_view name)
{
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string quoted = "'";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        case '\'': quoted += "\\'"; break;
        case '\\': quoted += "\\\\"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                quoted += "\\x";
                quoted += hexDigits[byte >> 4];
                quoted += hexDigits[byte & 0xf];
            } else {
                quoted += c;
            }
        }
    }
    quoted += '\'';
    return quoted;
}

Failure systemFailure(std::string_view action, std::string_view name, int errnum)
{
    std::string message(action);
    message += ' ';
    message += quoteName(name);
    message += ": ";
    message += std::strerror(errnum);
    return Failure(message);
}

} // namespace initHashData
