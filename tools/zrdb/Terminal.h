// Terminal.h: the progress line of long loads and the aligned tables of query and tables.
#pragma once

#include <string>
#include <vector>

namespace Zrdb {

// One line on the terminal that each Show replaces; silent when stdout is no terminal or when
// quiet was asked for.
class ProgressLine {
public:
    explicit ProgressLine(bool quiet);
    ~ProgressLine();
    void Show(const std::string& text);
    // Removes the line, so that what is printed next starts on a clean line.
    void Clear();

private:
    bool m_enabled;
    bool m_shown;
};

// Rows of text printed as a table: a header, a rule, and columns padded to their widest cell.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header);
    void AddRow(std::vector<std::string> cells);
    // Numbers read better right-aligned.
    void AlignRight(std::size_t column);
    void Print() const;
    std::size_t RowCount() const { return m_rows.size(); }

private:
    std::vector<std::string> m_header;
    std::vector<std::vector<std::string>> m_rows;
    std::vector<bool> m_right;
};

}  // namespace Zrdb
