#include "pcmconverter.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{
std::vector<float> mixChannels(const QByteArray &samples, int fromChannels, int toChannels)
{
    const qsizetype frames = samples.size() / (2 * fromChannels);
    const auto *data = reinterpret_cast<const uchar *>(samples.constData());
    std::vector<float> out(size_t(frames) * size_t(toChannels));
    for (qsizetype frame = 0; frame < frames; ++frame) {
        const uchar *in = data + frame * 2 * fromChannels;
        float *target = out.data() + frame * toChannels;
        if (toChannels == 1) {
            float sum = 0;
            for (int channel = 0; channel < fromChannels; ++channel)
                sum += qFromLittleEndian<qint16>(in + 2 * channel);
            target[0] = sum / float(fromChannels);
            continue;
        }
        for (int channel = 0; channel < toChannels; ++channel)
            target[channel] = qFromLittleEndian<qint16>(in + 2 * (channel < fromChannels ? channel : 0));
    }
    return out;
}

qint16 clamped(float value)
{
    return qint16(std::lround(std::clamp(value, -32768.0f, 32767.0f)));
}
} // namespace

QByteArray PcmConverter::convert(const QByteArray &samples, int fromRate, int fromChannels, int toRate, int toChannels)
{
    if (fromRate <= 0 || toRate <= 0 || fromChannels <= 0 || toChannels <= 0)
        return {};
    if (fromRate == toRate && fromChannels == toChannels)
        return samples.left(samples.size() - samples.size() % (2 * fromChannels));

    const std::vector<float> mixed = mixChannels(samples, fromChannels, toChannels);
    const qint64 inFrames = qint64(mixed.size()) / toChannels;
    const qint64 outFrames = inFrames * toRate / fromRate;
    QByteArray out(outFrames * toChannels * 2, Qt::Uninitialized);
    auto *target = reinterpret_cast<uchar *>(out.data());
    for (qint64 frame = 0; frame < outFrames; ++frame) {
        // Exact rational position, so that long inputs do not drift.
        const qint64 numerator = frame * fromRate;
        const qint64 index = numerator / toRate;
        const float fraction = float(numerator % toRate) / float(toRate);
        const qint64 next = std::min(index + 1, inFrames - 1);
        for (int channel = 0; channel < toChannels; ++channel) {
            const float a = mixed[size_t(index * toChannels + channel)];
            const float b = mixed[size_t(next * toChannels + channel)];
            qToLittleEndian<qint16>(clamped(a + (b - a) * fraction), target);
            target += 2;
        }
    }
    return out;
}
