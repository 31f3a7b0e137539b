#include "texttable.h"

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int ColumnGap = 2;
} // namespace

TextTable::TextTable(const QStringList &header)
    : mRows{header}
{
}

void TextTable::addRow(const QStringList &cells)
{
    mRows.append(cells);
}

QStringList TextTable::lines() const
{
    QList<qsizetype> widths;
    for (const QStringList &cells : mRows) {
        widths.resize(qMax(widths.size(), cells.size()));
        for (qsizetype column = 0; column < cells.size(); ++column)
            widths[column] = qMax(widths.at(column), cells.at(column).size());
    }

    QStringList result;
    for (const QStringList &cells : mRows) {
        QString line;
        for (qsizetype column = 0; column < cells.size(); ++column)
            line += cells.at(column).leftJustified(widths.at(column) + ColumnGap);
        // Empty cells at the end leave no trailing blanks.
        while (line.endsWith(u' '))
            line.chop(1);
        result.append(line);
    }
    return result;
}
