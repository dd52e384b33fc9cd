#include "wide_text.h"

#include <cstdint>
#include <stdexcept>

const std::string range_error_str = "INVALIDSTRING";

namespace {

bool IsSurrogate(uint32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string wstring_to_utf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t unit : text) {
        const auto c = static_cast<uint32_t>(unit);
        if (c > 0xFFFF || IsSurrogate(c))
            return range_error_str;
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring utf8_to_wstring(const std::string& text)
{
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t c;
        if (lead < 0x80) {
            extra = 0;
            c = lead;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            extra = 2;
            c = lead & 0x0F;
        } else {
            throw std::range_error("utf8_to_wstring: not a UTF-8 character of at most U+FFFF");
        }
        if (text.size() - i <= extra)
            throw std::range_error("utf8_to_wstring: input ends inside a character");
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                throw std::range_error("utf8_to_wstring: malformed UTF-8");
            c = (c << 6) | (next & 0x3F);
        }
        if ((extra == 2 && c < 0x800) || IsSurrogate(c))
            throw std::range_error("utf8_to_wstring: malformed UTF-8");
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}

std::string LogText(const wchar_t* text)
{
    if (!text)
        return "(null)";
    std::string out;
    for (; *text; ++text) {
        auto c = static_cast<uint32_t>(*text);
        const auto next = static_cast<uint32_t>(text[1]);
        // A surrogate pair is one character where wide characters are UTF-16.
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++text;
        }
        AppendUtf8(out, c > 0x10FFFF || IsSurrogate(c) ? 0xFFFD : c);
    }
    return out;
}
