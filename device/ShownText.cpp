#include "device/ShownText.h"

#include <algorithm>
#include <iterator>

namespace shown
{

namespace
{

struct TCodeRange {
    char32_t First;
    char32_t Last;
};

// Characters that act on the text around them or show as nothing: Unicode 15's format characters
// (Cf), line and paragraph separators, the rest of Default_Ignorable_Code_Point, the blank fillers
// (Hangul fillers, the blank Braille pattern), spaces other than U+0020 and the private-use
// planes. Ordered, not overlapping.
constexpr TCodeRange kEscapedRanges[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x1680, 0x1680},   {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x206F},
    {0x2800, 0x2800},   {0x3000, 0x3000},   {0x3164, 0x3164},   {0xE000, 0xF8FF},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}, {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
};

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(std::string &Text, const char *Prefix, char32_t Value, int Digits)
{
    Text += Prefix;
    for (int digit = Digits - 1; digit >= 0; --digit)
        Text += kHexDigits[(Value >> (4 * digit)) & 0xF];
}

// The length of the well-formed UTF-8 sequence at the start of Bytes (1 to 4) and its code point;
// 0 when the first byte does not begin one. Overlong forms, surrogates and code points past
// U+10FFFF are not well-formed.
int Sequence(std::string_view Bytes, char32_t &Code)
{
    const auto byte = [&Bytes](std::size_t At) { return static_cast<unsigned char>(Bytes[At]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        Code = lead;
        return 1;
    }
    int length = 0;
    // The second byte's range depends on the lead; the rest are 80-BF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        Code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        Code = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        Code = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (Bytes.size() < std::size_t(length))
        return 0;
    for (int at = 1; at < length; ++at) {
        const unsigned char next = byte(std::size_t(at));
        if (next < (at == 1 ? low : 0x80) || next > (at == 1 ? high : 0xBF))
            return 0;
        Code = (Code << 6) | (next & 0x3F);
    }
    return length;
}

} // namespace

bool IsEscaped(char32_t Code)
{
    if (Code < 0x20 || (Code >= 0x7F && Code <= 0x9F))
        return true;
    const auto after = std::upper_bound(
        std::begin(kEscapedRanges), std::end(kEscapedRanges), Code,
        [](char32_t Value, const TCodeRange &Range) { return Value < Range.First; });
    return after != std::begin(kEscapedRanges) && Code <= std::prev(after)->Last;
}

std::string ShownText(std::string_view Bytes)
{
    std::string text;
    text.reserve(Bytes.size());
    while (!Bytes.empty()) {
        char32_t code = 0;
        const int length = Sequence(Bytes, code);
        if (length == 0) {
            // Not UTF-8: the byte itself, which is always 80-FF here.
            AppendHex(text, "\\x", static_cast<unsigned char>(Bytes.front()), 2);
            Bytes.remove_prefix(1);
            continue;
        }
        if (code == U'\\') {
            text += "\\\\";
        } else if (!IsEscaped(code)) {
            text.append(Bytes.substr(0, std::size_t(length)));
        } else if (code == U'\n') {
            text += "\\n";
        } else if (code == U'\r') {
            text += "\\r";
        } else if (code == U'\t') {
            text += "\\t";
        } else if (code < 0x80) {
            AppendHex(text, "\\x", code, 2);
        } else if (code < 0x10000) {
            // A C1 control too: \x80-\xff stand for bytes that are not UTF-8.
            AppendHex(text, "\\u", code, 4);
        } else {
            AppendHex(text, "\\U", code, 8);
        }
        Bytes.remove_prefix(std::size_t(length));
    }
    return text;
}

bool Names(std::string_view Given, std::string_view Bytes)
{
    return Given == Bytes || Given == ShownText(Bytes);
}

} // namespace shown
