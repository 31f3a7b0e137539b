#include "translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <libintl.h>

using namespace Qt::StringLiterals;

namespace
{
constexpr const char *domain = "hostkit-test";

constexpr auto catalogue = R"(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"
"Language: de\n"

msgid "Open"
msgstr "Offen"

msgctxt "verb"
msgid "Open"
msgstr "Öffnen"

msgctxt "menu"
msgid "File"
msgstr "Datei"

msgid "Close"
msgstr "Schließen"

msgid "%1 of %2"
msgstr "%2 von %1"

msgctxt "progress"
msgid "Step %1 of %2"
msgstr "Schritt %1 von %2"

msgid "Greeting for %1"
msgstr "Grüße für %1"
)";

const char *contextOrNull(const QByteArray &context)
{
    return context.isNull() ? nullptr : context.constData();
}

// Calls the variadic lookups with as many arguments as the table row holds.
QString lookUp(const QByteArray &context, const QByteArray &text, const QStringList &args)
{
    const char *ctx = contextOrNull(context);
    switch (args.size()) {
    case 0:
        return ctx ? HostKit::i18ndc(domain, ctx, text.constData()) : HostKit::i18nd(domain, text.constData());
    case 1:
        return ctx ? HostKit::i18ndc(domain, ctx, text.constData(), args[0]) : HostKit::i18nd(domain, text.constData(), args[0]);
    case 2:
        return ctx ? HostKit::i18ndc(domain, ctx, text.constData(), args[0], args[1])
                   : HostKit::i18nd(domain, text.constData(), args[0], args[1]);
    case 3:
        return ctx ? HostKit::i18ndc(domain, ctx, text.constData(), args[0], args[1], args[2])
                   : HostKit::i18nd(domain, text.constData(), args[0], args[1], args[2]);
    }
    qFatal("lookUp: too many arguments in the table");
}
} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void translate_data();
    void translate();
    void substitution_data();
    void substitution();
    void numberArguments();
    void domainBinding();

private:
    QTemporaryDir mHome;
    // A non-ASCII folder name shows the catalogue path reaches gettext in the file-name encoding.
    QTemporaryDir mCatalogueDir{QDir::tempPath() + u"/hostkit-übersetzung-XXXXXX"_s};
};

void TestTranslation::initTestCase()
{
    QVERIFY(mHome.isValid());
    qputenv("HOME", QFile::encodeName(mHome.path()));
    qunsetenv("XDG_CONFIG_HOME");

    const QString msgfmt = QStandardPaths::findExecutable(u"msgfmt"_s);
    if (msgfmt.isEmpty())
        QSKIP("msgfmt (gettext) is not installed");

    QVERIFY(mCatalogueDir.isValid());
    const QString poPath = mCatalogueDir.filePath(u"catalogue.po"_s);
    QFile po(poPath);
    QVERIFY(po.open(QIODevice::WriteOnly));
    po.write(catalogue);
    po.close();

    const QString messagesDir = mCatalogueDir.filePath(u"de/LC_MESSAGES"_s);
    QVERIFY(QDir().mkpath(messagesDir));
    const QString moPath = messagesDir + u'/' + QString::fromLatin1(domain) + u".mo"_s;

    QProcess process;
    process.start(msgfmt, {u"-o"_s, moPath, poPath});
    QVERIFY(process.waitForFinished(30000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, process.readAllStandardError().constData());
    QVERIFY(QFile::exists(moPath));

    HostKit::bindTranslationDomain(domain, mCatalogueDir.path());
}

void TestTranslation::translate_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("without context") << QByteArray() << "Open"_ba << u"Offen"_s;
    QTest::newRow("with context") << "verb"_ba
                                  << "Open"_ba << u"Öffnen"_s;
    QTest::newRow("context the catalogue lacks") << "noun"_ba
                                                 << "Open"_ba << u"Open"_s;
    QTest::newRow("text only translated with a context") << QByteArray() << "File"_ba << u"File"_s;
    QTest::newRow("unknown text") << QByteArray() << "Not in the catalogue"_ba << u"Not in the catalogue"_s;
    QTest::newRow("unknown text with context") << "menu"_ba
                                               << "Not in the catalogue"_ba << u"Not in the catalogue"_s;
    QTest::newRow("non-ASCII translation") << QByteArray() << "Close"_ba << u"Schließen"_s;
    QTest::newRow("non-ASCII source text") << QByteArray() << "Grüß Gott"_ba << u"Grüß Gott"_s;
    QTest::newRow("empty text is not the catalogue header") << QByteArray() << ""_ba << QString();
}

void TestTranslation::translate()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);

    QCOMPARE(HostKit::translate(domain, contextOrNull(context), text.constData()), expected);
}

void TestTranslation::substitution_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no arguments leave the placeholders") << QByteArray() << "%1 of %2"_ba << QStringList() << u"%2 von %1"_s;
    QTest::newRow("translation reorders placeholders") << QByteArray() << "%1 of %2"_ba << QStringList{u"3"_s, u"5"_s} << u"5 von 3"_s;
    QTest::newRow("first argument holds %2") << QByteArray() << "%1 and %2"_ba << QStringList{u"%2"_s, u"x"_s} << u"%2 and x"_s;
    QTest::newRow("three arguments holding placeholders")
        << QByteArray() << "%1, %2, %3"_ba << QStringList{u"%3"_s, u"%1"_s, u"c"_s} << u"%3, %1, c"_s;
    QTest::newRow("single argument holds %1") << QByteArray() << "Greeting for %1"_ba << QStringList{u"%1"_s} << u"Grüße für %1"_s;
    QTest::newRow("non-ASCII argument") << QByteArray() << "Greeting for %1"_ba << QStringList{u"Jürgen"_s} << u"Grüße für Jürgen"_s;
    QTest::newRow("missing argument") << QByteArray() << "%1 and %2"_ba << QStringList{u"a"_s} << u"a and %2"_s;
    QTest::newRow("with context") << "progress"_ba
                                  << "Step %1 of %2"_ba << QStringList{u"1"_s, u"3"_s} << u"Schritt 1 von 3"_s;
    QTest::newRow("untranslated with context") << "other"_ba
                                               << "Step %1 of %2"_ba << QStringList{u"%2"_s, u"3"_s} << u"Step %2 of 3"_s;
}

void TestTranslation::substitution()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    QCOMPARE(lookUp(context, text, args), expected);
}

void TestTranslation::numberArguments()
{
    QCOMPARE(HostKit::i18nd(domain, "%1 of %2", 3, 5), u"5 von 3"_s);
    QCOMPARE(HostKit::i18nd(domain, "%1 and %2", u"%2"_s, 7), u"%2 and 7"_s);
    QCOMPARE(HostKit::i18nd(domain, "Greeting for %1", 42), u"Grüße für 42"_s);
}

void TestTranslation::domainBinding()
{
    // A domain the host never bound is looked for in the installed locale folder.
    const char *unbound = "hostkit-test-never-bound";
    QCOMPARE(HostKit::translate(unbound, nullptr, "Open"), u"Open"_s);
    QCOMPARE(QByteArray(bindtextdomain(unbound, nullptr)), QByteArray(HOSTKIT_LOCALE_DIR));
    QCOMPARE(QByteArray(bind_textdomain_codeset(unbound, nullptr)), "UTF-8"_ba);

    // The lookups above did not replace the host's own binding.
    QCOMPARE(QFile::decodeName(bindtextdomain(domain, nullptr)), mCatalogueDir.path());
    QCOMPARE(QByteArray(bind_textdomain_codeset(domain, nullptr)), "UTF-8"_ba);

    // Nor does the first lookup replace one the host made with gettext itself: its catalogue
    // is the one read, in UTF-8.
    const QByteArray directory = QFile::encodeName(mCatalogueDir.path());
    QVERIFY(QFile::copy(mCatalogueDir.filePath(u"de/LC_MESSAGES/"_s + QString::fromLatin1(domain) + u".mo"_s),
                        mCatalogueDir.filePath(u"de/LC_MESSAGES/hostkit-test-host-bound.mo"_s)));
    const char *hostBound = "hostkit-test-host-bound";
    bindtextdomain(hostBound, directory.constData());
    QCOMPARE(HostKit::translate(hostBound, nullptr, "Open"), u"Offen"_s);
    QCOMPARE(QByteArray(bindtextdomain(hostBound, nullptr)), directory);
}

int main(int argc, char **argv)
{
    // The language must be in place before QCoreApplication sets up the C locale.
    qputenv("LANGUAGE", "de");
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    TestTranslation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_translation.moc"
