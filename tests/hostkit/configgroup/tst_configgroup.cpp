#include "configgroup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace
{
constexpr auto readEntryOption = "--read-entry";
const QString absent = u"<absent>"_s;

// Reads an entry in a process of its own, so that the answer comes from the file on disk and
// not from anything this process keeps in memory.
QString readInOtherProcess(const QString &group, const QString &key)
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(readEntryOption), group, key});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return u"<reader failed>"_s;
    return QString::fromUtf8(process.readAllStandardOutput());
}
} // namespace

class TestConfigGroup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fileLocation();
    void roundTrip_data();
    void roundTrip();
    void absentKey();
    void deleteEntry();
    void groupsAreSeparate();
    void handEditedList();

private:
    QTemporaryDir mHome;
};

void TestConfigGroup::initTestCase()
{
    QVERIFY(mHome.isValid());
    qputenv("HOME", QFile::encodeName(mHome.path()));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestConfigGroup::fileLocation()
{
    const QString expected = mHome.path() + u"/.config/hostkittestrc"_s;
    QCOMPARE(HostKit::ConfigGroup::configFilePath(), expected);

    HostKit::ConfigGroup group(u"Location"_s);
    QCOMPARE(group.name(), u"Location"_s);
    group.writeEntry(u"Key"_s, u"value"_s);
    group.sync();
    QVERIFY(QFile::exists(expected));
}

void TestConfigGroup::roundTrip_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << u"small"_s;
    QTest::newRow("empty") << QString();
    QTest::newRow("comma") << u"a, b,c"_s;
    QTest::newRow("surrounding spaces") << u"  padded  "_s;
    QTest::newRow("leading at sign") << u"@Variant(x)"_s;
    QTest::newRow("ini syntax") << u"[Group]\nkey=value; comment"_s;
    QTest::newRow("quotes and backslashes") << u"\"C:\\dir\\\" 'x'"_s;
    QTest::newRow("number") << u"0042"_s;
    QTest::newRow("boolean word") << u"true"_s;
    QTest::newRow("non-ASCII") << u"Grüße, ½ € 日本"_s;
    QTest::newRow("path") << u"/home/someone/.local/share/thing"_s;
}

void TestConfigGroup::roundTrip()
{
    QFETCH(QString, value);

    HostKit::ConfigGroup group(u"RoundTrip"_s);
    group.writeEntry(u"Entry"_s, value);
    QVERIFY(group.hasKey(u"Entry"_s));
    QCOMPARE(group.readEntry(u"Entry"_s, u"default"_s), value);
    group.sync();

    QCOMPARE(readInOtherProcess(u"RoundTrip"_s, u"Entry"_s), value);
    QCOMPARE(HostKit::ConfigGroup(u"RoundTrip"_s).readEntry(u"Entry"_s), value);
}

void TestConfigGroup::absentKey()
{
    const HostKit::ConfigGroup group(u"Absent"_s);
    QVERIFY(!group.hasKey(u"Missing"_s));
    QCOMPARE(group.readEntry(u"Missing"_s, u"fallback"_s), u"fallback"_s);
    QCOMPARE(group.readEntry(u"Missing"_s), QString());
    QCOMPARE(readInOtherProcess(u"Absent"_s, u"Missing"_s), absent);
}

void TestConfigGroup::deleteEntry()
{
    HostKit::ConfigGroup group(u"Delete"_s);
    group.writeEntry(u"Gone"_s, u"1"_s);
    group.writeEntry(u"Kept"_s, u"2"_s);
    group.sync();
    QCOMPARE(readInOtherProcess(u"Delete"_s, u"Gone"_s), u"1"_s);

    group.deleteEntry(u"Gone"_s);
    QVERIFY(!group.hasKey(u"Gone"_s));
    QCOMPARE(group.readEntry(u"Gone"_s, u"fallback"_s), u"fallback"_s);
    // An empty key names no entry; it must not take the whole group with it.
    group.deleteEntry(QString());
    QCOMPARE(group.readEntry(u"Kept"_s), u"2"_s);
    group.sync();

    QCOMPARE(readInOtherProcess(u"Delete"_s, u"Gone"_s), absent);
    QCOMPARE(readInOtherProcess(u"Delete"_s, u"Kept"_s), u"2"_s);
}

void TestConfigGroup::groupsAreSeparate()
{
    HostKit::ConfigGroup first(u"First"_s);
    HostKit::ConfigGroup second(u"Second"_s);
    first.writeEntry(u"Shared"_s, u"one"_s);
    first.writeEntry(u"OnlyFirst"_s, u"x"_s);
    second.writeEntry(u"Shared"_s, u"two"_s);
    first.sync();
    second.sync();

    QCOMPARE(first.readEntry(u"Shared"_s), u"one"_s);
    QCOMPARE(second.readEntry(u"Shared"_s), u"two"_s);
    QVERIFY(!second.hasKey(u"OnlyFirst"_s));
    QCOMPARE(readInOtherProcess(u"Second"_s, u"OnlyFirst"_s), absent);

    second.deleteEntry(u"Shared"_s);
    second.sync();
    QCOMPARE(first.readEntry(u"Shared"_s), u"one"_s);
    QCOMPARE(readInOtherProcess(u"First"_s, u"Shared"_s), u"one"_s);
}

void TestConfigGroup::handEditedList()
{
    // Someone edits the file by hand and leaves a comma unquoted: the entry is still one string.
    HostKit::ConfigGroup(u"Other"_s).sync();
    QFile file(HostKit::ConfigGroup::configFilePath());
    QVERIFY(file.open(QIODevice::Append));
    file.write("\n[HandEdited]\nList=a,b,c\n");
    file.close();

    QCOMPARE(readInOtherProcess(u"HandEdited"_s, u"List"_s), u"a,b,c"_s);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"hostkittest"_s);

    if (argc == 4 && std::strcmp(argv[1], readEntryOption) == 0) {
        const HostKit::ConfigGroup group(QString::fromLocal8Bit(argv[2]));
        const QString key = QString::fromLocal8Bit(argv[3]);
        const QByteArray value = group.readEntry(key, absent).toUtf8();
        std::fwrite(value.constData(), 1, size_t(value.size()), stdout);
        return 0;
    }

    TestConfigGroup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configgroup.moc"
