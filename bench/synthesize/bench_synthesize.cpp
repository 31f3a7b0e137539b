// How much the host pays to receive synthesized audio: a stand-in kokoro helper streams ten
// minutes of 24 kHz mono int16 audio in 4 KiB chunks as fast as it can, and synthesize()
// hands it out. The baseline is the same bytes read from cat through a pipe, in the same run.
#include <texttospeechkokoro.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::TextToSpeechKokoro;
using TextEditTextToSpeech::TextToSpeechState;

namespace
{
constexpr int Runs = 5;

struct Sample {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    qint64 bytes = 0;
};

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 peakResidentKiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Timed from the first audio to the end, so the helper's preparation is not counted.
Sample synthesizeOnce(TextToSpeechKokoro &engine)
{
    Sample sample;
    QElapsedTimer timer;
    double cpuStart = 0;
    QEventLoop loop;
    const auto audio =
        QObject::connect(&engine, &TextToSpeechKokoro::synthesized, &loop, [&](const QAudioFormat &, const QByteArray &data) {
            if (!timer.isValid()) {
                timer.start();
                cpuStart = processCpuSeconds();
            }
            sample.bytes += data.size();
        });
    const auto state = QObject::connect(&engine, &TextToSpeechKokoro::stateChanged, &loop, [&](TextToSpeechState s) {
        if (s != TextToSpeechState::Synthesizing)
            loop.quit();
    });
    engine.synthesize(u"ten minutes"_s);
    loop.exec();
    sample.wallSeconds = timer.isValid() ? timer.nsecsElapsed() / 1e9 : 0;
    sample.cpuSeconds = processCpuSeconds() - cpuStart;
    QObject::disconnect(audio);
    QObject::disconnect(state);
    return sample;
}

Sample catOnce(const QString &file)
{
    Sample sample;
    QProcess cat;
    QElapsedTimer timer;
    double cpuStart = 0;
    QObject::connect(&cat, &QProcess::readyReadStandardOutput, [&] {
        if (!timer.isValid()) {
            timer.start();
            cpuStart = processCpuSeconds();
        }
        sample.bytes += cat.readAllStandardOutput().size();
    });
    QEventLoop loop;
    QObject::connect(&cat, &QProcess::finished, &loop, &QEventLoop::quit);
    cat.start(u"cat"_s, {file});
    loop.exec();
    sample.bytes += cat.readAllStandardOutput().size();
    sample.wallSeconds = timer.nsecsElapsed() / 1e9;
    sample.cpuSeconds = processCpuSeconds() - cpuStart;
    return sample;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString helper = QStringLiteral(BENCH_SOURCE_DIR "/synthesize/stream_helper.py");
    QDir(dir.path()).mkpath(u"home/.venv/kokoro/bin"_s);
    QDir(dir.path()).mkpath(u"bin"_s);
    QFile::link(u"/usr/bin/python3"_s, dir.filePath(u"home/.venv/kokoro/bin/python"_s));
    QFile::link(helper, dir.filePath(u"bin/kokoro_helper.py"_s));
    qputenv("HOME", QFile::encodeName(dir.filePath(u"home"_s)));
    qputenv("PATH", QFile::encodeName(dir.filePath(u"bin"_s)) + ":/usr/bin:/bin");

    const QString dump = dir.filePath(u"stream.bin"_s);
    {
        QProcess writer;
        writer.setStandardOutputFile(dump);
        writer.start(u"/usr/bin/python3"_s, {helper, u"dump"_s});
        writer.waitForFinished(-1);
    }

    const qint64 peakBefore = peakResidentKiB();
    QList<double> engineWall, engineCpu, catWall, catCpu;
    qint64 audioBytes = 0;
    qint64 pipeBytes = 0;
    {
        TextToSpeechKokoro engine;
        for (int run = 0; run < Runs; ++run) {
            const Sample engineSample = synthesizeOnce(engine);
            const Sample catSample = catOnce(dump);
            engineWall.append(engineSample.wallSeconds);
            engineCpu.append(engineSample.cpuSeconds);
            catWall.append(catSample.wallSeconds);
            catCpu.append(catSample.cpuSeconds);
            audioBytes = engineSample.bytes;
            pipeBytes = catSample.bytes;
        }
    }
    const qint64 peakAfter = peakResidentKiB();

    const double audioSeconds = audioBytes / 2.0 / 24000.0;
    std::printf("audio: %.0f s (%lld bytes of samples, %lld bytes on the wire)\n", audioSeconds, static_cast<long long>(audioBytes),
                static_cast<long long>(pipeBytes));
    std::printf("%-24s %10s %10s\n", "", "wall s", "host cpu s");
    std::printf("%-24s %10.3f %10.3f\n", "synthesize()", median(engineWall), median(engineCpu));
    std::printf("%-24s %10.3f %10.3f\n", "cat through a pipe", median(catWall), median(catCpu));
    std::printf("ratio engine/cat: wall %.2f, host cpu %.2f\n", median(engineWall) / median(catWall), median(engineCpu) / median(catCpu));
    std::printf("faster than real time: %.0fx\n", audioSeconds / median(engineWall));
    std::printf("peak resident memory: %lld KiB before, %lld KiB after (%.1f MiB of audio went through)\n",
                static_cast<long long>(peakBefore), static_cast<long long>(peakAfter), audioBytes / 1048576.0);
    std::printf("(medians of %d runs)\n", Runs);
    return 0;
}
