#include "terminalprogressbar.h"

#include <QTest>
#include <QTextStream>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr qint64 ModelBytes = 488636416; // 466 MiB
} // namespace

class tst_TerminalProgressBar : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void text_data();
    void text();
    void terminalRewritesOneLine();
    void terminalStepsAsideForOtherLines();
    void logPrintsEachTenthOnce_data();
    void logPrintsEachTenthOnce();
    void logWithoutTotalPrintsWhenDoubled();
};

void tst_TerminalProgressBar::text_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("files");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("expected");

    QTest::newRow("start") << u"small"_s << false << qint64(0) << ModelBytes << 0
                           << u"small  [------------------------------]   0 %  0 bytes of 466.0 MiB"_s;
    QTest::newRow("the helper's percent wins") << u"small"_s << false << ModelBytes / 2 << ModelBytes << 42
                                               << u"small  [############------------------]  42 %  233.0 MiB of 466.0 MiB"_s;
    QTest::newRow("done") << u"small"_s << false << ModelBytes << ModelBytes << 100
                          << u"small  [##############################] 100 %  466.0 MiB of 466.0 MiB"_s;
    QTest::newRow("no percent: from the sizes") << u"small"_s << false << ModelBytes / 4 << ModelBytes << -1
                                                << u"small  [#######-----------------------]  25 %  116.5 MiB of 466.0 MiB"_s;
    QTest::newRow("percent out of range: from the sizes") << u"small"_s << false << ModelBytes / 4 << ModelBytes << 250
                                                          << u"small  [#######-----------------------]  25 %  116.5 MiB of 466.0 MiB"_s;
    QTest::newRow("more than the total") << u"small"_s << false << ModelBytes * 2 << ModelBytes << -1
                                         << u"small  [##############################] 100 %  932.0 MiB of 466.0 MiB"_s;
    QTest::newRow("unknown total") << u"small"_s << false << qint64(12) * 1024 * 1024 << qint64(0) << -1 << u"small  12.0 MiB"_s;
    QTest::newRow("files") << u"voices"_s << true << qint64(1) << qint64(3) << -1
                           << u"voices  [#########---------------------]  33 %  1 of 3 files"_s;
    QTest::newRow("files, unknown total") << u"voices"_s << true << qint64(2) << qint64(0) << -1 << u"voices  2 files"_s;
    QTest::newRow("no label") << QString() << true << qint64(3) << qint64(3) << -1
                              << u"[##############################] 100 %  3 of 3 files"_s;
}

void tst_TerminalProgressBar::text()
{
    QFETCH(QString, label);
    QFETCH(bool, files);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(int, percent);
    QFETCH(QString, expected);

    QString output;
    QTextStream stream(&output);
    TerminalProgressBar bar(&stream, true);
    bar.setLabel(label);
    bar.setUnit(files ? TerminalProgressBar::Unit::Files : TerminalProgressBar::Unit::Bytes);
    bar.setProgress(done, total, percent);
    QCOMPARE(bar.text(), expected);
    QCOMPARE(output, u"\r"_s + expected);
}

void tst_TerminalProgressBar::terminalRewritesOneLine()
{
    QString output;
    QTextStream stream(&output);
    TerminalProgressBar bar(&stream, true);
    bar.setUnit(TerminalProgressBar::Unit::Files);
    bar.setProgress(10, 11);
    const QString first = bar.text();
    bar.setProgress(10, 11);
    // The same state is not drawn twice.
    QCOMPARE(output, u"\r"_s + first);

    // Shorter than the line before: blanks cover the rest of it.
    bar.setProgress(9, 10);
    const QString second = bar.text();
    QCOMPARE(first.size() - second.size(), 1);
    QCOMPARE(output, u"\r"_s + first + u"\r"_s + second + u" "_s);
    QVERIFY(!output.contains(u'\n'));

    bar.finish();
    QVERIFY(output.endsWith(second + u" \n"_s));
    // Nothing is left to end.
    const QString finished = output;
    bar.finish();
    QCOMPARE(output, finished);
}

void tst_TerminalProgressBar::terminalStepsAsideForOtherLines()
{
    QString output;
    QTextStream stream(&output);
    TerminalProgressBar bar(&stream, true);
    bar.setUnit(TerminalProgressBar::Unit::Files);
    bar.clear();
    bar.redraw();
    QCOMPARE(output, QString());

    bar.setProgress(1, 2);
    const QString line = bar.text();
    output.clear();
    bar.clear();
    QCOMPARE(output, u"\r"_s + QString(line.size(), u' ') + u"\r"_s);
    output.clear();
    bar.redraw();
    QCOMPARE(output, u"\r"_s + line);
}

void tst_TerminalProgressBar::logPrintsEachTenthOnce_data()
{
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<QList<int>>("printed");

    QTest::newRow("every percent") << QList<int>{0, 1, 5, 9, 10, 11, 19, 20, 55, 99, 100} << QList<int>{0, 10, 20, 55, 99, 100};
    QTest::newRow("big jumps") << QList<int>{3, 100} << QList<int>{3, 100};
    QTest::newRow("never reaching the end") << QList<int>{10, 90, 95, 97} << QList<int>{10, 90, 97};
    QTest::newRow("going back") << QList<int>{50, 20, 60} << QList<int>{50, 60};
}

void tst_TerminalProgressBar::logPrintsEachTenthOnce()
{
    QFETCH(QList<int>, percents);
    QFETCH(QList<int>, printed);

    QString output;
    QTextStream stream(&output);
    TerminalProgressBar bar(&stream, false);
    bar.setLabel(u"small"_s);
    QStringList expected;
    for (int percent : std::as_const(printed)) {
        bar.setProgress(ModelBytes * percent / 100, ModelBytes, percent);
        expected.append(bar.text());
    }
    output.clear();

    TerminalProgressBar logBar(&stream, false);
    logBar.setLabel(u"small"_s);
    for (int percent : std::as_const(percents))
        logBar.setProgress(ModelBytes * percent / 100, ModelBytes, percent);
    // The last state is printed at the end when no step printed it.
    logBar.finish();
    QVERIFY(!output.contains(u'\r'));
    QCOMPARE(output, expected.join(u'\n') + u'\n');
}

void tst_TerminalProgressBar::logWithoutTotalPrintsWhenDoubled()
{
    QString output;
    QTextStream stream(&output);
    TerminalProgressBar bar(&stream, false);
    bar.setUnit(TerminalProgressBar::Unit::Files);
    for (qint64 done : {1, 2, 3, 4, 5, 7, 8, 15, 16, 17})
        bar.setProgress(done, 0);
    bar.finish();
    QCOMPARE(output, u"1 files\n2 files\n4 files\n8 files\n16 files\n17 files\n"_s);
}

QTEST_GUILESS_MAIN(tst_TerminalProgressBar)
#include "tst_terminalprogressbar.moc"
