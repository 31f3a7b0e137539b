#pragma once

#include <texttospeechcompat.h>

#include <QList>
#include <QLocale>
#include <QTextToSpeechEngine>
#include <QVoice>

namespace TextEditTextToSpeech
{
class TextToSpeechKokoro;

// QTextToSpeech's view of the Kokoro read-aloud engine: Kokoro's voices as QVoice values,
// grouped by locale, and the engine's states as QTextToSpeech's. Creating it starts nothing;
// the helper starts with the first say().
class TextToSpeechKokoroEngine : public QTextToSpeechEngine
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroEngine(QObject *parent = nullptr);
    ~TextToSpeechKokoroEngine() override;

    [[nodiscard]] QList<QLocale> availableLocales() const override;
    [[nodiscard]] QList<QVoice> availableVoices() const override;

    void say(const QString &text) override;
    void stop(QTextToSpeech::BoundaryHint boundaryHint) override;
    void pause(QTextToSpeech::BoundaryHint boundaryHint) override;
    void resume() override;

    [[nodiscard]] double rate() const override;
    bool setRate(double rate) override;
    [[nodiscard]] double pitch() const override;
    bool setPitch(double pitch) override;
    [[nodiscard]] QLocale locale() const override;
    bool setLocale(const QLocale &locale) override;
    [[nodiscard]] double volume() const override;
    bool setVolume(double volume) override;
    [[nodiscard]] QVoice voice() const override;
    bool setVoice(const QVoice &voice) override;
    [[nodiscard]] QTextToSpeech::State state() const override;
    [[nodiscard]] QTextToSpeech::ErrorReason errorReason() const override;
    [[nodiscard]] QString errorString() const override;

private:
    void loadVoices();
    [[nodiscard]] QVoice startingVoice() const;
    [[nodiscard]] QVoice firstVoiceOf(const QLocale &locale) const;
    void useVoice(const QVoice &voice);
    void followState(TextToSpeechState state);
    void reportNotInstalled();

    TextToSpeechKokoro *mSpeech = nullptr;
    QList<QVoice> mVoices;
    QList<QLocale> mLocales;
    QVoice mVoice;
    QTextToSpeech::State mState = QTextToSpeech::Ready;
    QTextToSpeech::ErrorReason mErrorReason = QTextToSpeech::ErrorReason::NoError;
    QString mErrorString;
};
} // namespace TextEditTextToSpeech
