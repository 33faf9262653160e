// SqlText.h: the one place where statement texts are composed: names written so that SQLite reads
// exactly that name, literals written so that SQLite reads exactly that text, and everything else
// as given. A growing form for the loader's statements, a bounded form (a fixed buffer) for the
// short statements of the select helpers, the diagnostics and the Lua binding.
//
// Every way of quoting the library uses is here, so that a name holding a quote, a semicolon or a
// comment marker can never end itself or the statement early.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/TextBuffer.h"

namespace Database {

class SqlText : public TextBuffer {
public:
    using TextBuffer::TextBuffer;

    // The appends of TextBuffer, returning the SqlText so that a statement reads as one chain.
    template <class Text>
    SqlText& Append(Text text) noexcept {
        TextBuffer::Append(text);
        return *this;
    }
    SqlText& AppendInteger(long long value) noexcept {
        TextBuffer::AppendInteger(value);
        return *this;
    }

    // A plain name (a letter or underscore, then letters, digits, underscores and points, any byte
    // above 127 counting as a letter) as it is, so that the statements of ordinary data read as
    // they always did; any other name between grave accents, which SQLite never reads as a string,
    // with each grave accent inside doubled.
    SqlText& AppendName(std::string_view name) noexcept;
    // text with every quote character inside it doubled, for a text the statement already writes
    // between two of them.
    SqlText& AppendEscaped(std::string_view text, char quote) noexcept;
    // quote, text with quote doubled inside, quote: 'it''s' for a literal, "Co""st" for a column.
    SqlText& AppendQuoted(std::string_view text, char quote) noexcept;
    // A string literal, or NULL for a null text.
    SqlText& AppendLiteral(const char* text) noexcept;

    // Whether text holds nothing SQLite would run: blanks, semicolons and comments only. What
    // follows the first statement of a text built from one element must be this.
    static bool HoldsNoStatement(const char* text, const char* end) noexcept;
};

}  // namespace Database
