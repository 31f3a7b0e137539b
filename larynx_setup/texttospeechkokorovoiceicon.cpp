#include "texttospeechkokoroutils.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace TextToSpeechKokoroUtils
{
namespace
{
constexpr int IconSide = 32;
constexpr int FlagPixelSize = 24;
const QColor codeBadgeColor(0x31, 0x63, 0x9C);
const QColor maleColor(0x1E, 0x88, 0xE5);
const QColor femaleColor(0xD8, 0x1B, 0x60);

// The two regional indicator symbols that fonts with emoji draw as the territory's flag.
QString flagText(const QString &code)
{
    if (code.size() != 2)
        return {};
    QString text;
    for (const QChar c : code) {
        const char32_t codePoint = 0x1F1E6 + (c.toUpper().unicode() - u'A');
        text += QString::fromUcs4(&codePoint, 1);
    }
    return text;
}

bool fontHasAllGlyphs(const QFont &font, const QString &text)
{
    const QFontMetrics metrics(font);
    const QList<uint> codePoints = text.toUcs4();
    return std::all_of(codePoints.cbegin(), codePoints.cend(), [&metrics](uint codePoint) {
        return metrics.inFontUcs4(codePoint);
    });
}

int physicalSide(double ratio)
{
    const double side = IconSide * ratio + 0.5;
    if (side >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return int(side);
}
} // namespace

QIcon voiceIcon(const KokoroVoice &voice, double devicePixelRatio)
{
    // Below 1 the icon would lose detail for nothing: views scale it down anyway.
    const double ratio = std::max(devicePixelRatio, 1.0);
    const int side = physicalSide(ratio);
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const QRect square(0, 0, IconSide, IconSide);
    QFont flagFont = painter.font();
    flagFont.setPixelSize(FlagPixelSize);

    const QString code = QLocale::territoryToCode(voice.locale.territory());
    const QString flag = flagText(code);
    if (!flag.isEmpty() && fontHasAllGlyphs(flagFont, flag)) {
        painter.setFont(flagFont);
        painter.drawText(square, Qt::AlignHCenter | Qt::AlignTop, flag);
    } else {
        // Without emoji glyphs the regional indicators would show as two empty boxes.
        painter.setPen(Qt::NoPen);
        painter.setBrush(codeBadgeColor);
        const QRect badge = square.adjusted(0, square.height() / 8, 0, -square.height() / 4);
        painter.drawRoundedRect(badge, 3.0, 3.0, Qt::AbsoluteSize);
        QFont codeFont = flagFont;
        codeFont.setPixelSize(square.height() / 2);
        codeFont.setWeight(QFont::Bold);
        painter.setFont(codeFont);
        painter.setPen(Qt::white);
        painter.drawText(square, Qt::AlignHCenter | Qt::AlignTop, code);
    }

    QColor genderColor;
    QString sign;
    switch (voice.gender) {
    case Gender::Male:
        genderColor = maleColor;
        sign = u"\u2642"_s;
        break;
    case Gender::Female:
        genderColor = femaleColor;
        sign = u"\u2640"_s;
        break;
    case Gender::Unknown:
        break;
    }
    if (!sign.isEmpty()) {
        const QRect badge(IconSide / 2, IconSide / 2, IconSide / 2, IconSide / 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(genderColor);
        painter.drawEllipse(badge);
        QFont signFont = painter.font();
        signFont.setPixelSize(badge.height() * 3 / 4);
        signFont.setWeight(QFont::Bold);
        painter.setFont(signFont);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, sign);
    }
    painter.end();
    return QIcon(pixmap);
}
} // namespace TextToSpeechKokoroUtils
} // namespace TextEditTextToSpeech
