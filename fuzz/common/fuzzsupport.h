#pragma once

#include <QByteArray>
#include <QList>
#include <QLoggingCategory>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace Qt::Literals::StringLiterals;

namespace FuzzSupport
{
// The parsers warn about every malformed line; with logging on, the fuzzer would spend its
// time formatting messages instead of trying inputs.
inline void silenceLogging()
{
    QLoggingCategory::setFilterRules(u"*=false"_s);
}

// A violated property must stop the run like a crash does, so that libFuzzer keeps the input.
inline void require(bool condition, const char *property)
{
    if (condition)
        return;
    std::fprintf(stderr, "Property violated: %s\n", property);
    std::abort();
}

// Input of the stream targets: the first byte, modulo 8, tells how many of the following
// bytes are read sizes (1 to 64 each, used in turn); no sizes means one byte per read. The
// rest is the byte stream as the helper wrote it.
struct ChunkedInput {
    QList<qsizetype> readSizes;
    QByteArray stream;

    [[nodiscard]] QList<QByteArray> reads() const
    {
        QList<QByteArray> pieces;
        qsizetype position = 0;
        for (qsizetype turn = 0; position < stream.size(); ++turn) {
            const qsizetype size = readSizes.isEmpty() ? 1 : readSizes.at(turn % readSizes.size());
            pieces.append(stream.mid(position, size));
            position += size;
        }
        return pieces;
    }
};

inline ChunkedInput chunkedInput(const uint8_t *data, size_t size)
{
    ChunkedInput input;
    if (size == 0)
        return input;
    const size_t count = qMin<size_t>(data[0] % 8, size - 1);
    for (size_t i = 0; i < count; ++i)
        input.readSizes.append(data[1 + i] % 64 + 1);
    const size_t offset = 1 + count;
    input.stream = QByteArray(reinterpret_cast<const char *>(data + offset), qsizetype(size - offset));
    return input;
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}
} // namespace FuzzSupport
