// Read-aloud through TextToSpeechKokoro, timed by ear. The engine plays into the null sink of a
// private PulseAudio server; a MonitorRecorder hears the sink on the steady clock that also
// timestamps the engine's signals and the stand-in kokoro's log. The real kokoro_helper.py runs
// against the stand-in modules of helpers/tests/standins.
//
// Run (a Release build with the test fixtures; needs pulseaudio and parec):
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench -j2 --target bench_readaloud_engine
//   build-bench/bin/bench_readaloud_engine [quick]
// quick: two runs of each figure and a 20 s memory window, about 1 min 40 s; otherwise five
// runs and a 40 s window, about 4 min (an engine without word marks skips those: 30 s and
// 1 min 25 s).
//
// Printed next to their targets, as medians over the runs:
// - say() to the first sound of a text of many sentences, against the synthesis time of its
//   first sentence (from the stand-in's log) plus 0.15 s;
// - the last sound to Ready, and say() to Ready, for a text of one second of audio;
// - how far sayingWord() is from the sound of its word (median and 90th percentile), at rate
//   0, after a pause and resume, and at rates -1 and 1, and the longest stall between two
//   words: the time between their onsets less their distance in the stream. The stand-in
//   voice "bursts" renders each word as a burst of tone, and synthesize() of the same text
//   gives the sample where each word begins. "n/a" when the engine signals no words;
// - the growth of this process's resident memory while a 200,000 character text, which the
//   stand-in synthesizes far faster than real time, plays for a fixed window, and the longest
//   stall there: silence inside a tone that never pauses.
// The recorder places sounds up to about 10 ms early (the null sink renders that far ahead).
#include "engineprobe.h"
#include "monitorrecorder.h"
#include "pulseaudioserver.h"
#include "standinkokoro.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int Rate = MonitorRecorder::SampleRate;
constexpr int Threshold = 1000;
// Silence that separates two words of the bursts voice; a tone never falls silent this long.
constexpr double WordSilence = 0.015;
constexpr double Unknown = std::numeric_limits<double>::quiet_NaN();

// The continuous stand-in voice speaks about 15 characters a second, as people do.
constexpr char SamplesPerChar[] = "1600";
// 2 ms a character: a sentence of 70 characters costs 140 ms.
constexpr char CharCost[] = "0.002";
// 200,000 characters in 4 s of synthesis: 3.7 hours of audio.
constexpr char FastCharCost[] = "0.00002";
constexpr qsizetype LongTextLength = 200000;

const char *const Sentences[] = {
    "The old lighthouse keeper climbed the stairs every evening at dusk.",
    "He carried a lamp, a flask of tea and a notebook full of small drawings.",
    "Nobody in the village knew what he drew, and he never said.",
    "When the storms came in from the west, the light turned all night long!",
    "Ships passed far out at sea, their own lights blinking back like answers.",
    "Was he lonely up there? Perhaps, but he did not seem to mind.",
    "In spring the gulls returned, loud and hungry, and he fed them crusts.",
};
// 15 characters: one second of the continuous voice.
const QString OneSecondText = u"Say this aloud."_s;

struct Options {
    int runs = 5;
    double memoryWindow = 40;
};

QString makeText(qsizetype length)
{
    QString text;
    for (int i = 0; text.size() < length; ++i)
        text += (text.isEmpty() ? ""_L1 : " "_L1) + QLatin1StringView(Sentences[i % std::size(Sentences)]);
    return text;
}

bool waitFor(const std::function<bool()> &done, double seconds)
{
    const QDeadlineTimer deadline(qint64(seconds * 1000));
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    poll.start(5);
    if (!done())
        loop.exec();
    return done();
}

void wait(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

QList<double> known(QList<double> values)
{
    values.removeIf([](double value) {
        return std::isnan(value);
    });
    std::sort(values.begin(), values.end());
    return values;
}

double percentile(const QList<double> &values, double fraction)
{
    const QList<double> sorted = known(values);
    if (sorted.isEmpty())
        return Unknown;
    // Between the two nearest values, as numpy's percentile does.
    const double position = fraction * double(sorted.size() - 1);
    const qsizetype below = qsizetype(position);
    const qsizetype above = std::min(below + 1, sorted.size() - 1);
    return sorted.at(below) + (position - double(below)) * (sorted.at(above) - sorted.at(below));
}

double median(const QList<double> &values)
{
    return percentile(values, 0.5);
}

double residentMiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return Unknown;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toDouble() / 1024;
    }
    return Unknown;
}

// ---------------------------------------------------------------- latency

struct Latency {
    QList<double> firstSound;
    QList<double> firstSentence;
    QList<double> toSynthesis;
    QList<double> synthesisToSound;
    QList<double> lastSoundToReady;
    QList<double> oneSecondToReady;
    QList<double> oneSecondHeard;
};

void measureFirstSound(EngineProbe &engine, MonitorRecorder &recorder, const StandInKokoro &standIn, Latency &latency)
{
    recorder.clear();
    const double said = MonitorRecorder::clock();
    engine->say(makeText(2000));
    waitFor(
        [&recorder] {
            return !recorder.onsets(Threshold, WordSilence).isEmpty();
        },
        10);
    const QList<double> onsets = recorder.onsets(Threshold, WordSilence);
    engine->stop();
    const double sound = onsets.isEmpty() ? Unknown : onsets.first();
    const QList<StandInKokoro::Piece> pieces = standIn.piecesSince(said);
    const StandInKokoro::Piece first = pieces.isEmpty() ? StandInKokoro::Piece{0, Unknown, Unknown} : pieces.first();
    latency.firstSound.append(sound - said);
    latency.firstSentence.append(first.end - first.start);
    latency.toSynthesis.append(first.start - said);
    latency.synthesisToSound.append(sound - first.end);
    // The helper finishes the sentence it is in before it takes the next request.
    wait(0.5);
}

void measureOneSecond(EngineProbe &engine, MonitorRecorder &recorder, Latency &latency)
{
    recorder.clear();
    engine.forget();
    const double said = MonitorRecorder::clock();
    engine->say(OneSecondText);
    const bool ready = engine.waitUntilReady(10);
    // What the sink played last reaches the recorder a little later.
    wait(0.3);
    const QList<MonitorRecorder::Sound> sounds = recorder.sounds(Threshold, WordSilence);
    if (!ready || sounds.isEmpty()) {
        latency.oneSecondToReady.append(Unknown);
        return;
    }
    latency.oneSecondToReady.append(engine.readyTime() - said);
    latency.lastSoundToReady.append(engine.readyTime() - sounds.last().end);
    latency.oneSecondHeard.append(sounds.last().end - sounds.first().start);
}

Latency measureLatency(MonitorRecorder &recorder, const StandInKokoro &standIn, int runs)
{
    Latency latency;
    StandInKokoro::useVoice({}, CharCost, SamplesPerChar);
    EngineProbe engine;
    if (!engine.warmUp())
        return latency;
    for (int run = 0; run < runs; ++run) {
        measureFirstSound(engine, recorder, standIn, latency);
        measureOneSecond(engine, recorder, latency);
    }
    return latency;
}

// ---------------------------------------------------------------- word marks

struct MarkErrors {
    // sayingWord() less the onset of its word: positive when the signal comes late.
    QList<double> errors;
    QList<double> stalls;
    int unmatchedRuns = 0;
};

struct Marks {
    bool signalled = false;
    MarkErrors rateZero;
    MarkErrors afterPause;
    MarkErrors slowest;
    MarkErrors fastest;
};

// Where each word of the text begins in the stream, in seconds, from synthesize().
QList<double> wordPositions(EngineProbe &engine, const QString &text)
{
    engine.forget();
    engine->synthesize(text);
    if (!engine.waitUntilReady(60))
        return {};
    QList<double> positions;
    const QList<EngineProbe::Word> words = engine.words();
    for (const EngineProbe::Word &word : words)
        positions.append(double(word.bytes) / (2 * Rate));
    return positions;
}

// Says the text and compares each sayingWord() with the onset of its word. A pause cuts the
// word it falls into in two, so with one only the words signalled after it count, matched with
// the last onsets heard.
void hearWords(EngineProbe &engine, MonitorRecorder &recorder, const QString &text, bool pause, MarkErrors &marks)
{
    const QList<double> positions = wordPositions(engine, text);
    recorder.clear();
    engine.forget();
    engine->say(text);
    double paused = -1;
    if (pause) {
        waitFor(
            [&recorder] {
                const QList<double> onsets = recorder.onsets(Threshold, WordSilence);
                return !onsets.isEmpty() && MonitorRecorder::clock() > onsets.first() + 1.0;
            },
            10);
        paused = MonitorRecorder::clock();
        engine->pause();
        wait(1.0);
        engine->resume();
    }
    engine.waitUntilReady(120);
    wait(0.3);
    const QList<EngineProbe::Word> words = engine.words();
    qsizetype first = 0;
    while (first < words.size() && words.at(first).time < paused)
        ++first;
    const qsizetype count = words.size() - first;
    QList<double> onsets = recorder.onsets(Threshold, WordSilence);
    onsets.removeIf([paused](double onset) {
        return onset < paused;
    });
    const qsizetype cut = onsets.size() - count;
    if (words.size() != positions.size() || count == 0 || cut < 0 || cut > (pause ? 1 : 0)) {
        std::fprintf(stderr, "words: %d in the stream, %d signalled, %d heard; run left out\n", int(positions.size()), int(words.size()),
                     int(onsets.size()));
        ++marks.unmatchedRuns;
        return;
    }
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype word = first + i;
        const double onset = onsets.at(cut + i);
        marks.errors.append(words.at(word).time - onset);
        if (i > 0)
            marks.stalls.append(onset - onsets.at(cut + i - 1) - (positions.at(word) - positions.at(word - 1)));
    }
}

Marks measureMarks(MonitorRecorder &recorder, int runs)
{
    Marks marks;
    StandInKokoro::useVoice("bursts", CharCost);
    EngineProbe engine;
    marks.signalled = engine.warmUp() && !wordPositions(engine, u"Any words at all?"_s).isEmpty();
    const QString text = makeText(100);
    for (int run = 0; marks.signalled && run < runs; ++run) {
        hearWords(engine, recorder, text, false, marks.rateZero);
        hearWords(engine, recorder, text, true, marks.afterPause);
        engine->setRate(-1);
        hearWords(engine, recorder, text, false, marks.slowest);
        engine->setRate(1);
        hearWords(engine, recorder, text, false, marks.fastest);
        engine->setRate(0);
    }
    return marks;
}

// ---------------------------------------------------------------- memory

struct Memory {
    double growth = Unknown;
    double recording = Unknown;
    double heard = Unknown;
    double longestStall = Unknown;
    double stallAt = Unknown;
    qsizetype synthesized = 0;
    double synthesisTime = Unknown;
};

Memory measureMemory(MonitorRecorder &recorder, const StandInKokoro &standIn, double window)
{
    Memory memory;
    StandInKokoro::useVoice({}, FastCharCost, SamplesPerChar);
    EngineProbe engine;
    if (!engine.warmUp())
        return memory;
    recorder.clear();
    const double before = residentMiB();
    const qsizetype samplesBefore = recorder.sampleCount();
    double peak = before;
    const double said = MonitorRecorder::clock();
    engine->say(makeText(LongTextLength));
    while (MonitorRecorder::clock() < said + window && !engine.failed()) {
        wait(0.25);
        peak = std::max(peak, residentMiB());
    }
    engine->stop();
    const QList<StandInKokoro::Piece> pieces = standIn.piecesSince(said);
    for (const StandInKokoro::Piece &piece : pieces)
        memory.synthesized += piece.length;
    memory.synthesisTime = pieces.isEmpty() ? Unknown : pieces.last().end - said;
    const QList<MonitorRecorder::Sound> sounds = recorder.sounds(Threshold, 0.005);
    if (engine.failed() || sounds.isEmpty())
        return memory;
    memory.growth = peak - before;
    memory.recording = double(recorder.sampleCount() - samplesBefore) * 2 / (1024 * 1024);
    memory.heard = sounds.last().end - sounds.first().start;
    memory.longestStall = 0;
    for (qsizetype i = 1; i < sounds.size(); ++i) {
        if (sounds.at(i).start - sounds.at(i - 1).end > memory.longestStall) {
            memory.longestStall = sounds.at(i).start - sounds.at(i - 1).end;
            memory.stallAt = sounds.at(i - 1).end - sounds.first().start;
        }
    }
    return memory;
}

// ---------------------------------------------------------------- report

QByteArray seconds(double value)
{
    return std::isnan(value) ? QByteArray("n/a") : QByteArray::number(value, 'f', 3) + " s";
}

void row(const char *figure, const QByteArray &measured, const QByteArray &target, double value = Unknown, double limit = Unknown)
{
    const char *verdict = std::isnan(value) || std::isnan(limit) ? "" : value <= limit ? "ok" : "MISSED";
    std::printf("  %-44s %12s   %-34s %s\n", figure, measured.constData(), target.constData(), verdict);
}

void reportLatency(const Latency &latency)
{
    const double firstSound = median(latency.firstSound);
    const double synthesis = median(latency.firstSentence);
    row("say -> first sound", seconds(firstSound), "<= first sentence " + seconds(synthesis) + " + 0.150 s", firstSound, synthesis + 0.15);
    std::printf("    (say -> its synthesis starts %s; synthesis ends -> sound %s)\n", seconds(median(latency.toSynthesis)).constData(),
                seconds(median(latency.synthesisToSound)).constData());
    const double lastSound = median(latency.lastSoundToReady);
    row("last sound -> Ready", seconds(lastSound), "<= 0.300 s", lastSound, 0.3);
    const double oneSecond = median(latency.oneSecondToReady);
    row("1 s of audio: say -> Ready", seconds(oneSecond), "<= 1.400 s", oneSecond, 1.4);
    std::printf("    (of that one second, %s heard)\n", seconds(median(latency.oneSecondHeard)).constData());
}

void reportWordErrors(const char *condition, const MarkErrors &errors, bool signalled)
{
    const QByteArray label = "sayingWord error, "_ba + condition;
    if (!signalled) {
        row(label.constData(), "n/a", "p90 <= 0.150 s");
        return;
    }
    QList<double> sizes;
    for (double error : errors.errors)
        sizes.append(std::abs(error));
    const double p90 = percentile(sizes, 0.9);
    row(label.constData(), seconds(median(sizes)) + " / " + seconds(p90), "p90 <= 0.150 s", p90, 0.15);
    std::printf("    (%d words; signal less sound: median %s, from %s to %s)\n", int(errors.errors.size()),
                seconds(median(errors.errors)).constData(), seconds(percentile(errors.errors, 0)).constData(),
                seconds(percentile(errors.errors, 1)).constData());
    if (errors.unmatchedRuns > 0)
        std::printf("    (%d runs where the words heard and signalled did not match were left out)\n", errors.unmatchedRuns);
}

void reportMarks(const Marks &marks)
{
    reportWordErrors("rate 0 (median / p90)", marks.rateZero, marks.signalled);
    reportWordErrors("after pause and resume", marks.afterPause, marks.signalled);
    reportWordErrors("rate -1", marks.slowest, marks.signalled);
    reportWordErrors("rate 1", marks.fastest, marks.signalled);
    const QList<double> stalls = marks.rateZero.stalls + marks.afterPause.stalls + marks.slowest.stalls + marks.fastest.stalls;
    const double longest = percentile(stalls, 1);
    row("longest stall between words", seconds(longest), "<= 0.050 s", longest, 0.05);
    if (!stalls.isEmpty())
        std::printf("    (%d pairs of words; onset gap less stream gap from %s to %s)\n", int(stalls.size()),
                    seconds(percentile(stalls, 0)).constData(), seconds(longest).constData());
}

void reportMemory(const Memory &memory, double window)
{
    const QByteArray figure = "memory growth, " + QByteArray::number(window, 'f', 0) + " s of a 200,000 character text";
    const QByteArray growth = std::isnan(memory.growth) ? QByteArray("n/a") : QByteArray::number(memory.growth, 'f', 1) + " MiB";
    row(figure.constData(), growth, "<= 50 MiB", memory.growth, 50);
    std::printf("    (%s heard, whose recording takes %.1f MiB of the growth; the stand-in, at %s s a character,\n"
                "     synthesized %lld characters, the last %s after say)\n",
                seconds(memory.heard).constData(), memory.recording, FastCharCost, static_cast<long long>(memory.synthesized),
                seconds(memory.synthesisTime).constData());
    row("longest stall in that playback", seconds(memory.longestStall), "<= 0.050 s", memory.longestStall, 0.05);
    if (memory.longestStall > 0)
        std::printf("    (%s into the playback)\n", seconds(memory.stallAt).constData());
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (argc > 1 && qstrcmp(argv[1], "quick") == 0)
        options = {2, 20};

    // The server comes first: Qt looks up its audio devices only once.
    PulseAudioServer server;
    if (!server.start()) {
        std::fprintf(stderr, "no PulseAudio server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    MonitorRecorder recorder;
    if (!recorder.start(server.address())) {
        std::fprintf(stderr, "cannot record the sink: %s\n", qPrintable(recorder.errorString()));
        return 1;
    }
    StandInKokoro standIn;
    if (!standIn.prepare()) {
        std::fprintf(stderr, "cannot prepare the helper's home\n");
        return 1;
    }

    const Latency latency = measureLatency(recorder, standIn, options.runs);
    if (latency.firstSound.isEmpty()) {
        std::fprintf(stderr, "the engine does not speak\n");
        return 1;
    }
    const Marks marks = measureMarks(recorder, options.runs);
    const Memory memory = measureMemory(recorder, standIn, options.memoryWindow);

    std::printf("read-aloud through TextToSpeechKokoro into a private PulseAudio null sink, heard from its monitor\n");
    std::printf("medians of %d runs; stand-in kokoro: %s s a character, %s samples a character at %d Hz\n", options.runs, CharCost,
                SamplesPerChar, Rate);
    std::printf("  %-44s %12s   %-34s\n", "figure", "measured", "target");
    reportLatency(latency);
    reportMarks(marks);
    reportMemory(memory, options.memoryWindow);
    return 0;
}
