#include "standinkokoro.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

bool StandInKokoro::prepare()
{
    const QString home = mDir.filePath(u"home"_s);
    const QString bin = mDir.filePath(u"bin"_s);
    if (!mDir.isValid() || !QDir().mkpath(home + "/.venv/kokoro/bin"_L1) || !QDir().mkpath(bin))
        return false;
    if (!QFile::link(u"/usr/bin/python3"_s, home + "/.venv/kokoro/bin/python"_L1)
        || !QFile::link(QStringLiteral(SOURCE_DIR "/helpers/kokoro_helper.py"), bin + "/kokoro_helper.py"_L1))
        return false;
    qputenv("HOME", QFile::encodeName(home));
    qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
    qputenv("PYTHONPATH", SOURCE_DIR "/helpers/tests/standins");
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("HF_HUB_CACHE", QFile::encodeName(mDir.filePath(u"hub"_s)));
    qputenv("STANDIN_SPACY_INSTALLED", "en_core_web_sm");
    qputenv("STANDIN_LOG", QFile::encodeName(logPath()));
    return true;
}

void StandInKokoro::useVoice(const QByteArray &voice, const QByteArray &charCost, const QByteArray &samplesPerChar)
{
    qputenv("STANDIN_KOKORO_CHAR_COST", charCost);
    if (voice.isEmpty())
        qunsetenv("STANDIN_KOKORO_VOICE");
    else
        qputenv("STANDIN_KOKORO_VOICE", voice);
    if (samplesPerChar.isEmpty())
        qunsetenv("STANDIN_KOKORO_SAMPLES_PER_CHAR");
    else
        qputenv("STANDIN_KOKORO_SAMPLES_PER_CHAR", samplesPerChar);
}

QList<StandInKokoro::Piece> StandInKokoro::piecesSince(double after) const
{
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QList<Piece> pieces;
    while (!log.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(log.readLine()).object();
        const double start = entry.value("start"_L1).toDouble();
        if (entry.value("event"_L1).toString() == "piece"_L1 && start >= after)
            pieces.append({entry.value("text"_L1).toString().size(), start, entry.value("end"_L1).toDouble()});
    }
    return pieces;
}

QString StandInKokoro::logPath() const
{
    return mDir.filePath(u"standin.log"_s);
}
