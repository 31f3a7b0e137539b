// How fast the dictation device decodes the helper's replies, against a plain copy of the
// same bytes in the same read sizes, and whether the cost per byte stays flat as the
// stream grows.
#include <whisperspeechtotextdevice.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
constexpr qsizetype MiB = 1024 * 1024;

// Mostly text replies as a helper sends them, with an occasional frame carrying a payload,
// so both the header parsing and the payload skipping are measured.
QByteArray replyStream(qsizetype bytes)
{
    QByteArray stream;
    stream.reserve(bytes + 8192);
    const QByteArray payload(4096, 'p');
    for (int id = 1; stream.size() < bytes; ++id) {
        stream += R"({"id":)" + QByteArray::number(id) + R"(,"text":"the quick brown fox jumps over the lazy dog )" + QByteArray::number(id)
            + R"(","type":"partial"})"
              "\n";
        if (id % 10 == 0)
            stream += R"({"id":)" + QByteArray::number(id)
                + R"(,"size":4096,"type":"chunk"})"
                  "\n"
                + payload;
    }
    return stream;
}

double decodeSeconds(const QByteArray &stream, qsizetype readSize, qsizetype *frames)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray buffer;
    *frames = 0;
    for (qsizetype position = 0; position < stream.size(); position += readSize) {
        buffer.append(stream.constData() + position, std::min(readSize, stream.size() - position));
        *frames += WhisperSpeechToTextDevice::takeFrames(buffer).size();
    }
    return timer.nsecsElapsed() / 1e9;
}

double copySeconds(const QByteArray &stream, qsizetype readSize)
{
    QByteArray target(readSize, Qt::Uninitialized);
    QElapsedTimer timer;
    timer.start();
    volatile char sink = 0;
    for (qsizetype position = 0; position < stream.size(); position += readSize) {
        const qsizetype length = std::min(readSize, stream.size() - position);
        std::memcpy(target.data(), stream.constData() + position, size_t(length));
        sink = sink + target.at(length - 1);
    }
    return timer.nsecsElapsed() / 1e9;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}
} // namespace

int main()
{
    const int runs = 5;
    const QByteArray full = replyStream(100 * MiB);
    std::printf("%-10s %-8s %10s %12s %12s %14s\n", "stream", "read", "frames", "decode MB/s", "copy MB/s", "copy/decode");
    for (qsizetype megabytes : {25, 50, 100}) {
        const QByteArray stream = full.left(megabytes * MiB);
        for (qsizetype readSize : {qsizetype(4096), qsizetype(65536)}) {
            QList<double> decode;
            QList<double> copy;
            qsizetype frames = 0;
            for (int run = 0; run < runs; ++run) {
                decode.append(decodeSeconds(stream, readSize, &frames));
                copy.append(copySeconds(stream, readSize));
            }
            const double mb = double(stream.size()) / 1e6;
            const double decodeRate = mb / median(decode);
            const double copyRate = mb / median(copy);
            std::printf("%4lld MiB   %5lld KiB %10lld %12.1f %12.1f %14.1f\n", static_cast<long long>(megabytes),
                        static_cast<long long>(readSize / 1024), static_cast<long long>(frames), decodeRate, copyRate,
                        copyRate / decodeRate);
        }
    }
    std::printf("(medians of %d runs; a flat decode MB/s across stream sizes means linear cost)\n", runs);
    return 0;
}
