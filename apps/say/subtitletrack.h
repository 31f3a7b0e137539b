#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The sentences and words of one text at the times the voice reached them, written as WebVTT:
// one cue per sentence, lasting until the next one starts (the last until the audio ends),
// with each later word's time as an inline timestamp before it. Times are counted in ticks of
// any clock (audio bytes, milliseconds) and turned into milliseconds on output.
class SubtitleTrack
{
public:
    explicit SubtitleTrack(const QString &text);

    // start and length index the text in UTF-16 code units, as QString does.
    void addSentence(qsizetype start, qsizetype length, qint64 time);
    // A word outside the last sentence added is dropped.
    void addWord(qsizetype start, qsizetype length, qint64 time);

    [[nodiscard]] QByteArray toWebVtt(qint64 endTime, qint64 ticksPerSecond) const;
    // The whole file at once, to any target OutputTarget takes.
    bool write(const QString &path, qint64 endTime, qint64 ticksPerSecond, QString *errorString) const;

    // HH:MM:SS.mmm
    static QString timestamp(qint64 milliseconds);

private:
    struct Mark {
        qsizetype start = 0;
        qsizetype length = 0;
        qint64 time = 0;
    };
    struct Sentence {
        Mark mark;
        QList<Mark> words;
    };

    [[nodiscard]] QString cueText(const Sentence &sentence, qint64 startMs, qint64 endMs, qint64 ticksPerSecond) const;

    QString mText;
    QList<Sentence> mSentences;
};
