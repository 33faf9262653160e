#include "Terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace Zrdb {

ProgressLine::ProgressLine(bool quiet) : m_enabled(!quiet && isatty(STDOUT_FILENO) == 1), m_shown(false) {}

ProgressLine::~ProgressLine() {
    Clear();
}

void ProgressLine::Show(const std::string& text) {
    if (!m_enabled)
        return;
    // Carriage return, the text, then erase what a longer previous text left on the line.
    std::printf("\r%s\x1b[K", text.c_str());
    std::fflush(stdout);
    m_shown = true;
}

void ProgressLine::Clear() {
    if (!m_shown)
        return;
    std::printf("\r\x1b[K");
    std::fflush(stdout);
    m_shown = false;
}

namespace {

// Display width of a UTF-8 text: one per character, which serves the names and values of rule
// data; continuation bytes take no room.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }));
}

}  // namespace

TextTable::TextTable(std::vector<std::string> header) : m_header(std::move(header)), m_right(m_header.size(), false) {}

void TextTable::AddRow(std::vector<std::string> cells) {
    cells.resize(m_header.size());
    m_rows.push_back(std::move(cells));
}

void TextTable::AlignRight(std::size_t column) {
    if (column < m_right.size())
        m_right[column] = true;
}

void TextTable::Print() const {
    std::vector<std::size_t> widths(m_header.size());
    for (std::size_t column = 0; column < m_header.size(); ++column) {
        widths[column] = Width(m_header[column]);
        for (const auto& row : m_rows)
            widths[column] = std::max(widths[column], Width(row[column]));
    }
    const auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t column = 0; column < cells.size(); ++column) {
            const std::string padding(widths[column] - Width(cells[column]), ' ');
            if (column > 0)
                line += "  ";
            line += m_right[column] ? padding + cells[column] : cells[column] + padding;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
    };
    printRow(m_header);
    std::vector<std::string> rule;
    for (std::size_t width : widths)
        rule.emplace_back(width, '-');
    printRow(rule);
    for (const auto& row : m_rows)
        printRow(row);
}

}  // namespace Zrdb
