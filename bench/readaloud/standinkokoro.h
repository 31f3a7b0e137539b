#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

// The real kokoro_helper.py, run by the engine against the stand-in kokoro modules: a home
// whose ~/.venv/kokoro/bin/python is the system's python, the helper on PATH, the stand-ins
// on PYTHONPATH and their log in a temporary folder. The environment of this process is set,
// so it takes effect for every helper started from then on.
class StandInKokoro
{
public:
    // One piece of text the stand-in synthesized, with the clock times (steady clock, as
    // python's time.monotonic()) its work began and ended.
    struct Piece {
        qsizetype length = 0;
        double start = 0;
        double end = 0;
    };

    bool prepare();

    // voice empty: a tone that never pauses, samplesPerChar samples for each character.
    // Otherwise a voice of the stand-in, such as "bursts". Each character costs charCost seconds.
    static void useVoice(const QByteArray &voice, const QByteArray &charCost, const QByteArray &samplesPerChar = {});

    // What the stand-in began after the clock time `after`, in order.
    [[nodiscard]] QList<Piece> piecesSince(double after) const;

private:
    [[nodiscard]] QString logPath() const;

    QTemporaryDir mDir;
};
