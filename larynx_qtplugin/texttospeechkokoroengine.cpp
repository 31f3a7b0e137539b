#include "texttospeechkokoroengine.h"
#include "kokorospeakablevoices.h"

#include <texttospeechkokoro.h>
#include <texttospeechkokoroutils.h>
#include <translation.h>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
bool isInstalled()
{
    return !TextToSpeechKokoroUtils::venvPython().isEmpty() && !TextToSpeechKokoroUtils::pythonScriptPath().isEmpty();
}

QString notInstalledText()
{
    return HostKit::i18nd(TRANSLATION_DOMAIN,
                          "Kokoro is not installed. Install it with \"earlobe-larynx-setup install kokoro\" and a voice with "
                          "\"earlobe-larynx-setup download-voices af_heart\", or from the read-aloud settings of an application "
                          "that offers them.");
}

QVoice::Gender genderOf(TextToSpeechKokoroUtils::Gender gender)
{
    switch (gender) {
    case TextToSpeechKokoroUtils::Gender::Female:
        return QVoice::Female;
    case TextToSpeechKokoroUtils::Gender::Male:
        return QVoice::Male;
    case TextToSpeechKokoroUtils::Gender::Unknown:
        break;
    }
    return QVoice::Unknown;
}

// Qt's states have no Synthesizing; this engine only ever speaks.
QTextToSpeech::State qtState(TextToSpeechState state)
{
    return state == TextToSpeechState::Synthesizing ? QTextToSpeech::Speaking : QTextToSpeech::State(int(state));
}
} // namespace

TextToSpeechKokoroEngine::TextToSpeechKokoroEngine(QObject *parent)
    : QTextToSpeechEngine(parent)
    , mSpeech(new TextToSpeechKokoro(this))
{
    loadVoices();
    useVoice(startingVoice());
    connect(mSpeech, &TextToSpeechKokoro::stateChanged, this, &TextToSpeechKokoroEngine::followState);
    connect(mSpeech, &TextToSpeechKokoro::errorOccurred, this, [this](QTextToSpeech::ErrorReason reason, const QString &text) {
        mErrorReason = reason;
        mErrorString = text;
        Q_EMIT errorOccurred(reason, text);
    });
    if (!isInstalled()) {
        mState = QTextToSpeech::Error;
        mErrorReason = QTextToSpeech::ErrorReason::Initialization;
        mErrorString = notInstalledText();
    }
}

TextToSpeechKokoroEngine::~TextToSpeechKokoroEngine() = default;

// Made once: QVoice compares by its data too, so every call must hand out the same values.
void TextToSpeechKokoroEngine::loadVoices()
{
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = KokoroSpeakableVoices::voices();
    for (const TextToSpeechKokoroUtils::KokoroVoice &voice : voices) {
        mVoices.append(createVoice(voice.name, voice.locale, genderOf(voice.gender), QVoice::Adult, voice.identifier));
        if (!mLocales.contains(voice.locale))
            mLocales.append(voice.locale);
    }
}

// The application's locale when a voice speaks its language, else American English, the
// voices Kokoro speaks best.
QVoice TextToSpeechKokoroEngine::startingVoice() const
{
    const QLocale wanted;
    for (const QLocale &locale : mLocales) {
        if (locale == wanted)
            return firstVoiceOf(locale);
    }
    for (const QLocale &locale : mLocales) {
        if (locale.language() == wanted.language())
            return firstVoiceOf(locale);
    }
    const QVoice english = firstVoiceOf(QLocale(QLocale::English, QLocale::UnitedStates));
    return english == QVoice() ? mVoices.value(0) : english;
}

QVoice TextToSpeechKokoroEngine::firstVoiceOf(const QLocale &locale) const
{
    for (const QVoice &voice : mVoices) {
        if (voice.locale() == locale)
            return voice;
    }
    return {};
}

void TextToSpeechKokoroEngine::useVoice(const QVoice &voice)
{
    mVoice = voice;
    mSpeech->setVoiceIdentifier(voiceData(voice).toString());
}

QList<QLocale> TextToSpeechKokoroEngine::availableLocales() const
{
    return mLocales;
}

QList<QVoice> TextToSpeechKokoroEngine::availableVoices() const
{
    QList<QVoice> voices;
    for (const QVoice &voice : mVoices) {
        if (voice.locale() == mVoice.locale())
            voices.append(voice);
    }
    return voices;
}

void TextToSpeechKokoroEngine::say(const QString &text)
{
    if (!isInstalled()) {
        reportNotInstalled();
        return;
    }
    mSpeech->say(text);
}

void TextToSpeechKokoroEngine::stop(QTextToSpeech::BoundaryHint boundaryHint)
{
    Q_UNUSED(boundaryHint)
    mSpeech->stop();
}

// Kokoro's audio has no word boundaries to wait for: every hint pauses at once.
void TextToSpeechKokoroEngine::pause(QTextToSpeech::BoundaryHint boundaryHint)
{
    Q_UNUSED(boundaryHint)
    mSpeech->pause();
}

void TextToSpeechKokoroEngine::resume()
{
    mSpeech->resume();
}

double TextToSpeechKokoroEngine::rate() const
{
    return mSpeech->rate();
}

bool TextToSpeechKokoroEngine::setRate(double rate)
{
    return mSpeech->setRate(rate);
}

double TextToSpeechKokoroEngine::pitch() const
{
    return mSpeech->pitch();
}

bool TextToSpeechKokoroEngine::setPitch(double pitch)
{
    return mSpeech->setPitch(pitch);
}

QLocale TextToSpeechKokoroEngine::locale() const
{
    return mVoice.locale();
}

bool TextToSpeechKokoroEngine::setLocale(const QLocale &locale)
{
    if (!mLocales.contains(locale))
        return false;
    if (mVoice.locale() != locale)
        useVoice(firstVoiceOf(locale));
    return true;
}

double TextToSpeechKokoroEngine::volume() const
{
    return mSpeech->volume();
}

bool TextToSpeechKokoroEngine::setVolume(double volume)
{
    return mSpeech->setVolume(volume);
}

QVoice TextToSpeechKokoroEngine::voice() const
{
    return mVoice;
}

bool TextToSpeechKokoroEngine::setVoice(const QVoice &voice)
{
    if (!mVoices.contains(voice))
        return false;
    useVoice(voice);
    return true;
}

QTextToSpeech::State TextToSpeechKokoroEngine::state() const
{
    return mState;
}

QTextToSpeech::ErrorReason TextToSpeechKokoroEngine::errorReason() const
{
    return mErrorReason;
}

QString TextToSpeechKokoroEngine::errorString() const
{
    return mErrorString;
}

void TextToSpeechKokoroEngine::followState(TextToSpeechState state)
{
    const QTextToSpeech::State newState = qtState(state);
    mErrorReason = mSpeech->errorReason();
    mErrorString = mSpeech->errorString();
    if (newState == mState)
        return;
    mState = newState;
    Q_EMIT stateChanged(newState);
}

void TextToSpeechKokoroEngine::reportNotInstalled()
{
    mErrorReason = QTextToSpeech::ErrorReason::Initialization;
    mErrorString = notInstalledText();
    if (mState != QTextToSpeech::Error) {
        mState = QTextToSpeech::Error;
        Q_EMIT stateChanged(mState);
    }
    Q_EMIT errorOccurred(mErrorReason, mErrorString);
}
} // namespace TextEditTextToSpeech
