#pragma once

#include <QList>
#include <QStringList>

// Rows of text in columns as wide as their widest cell, for listings on a terminal.
class TextTable
{
public:
    explicit TextTable(const QStringList &header);

    void addRow(const QStringList &cells);
    [[nodiscard]] QStringList lines() const;

private:
    QList<QStringList> mRows;
};
