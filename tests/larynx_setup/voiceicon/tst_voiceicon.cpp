#include "screenshots.h"

#include <texttospeechkokoroutils.h>

#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTest>

#include <functional>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech::TextToSpeechKokoroUtils;

class VoiceIconTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void pixmapSize_data();
    void pixmapSize();
    void genderBadge_data();
    void genderBadge();
    void codeBadge_data();
    void codeBadge();
    void flag_data();
    void flag();
    void screenshot();

private:
    QFont mApplicationFont;
};

namespace
{
const QColor badgeBlue(0x31, 0x63, 0x9C);
const QColor maleBlue(0x1E, 0x88, 0xE5);
const QColor femaleRed(0xD8, 0x1B, 0x60);

enum class FontKind {
    WithoutFlags,
    WithFlags,
};

KokoroVoice voice(const QString &localeName, Gender gender = Gender::Female)
{
    KokoroVoice result;
    result.identifier = u"xx_test"_s;
    result.name = u"Test"_s;
    result.locale = QLocale(localeName);
    result.gender = gender;
    return result;
}

bool hasEmojiFont()
{
    return QFontDatabase::families().contains(u"Noto Color Emoji"_s);
}

bool fontHasFlags(const QFont &font)
{
    return QFontMetrics(font).inFontUcs4(0x1F1FA) && QFontMetrics(font).inFontUcs4(0x1F1F8);
}

// Without merging, the painter's font is the only font asked, so the fallback to an emoji
// font that the system may have does not hide the missing glyphs.
QFont fontWithoutFlags()
{
    QFont font(u"DejaVu Sans"_s);
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

QFont fontWithFlags()
{
    // Built from a family, not from QFont(), which would copy the current application font.
    QFont font(u"DejaVu Sans"_s);
    font.setFamilies({u"DejaVu Sans"_s, u"Noto Color Emoji"_s});
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

// Installs the application font, the one a painter on a pixmap starts with. False when the
// machine cannot provide it.
bool useFont(FontKind kind)
{
    if (kind == FontKind::WithFlags) {
        if (!hasEmojiFont())
            return false;
        QGuiApplication::setFont(fontWithFlags());
        return fontHasFlags(QGuiApplication::font());
    }
    QGuiApplication::setFont(fontWithoutFlags());
    return !fontHasFlags(QGuiApplication::font());
}

QImage render(const KokoroVoice &voice, double ratio)
{
    const QIcon icon = voiceIcon(voice, ratio);
    const QList<QSize> sizes = icon.availableSizes();
    if (sizes.size() != 1)
        return {};
    return icon.pixmap(QSize(32, 32), std::max(ratio, 1.0)).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The colour at a logical position of the 32 x 32 square.
QColor logicalPixel(const QImage &image, int x, int y)
{
    const double ratio = image.width() / 32.0;
    return image.pixelColor(int(x * ratio), int(y * ratio));
}

int countPixels(const QImage &image, const QRect &logicalRect, const std::function<bool(const QColor &)> &matches)
{
    const double ratio = image.width() / 32.0;
    const QRect physical(int(logicalRect.x() * ratio), int(logicalRect.y() * ratio), int(logicalRect.width() * ratio),
                         int(logicalRect.height() * ratio));
    int count = 0;
    for (int y = physical.top(); y <= physical.bottom(); ++y) {
        for (int x = physical.left(); x <= physical.right(); ++x) {
            if (matches(image.pixelColor(x, y)))
                ++count;
        }
    }
    return count;
}

int countColour(const QImage &image, const QRect &logicalRect, const QColor &colour)
{
    return countPixels(image, logicalRect, [&colour](const QColor &c) {
        return c.rgba() == colour.rgba();
    });
}

int countWhite(const QImage &image, const QRect &logicalRect)
{
    return countPixels(image, logicalRect, [](const QColor &c) {
        return c.alpha() == 255 && c.red() >= 230 && c.green() >= 230 && c.blue() >= 230;
    });
}

int countOpaque(const QImage &image, const QRect &logicalRect)
{
    return countPixels(image, logicalRect, [](const QColor &c) {
        return c.alpha() > 0;
    });
}

const QRect genderQuarter(16, 16, 16, 16);
// Inside the code badge, below the letters and left of the gender badge.
constexpr int badgeProbeX = 8;
constexpr int badgeProbeY = 20;
} // namespace

void VoiceIconTest::init()
{
    mApplicationFont = QGuiApplication::font();
}

void VoiceIconTest::cleanup()
{
    QGuiApplication::setFont(mApplicationFont);
}

void VoiceIconTest::pixmapSize_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<int>("side");
    QTest::addColumn<double>("pixmapRatio");

    QTest::newRow("0.5 is raised to 1") << 0.5 << 32 << 1.0;
    QTest::newRow("1") << 1.0 << 32 << 1.0;
    QTest::newRow("1.25 rounds 40.0") << 1.25 << 40 << 1.25;
    QTest::newRow("1.5") << 1.5 << 48 << 1.5;
    QTest::newRow("1.26 rounds 40.32 down") << 1.26 << 40 << 1.26;
    QTest::newRow("1.27 rounds 40.64 up") << 1.27 << 41 << 1.27;
    QTest::newRow("2") << 2.0 << 64 << 2.0;
    QTest::newRow("3") << 3.0 << 96 << 3.0;
    QTest::newRow("0 is raised to 1") << 0.0 << 32 << 1.0;
    QTest::newRow("negative is raised to 1") << -2.0 << 32 << 1.0;
}

void VoiceIconTest::pixmapSize()
{
    QFETCH(double, ratio);
    QFETCH(int, side);
    QFETCH(double, pixmapRatio);

    const QIcon icon = voiceIcon(voice(u"en_US"_s), ratio);
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(side, side)});
    // Asked for the widget's 32 logical pixels at its ratio, the icon gives its own pixmap unscaled.
    const QPixmap pixmap = icon.pixmap(QSize(32, 32), ratio);
    QCOMPARE(pixmap.size(), QSize(side, side));
    QCOMPARE(pixmap.devicePixelRatio(), pixmapRatio);
}

void VoiceIconTest::genderBadge_data()
{
    QTest::addColumn<FontKind>("fontKind");
    QTest::addColumn<QString>("localeName");
    QTest::addColumn<Gender>("gender");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<QColor>("colour");

    for (const double ratio : {1.0, 2.0}) {
        const QByteArray suffix = ratio == 1.0 ? "" : " at ratio 2";
        QTest::addRow("male on a code badge%s", suffix.constData())
            << FontKind::WithoutFlags << u"en_US"_s << Gender::Male << ratio << maleBlue;
        QTest::addRow("female on a code badge%s", suffix.constData())
            << FontKind::WithoutFlags << u"en_GB"_s << Gender::Female << ratio << femaleRed;
        QTest::addRow("unknown on a code badge%s", suffix.constData())
            << FontKind::WithoutFlags << u"fr_FR"_s << Gender::Unknown << ratio << QColor();
        QTest::addRow("male on a flag%s", suffix.constData()) << FontKind::WithFlags << u"en_US"_s << Gender::Male << ratio << maleBlue;
        QTest::addRow("female on a flag%s", suffix.constData())
            << FontKind::WithFlags << u"it_IT"_s << Gender::Female << ratio << femaleRed;
        QTest::addRow("unknown on a flag%s", suffix.constData())
            << FontKind::WithFlags << u"pt_BR"_s << Gender::Unknown << ratio << QColor();
    }
    QTest::newRow("male, territory without two-letter code") << FontKind::WithFlags << u"en_001"_s << Gender::Male << 1.0 << maleBlue;
}

void VoiceIconTest::genderBadge()
{
    QFETCH(FontKind, fontKind);
    QFETCH(QString, localeName);
    QFETCH(Gender, gender);
    QFETCH(double, ratio);
    QFETCH(QColor, colour);

    if (!useFont(fontKind))
        QSKIP("No font with the regional indicator glyphs");
    const QImage image = render(voice(localeName, gender), ratio);
    QVERIFY(!image.isNull());

    if (!colour.isValid()) {
        QCOMPARE(countColour(image, QRect(0, 0, 32, 32), maleBlue), 0);
        QCOMPARE(countColour(image, QRect(0, 0, 32, 32), femaleRed), 0);
        return;
    }
    // The disc fills much of the quarter and lies on top of the flag or the code badge; the
    // white sign sits in its middle.
    const int area = int(16 * 16 * ratio * ratio);
    QVERIFY2(countColour(image, genderQuarter, colour) > area / 3, qPrintable(QString::number(countColour(image, genderQuarter, colour))));
    QCOMPARE(logicalPixel(image, 24, 17), colour);
    QCOMPARE(logicalPixel(image, 17, 24), colour);
    QVERIFY(countWhite(image, QRect(20, 20, 8, 8)) > 0);
    // Nothing outside the quarter has the gender colour.
    QCOMPARE(countColour(image, QRect(0, 0, 32, 16), colour), 0);
    QCOMPARE(countColour(image, QRect(0, 16, 16, 16), colour), 0);
}

void VoiceIconTest::codeBadge_data()
{
    QTest::addColumn<FontKind>("fontKind");
    QTest::addColumn<QString>("localeName");
    QTest::addColumn<bool>("hasText");

    QTest::newRow("en_US, font without flags") << FontKind::WithoutFlags << u"en_US"_s << true;
    QTest::newRow("pt_BR, font without flags") << FontKind::WithoutFlags << u"pt_BR"_s << true;
    QTest::newRow("en_001, font without flags") << FontKind::WithoutFlags << u"en_001"_s << true;
    // A three-character code never becomes a flag, whatever the font.
    QTest::newRow("en_001, font with flags") << FontKind::WithFlags << u"en_001"_s << true;
    QTest::newRow("C locale, no code") << FontKind::WithoutFlags << u"C"_s << false;
}

void VoiceIconTest::codeBadge()
{
    QFETCH(FontKind, fontKind);
    QFETCH(QString, localeName);
    QFETCH(bool, hasText);

    if (!useFont(fontKind))
        QSKIP("No font with the regional indicator glyphs");
    const QImage image = render(voice(localeName, Gender::Unknown), 1.0);
    QVERIFY(!image.isNull());

    // Badge rectangle: rows 4 to 23 over the whole width, with rounded corners; the probes lie
    // below the letters.
    QCOMPARE(logicalPixel(image, badgeProbeX, badgeProbeY), badgeBlue);
    QCOMPARE(logicalPixel(image, 1, 20), badgeBlue);
    QCOMPARE(logicalPixel(image, 14, 23), badgeBlue);
    QCOMPARE(logicalPixel(image, 30, 17), badgeBlue);
    QVERIFY(countColour(image, QRect(0, 4, 32, 1), badgeBlue) > 0);
    QVERIFY(logicalPixel(image, 0, 4).alpha() < 64);
    QVERIFY(logicalPixel(image, 0, 23).alpha() < 64);
    QCOMPARE(countColour(image, QRect(0, 0, 32, 4), badgeBlue), 0);
    QCOMPARE(countOpaque(image, QRect(0, 24, 32, 8)), 0);
    // The code in white letters, in the badge's upper part.
    if (hasText)
        QVERIFY(countWhite(image, QRect(0, 4, 32, 14)) > 20);
    else
        QCOMPARE(countWhite(image, QRect(0, 0, 32, 32)), 0);
}

void VoiceIconTest::flag_data()
{
    QTest::addColumn<QFont>("font");

    QTest::newRow("emoji font") << QFont(u"Noto Color Emoji"_s);
    QTest::newRow("family list ending with the emoji font") << fontWithFlags();
}

void VoiceIconTest::flag()
{
    QFETCH(QFont, font);

    if (!hasEmojiFont())
        QSKIP("Noto Color Emoji is not installed");
    QGuiApplication::setFont(font);
    QVERIFY(fontHasFlags(QGuiApplication::font()));

    const QImage us = render(voice(u"en_US"_s, Gender::Unknown), 1.0);
    const QImage gb = render(voice(u"en_GB"_s, Gender::Unknown), 1.0);
    QVERIFY(!us.isNull());
    QVERIFY(!gb.isNull());

    for (const QImage &image : {us, gb}) {
        QVERIFY(logicalPixel(image, badgeProbeX, badgeProbeY) != badgeBlue);
        QCOMPARE(countColour(image, QRect(0, 0, 32, 32), badgeBlue), 0);
        QVERIFY(countOpaque(image, QRect(0, 0, 32, 16)) > 32 * 16 / 4);
        // A coloured picture, not white letters.
        QVERIFY(countWhite(image, QRect(0, 0, 32, 16)) < 32 * 16 / 2);
    }
    // Each territory its own flag.
    QVERIFY(us.copy(0, 0, 32, 16) != gb.copy(0, 0, 32, 16));
}

void VoiceIconTest::screenshot()
{
    const QString directory = Screenshots::folder();
    if (directory.isEmpty())
        QSKIP("EARLOBE_SCREENSHOT_DIR is not set");
    QVERIFY(QDir().mkpath(directory));

    const QList<KokoroVoice> voices{voice(u"en_US"_s, Gender::Female),  voice(u"en_GB"_s, Gender::Male),
                                    voice(u"fr_FR"_s, Gender::Female),  voice(u"pt_BR"_s, Gender::Male),
                                    voice(u"ja_JP"_s, Gender::Unknown), voice(u"en_001"_s, Gender::Male)};
    constexpr double ratio = 2.0;
    QImage sheet(int(32 * ratio * voices.size()), int(32 * ratio * 2), QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    int row = 0;
    for (const FontKind kind : {FontKind::WithoutFlags, FontKind::WithFlags}) {
        if (useFont(kind)) {
            for (int column = 0; column < voices.size(); ++column)
                painter.drawImage(QPoint(int(column * 32 * ratio), int(row * 32 * ratio)), render(voices.at(column), ratio));
        }
        ++row;
    }
    painter.end();
    QVERIFY(sheet.save(directory + u"/voiceicons.png"_s));
}

QTEST_MAIN(VoiceIconTest)
#include "tst_voiceicon.moc"
