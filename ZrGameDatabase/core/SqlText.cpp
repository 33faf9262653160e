// SqlText.cpp: names, literals and escapes in statement texts.
#include "core/SqlText.h"

#include <cstring>

namespace Database {

namespace {

bool IsNameStart(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || byte == '_' || byte >= 0x80;
}

bool IsPlainName(std::string_view name) {
    if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0])))
        return false;
    for (std::size_t index = 1; index < name.size(); ++index) {
        const unsigned char byte = static_cast<unsigned char>(name[index]);
        if (!IsNameStart(byte) && !(byte >= '0' && byte <= '9') && byte != '.')
            return false;
    }
    return true;
}

}  // namespace

SqlText& SqlText::AppendName(std::string_view name) noexcept {
    if (IsPlainName(name)) {
        Append(name);
        return *this;
    }
    return AppendQuoted(name, '`');
}

SqlText& SqlText::AppendEscaped(std::string_view text, char quote) noexcept {
    // Whole runs between quotes at a time: names and values rarely hold a quote at all.
    while (!text.empty()) {
        const std::size_t at = text.find(quote);
        if (at == std::string_view::npos) {
            Append(text);
            break;
        }
        Append(text.substr(0, at + 1)).Append(quote);
        text.remove_prefix(at + 1);
    }
    return *this;
}

SqlText& SqlText::AppendQuoted(std::string_view text, char quote) noexcept {
    Append(quote);
    AppendEscaped(text, quote);
    Append(quote);
    return *this;
}

SqlText& SqlText::AppendLiteral(const char* text) noexcept {
    if (text == nullptr) {
        Append("NULL");
        return *this;
    }
    return AppendQuoted(text, '\'');
}

bool SqlText::HoldsNoStatement(const char* text, const char* end) noexcept {
    while (text < end) {
        const char byte = *text;
        if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' || byte == '\v'
            || byte == ';') {
            ++text;
        } else if (byte == '-' && end - text >= 2 && text[1] == '-') {
            while (text < end && *text != '\n')
                ++text;
        } else if (byte == '/' && end - text >= 2 && text[1] == '*') {
            text += 2;
            while (text < end && !(*text == '*' && end - text >= 2 && text[1] == '/'))
                ++text;
            text = text < end ? text + 2 : end;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace Database
