#include "standardguiitem.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace
{
QString buttonBoxCloseText()
{
    const QDialogButtonBox box(QDialogButtonBox::Close);
    return box.button(QDialogButtonBox::Close)->text();
}

// Stands in for Qt's German catalogue: it knows only the Close button.
class CloseTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *disambiguation, int n) const override
    {
        Q_UNUSED(context)
        Q_UNUSED(disambiguation)
        Q_UNUSED(n)
        if (qstrcmp(sourceText, "Close") == 0)
            return u"Schließen"_s;
        if (qstrcmp(sourceText, "&Close") == 0)
            return u"&Schließen"_s;
        return {};
    }

    bool isEmpty() const override
    {
        return false;
    }
};
} // namespace

class TestStandardGuiItem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void assignClose();
    void followsQtTranslation();
    void themeIconPreferred();
    void styleIconWithoutTheme();

private:
    QTemporaryDir mHome;
};

void TestStandardGuiItem::initTestCase()
{
    QVERIFY(mHome.isValid());
    qputenv("HOME", QFile::encodeName(mHome.path()));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestStandardGuiItem::assignClose()
{
    QPushButton button(u"Something else"_s);
    HostKit::StandardGuiItem::assignClose(&button);

    QVERIFY(!button.text().isEmpty());
    QCOMPARE(button.text(), buttonBoxCloseText());
    QCOMPARE(HostKit::StandardGuiItem::closeText(), buttonBoxCloseText());
    QVERIFY(!button.icon().isNull());

    HostKit::StandardGuiItem::assignClose(nullptr);
}

void TestStandardGuiItem::followsQtTranslation()
{
    const QString untranslated = HostKit::StandardGuiItem::closeText();

    CloseTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QPushButton button;
    HostKit::StandardGuiItem::assignClose(&button);
    QCOMPARE(QString(button.text()).remove(u'&'), u"Schließen"_s);
    QCOMPARE(HostKit::StandardGuiItem::closeText(), buttonBoxCloseText());

    QVERIFY(QCoreApplication::removeTranslator(&translator));
    QCOMPARE(HostKit::StandardGuiItem::closeText(), untranslated);
}

void TestStandardGuiItem::themeIconPreferred()
{
    // A theme of one icon, a solid colour no style would draw.
    QTemporaryDir themes;
    QVERIFY(themes.isValid());
    const QString themeDir = themes.filePath(u"hostkit-test-theme"_s);
    QVERIFY(QDir().mkpath(themeDir + u"/16x16/actions"_s));
    QFile index(themeDir + u"/index.theme"_s);
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=hostkit-test-theme\nDirectories=16x16/actions\n\n"
                "[16x16/actions]\nSize=16\nType=Fixed\n");
    index.close();
    QImage image(16, 16, QImage::Format_ARGB32);
    const QColor colour(0x12, 0x34, 0x56);
    image.fill(colour);
    QVERIFY(image.save(themeDir + u"/16x16/actions/window-close.png"_s));

    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({themes.path()});
    QIcon::setThemeName(u"hostkit-test-theme"_s);

    // Theme icons are looked up again once the theme changes, so look before restoring it.
    const QIcon icon = HostKit::StandardGuiItem::closeIcon();
    const QString name = icon.name();
    const QImage drawn = icon.pixmap(16, 16).toImage();

    QIcon::setThemeSearchPaths(oldPaths);
    QIcon::setThemeName(oldTheme);

    QCOMPARE(name, u"window-close"_s);
    QVERIFY(!drawn.isNull());
    QCOMPARE(drawn.pixelColor(8, 8), colour);
}

void TestStandardGuiItem::styleIconWithoutTheme()
{
    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({mHome.path()});
    QIcon::setThemeName(u"hostkit-no-such-theme"_s);

    const QIcon icon = HostKit::StandardGuiItem::closeIcon();
    QPushButton button;
    HostKit::StandardGuiItem::assignClose(&button);

    QIcon::setThemeSearchPaths(oldPaths);
    QIcon::setThemeName(oldTheme);

    QVERIFY(!icon.isNull());
    QVERIFY(!icon.pixmap(16, 16).isNull());
    QVERIFY(!button.icon().isNull());
}

QTEST_MAIN(TestStandardGuiItem)
#include "tst_standardguiitem.moc"
