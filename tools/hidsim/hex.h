// Reports as lines of hex bytes, for people and for the players' pipes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hidsim {

inline std::string HexLine(const std::vector<uint8_t>& report)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string line;
    for (const uint8_t byte : report) {
        if (!line.empty())
            line += ' ';
        line += DIGITS[byte >> 4];
        line += DIGITS[byte & 0xF];
    }
    return line;
}

inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "01 02 ff", "0102ff" and "1 2 ff" all give 01 02 ff: a word of one digit
// is one byte, longer words are read two digits a byte.
inline std::optional<std::vector<uint8_t>> ParseHexLine(const std::string& line)
{
    std::vector<uint8_t> report;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < line.size() && HexDigit(line[end]) >= 0)
            ++end;
        const size_t digits = end - i;
        if (digits == 0 || (digits > 1 && digits % 2 != 0) ||
            (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r'))
            return std::nullopt;
        if (digits == 1)
            report.push_back(static_cast<uint8_t>(HexDigit(line[i])));
        for (size_t k = i; digits > 1 && k < end; k += 2)
            report.push_back(static_cast<uint8_t>(HexDigit(line[k]) << 4 | HexDigit(line[k + 1])));
        i = end;
    }
    return report;
}

}  // namespace hidsim
