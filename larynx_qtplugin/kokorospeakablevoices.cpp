#include "kokorospeakablevoices.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace KokoroSpeakableVoices
{
namespace
{
// Where the helper's Hugging Face library keeps what it downloads; the same variables decide.
QString hubCacheDir()
{
    if (const QString cache = qEnvironmentVariable("HF_HUB_CACHE"); !cache.isEmpty())
        return cache;
    if (const QString home = qEnvironmentVariable("HF_HOME"); !home.isEmpty())
        return home + "/hub"_L1;
    return QDir::homePath() + "/.cache/huggingface/hub"_L1;
}

// Identifiers of the voice files in any snapshot of the model's repository.
QSet<QString> cachedVoiceIdentifiers()
{
    QSet<QString> identifiers;
    const QDir snapshots(hubCacheDir() + "/models--hexgrad--Kokoro-82M/snapshots"_L1);
    const QStringList revisions = snapshots.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &revision : revisions) {
        const QFileInfoList files = QDir(snapshots.filePath(revision) + "/voices"_L1).entryInfoList({u"*.pt"_s}, QDir::Files);
        for (const QFileInfo &file : files)
            identifiers.insert(file.completeBaseName());
    }
    return identifiers;
}
} // namespace

QList<TextToSpeechKokoroUtils::KokoroVoice> voices()
{
    const QSet<QString> cached = cachedVoiceIdentifiers();
    QList<TextToSpeechKokoroUtils::KokoroVoice> result;
    const QList<TextToSpeechKokoroUtils::KokoroVoice> catalogue = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::VoiceFilter::All);
    for (const TextToSpeechKokoroUtils::KokoroVoice &voice : catalogue) {
        if (cached.contains(voice.identifier))
            result.append(voice);
    }
    return result.isEmpty() ? TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::VoiceFilter::Default) : result;
}
} // namespace KokoroSpeakableVoices
} // namespace TextEditTextToSpeech
