#include "configgroup.h"
#include "dialogsizekeeper.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using HostKit::DialogSizeKeeper;

namespace
{
const QSize defaultSize(400, 300);
}

class TestDialogSizeKeeper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void defaultWhenNothingStored();
    void unusableStoredSize_data();
    void unusableStoredSize();
    void storedWhenDoneAndRestored_data();
    void storedWhenDoneAndRestored();
    void groupsDoNotLeak();

private:
    QTemporaryDir mHome;
};

void TestDialogSizeKeeper::initTestCase()
{
    QVERIFY(mHome.isValid());
    qputenv("HOME", QFile::encodeName(mHome.path()));
    qunsetenv("XDG_CONFIG_HOME");
    QCoreApplication::setApplicationName(u"hostkittest"_s);
}

void TestDialogSizeKeeper::defaultWhenNothingStored()
{
    QVERIFY(!DialogSizeKeeper::storedSize(u"Fresh"_s).isValid());

    QDialog dialog;
    auto *keeper = new DialogSizeKeeper(&dialog, u"Fresh"_s, defaultSize);
    QCOMPARE(keeper->parent(), &dialog);
    QCOMPARE(dialog.size(), defaultSize);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), defaultSize);
}

void TestDialogSizeKeeper::unusableStoredSize_data()
{
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");

    QTest::newRow("not numbers") << u"wide"_s << u"300"_s;
    QTest::newRow("zero") << u"0"_s << u"300"_s;
    QTest::newRow("negative") << u"500"_s << u"-5"_s;
    QTest::newRow("width only") << u"500"_s << QString();
    QTest::newRow("height only") << QString() << u"500"_s;
    QTest::newRow("empty") << u""_s << u""_s;
}

void TestDialogSizeKeeper::unusableStoredSize()
{
    QFETCH(QString, width);
    QFETCH(QString, height);

    const QString groupName = u"Unusable "_s + QString::fromLatin1(QTest::currentDataTag());
    HostKit::ConfigGroup group(groupName);
    if (!width.isNull())
        group.writeEntry(u"Width"_s, width);
    if (!height.isNull())
        group.writeEntry(u"Height"_s, height);
    group.sync();

    QVERIFY(!DialogSizeKeeper::storedSize(groupName).isValid());
    QDialog dialog;
    new DialogSizeKeeper(&dialog, groupName, defaultSize);
    QCOMPARE(dialog.size(), defaultSize);
}

void TestDialogSizeKeeper::storedWhenDoneAndRestored_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("accepted") << u"accept"_s;
    QTest::newRow("rejected") << u"reject"_s;
    QTest::newRow("done with a custom code") << u"done"_s;
    QTest::newRow("window closed") << u"close"_s;
}

void TestDialogSizeKeeper::storedWhenDoneAndRestored()
{
    QFETCH(QString, how);

    const QString groupName = u"Restored "_s + how;
    const QSize chosen(523, 347);
    {
        QDialog dialog;
        new DialogSizeKeeper(&dialog, groupName, defaultSize);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.resize(chosen);
        QTRY_COMPARE(dialog.size(), chosen);
        QVERIFY(!DialogSizeKeeper::storedSize(groupName).isValid());

        if (how == u"accept")
            dialog.accept();
        else if (how == u"reject")
            dialog.reject();
        else if (how == u"done")
            dialog.done(42);
        else
            dialog.close();
        QVERIFY(!dialog.isVisible());
    }

    QCOMPARE(DialogSizeKeeper::storedSize(groupName), chosen);

    // On disk already, not only in this process's memory.
    QFile file(HostKit::ConfigGroup::configFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray contents = file.readAll();
    const qsizetype groupAt = contents.indexOf("[Restored%20" + how.toLatin1() + ']');
    QVERIFY2(groupAt >= 0, contents.constData());
    const QByteArray section = contents.mid(groupAt, contents.indexOf("\n[", groupAt + 1) - groupAt);
    QVERIFY2(section.contains("\nWidth=523\n") && section.contains("\nHeight=347\n"), section.constData());

    QDialog reopened;
    new DialogSizeKeeper(&reopened, groupName, defaultSize);
    QCOMPARE(reopened.size(), chosen);
    reopened.show();
    QVERIFY(QTest::qWaitForWindowExposed(&reopened));
    QCOMPARE(reopened.size(), chosen);
}

void TestDialogSizeKeeper::groupsDoNotLeak()
{
    {
        QDialog dialog;
        new DialogSizeKeeper(&dialog, u"Leak A"_s, defaultSize);
        dialog.resize(611, 455);
        dialog.accept();
    }
    QCOMPARE(DialogSizeKeeper::storedSize(u"Leak A"_s), QSize(611, 455));

    QVERIFY(!DialogSizeKeeper::storedSize(u"Leak B"_s).isValid());
    QDialog other;
    new DialogSizeKeeper(&other, u"Leak B"_s, defaultSize);
    QCOMPARE(other.size(), defaultSize);
}

QTEST_MAIN(TestDialogSizeKeeper)
#include "tst_dialogsizekeeper.moc"
