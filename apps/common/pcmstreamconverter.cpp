#include "pcmstreamconverter.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace
{
qint16 clamped(float value)
{
    return qint16(std::lround(std::clamp(value, -32768.0f, 32767.0f)));
}
} // namespace

PcmStreamConverter::PcmStreamConverter(int fromRate, int fromChannels, int toRate, int toChannels)
    : mFromRate(fromRate)
    , mFromChannels(fromChannels)
    , mToRate(toRate)
    , mToChannels(toChannels)
{
}

bool PcmStreamConverter::isValid() const
{
    return mFromRate > 0 && mToRate > 0 && mFromChannels > 0 && mToChannels > 0;
}

QByteArray PcmStreamConverter::push(const QByteArray &samples)
{
    if (!isValid())
        return {};
    const qsizetype frameBytes = 2 * mFromChannels;
    if (mFromRate == mToRate && mFromChannels == mToChannels)
        return samples.left(samples.size() - samples.size() % frameBytes);
    mix(samples);
    return convertDue(false);
}

QByteArray PcmStreamConverter::finish()
{
    if (!isValid() || (mFromRate == mToRate && mFromChannels == mToChannels))
        return {};
    return convertDue(true);
}

void PcmStreamConverter::mix(const QByteArray &samples)
{
    const qsizetype frames = samples.size() / (2 * mFromChannels);
    const auto *data = reinterpret_cast<const uchar *>(samples.constData());
    const size_t start = mMixed.size();
    mMixed.resize(start + size_t(frames) * size_t(mToChannels));
    for (qsizetype frame = 0; frame < frames; ++frame) {
        const uchar *in = data + frame * 2 * mFromChannels;
        float *target = mMixed.data() + start + size_t(frame) * size_t(mToChannels);
        if (mToChannels == 1) {
            float sum = 0;
            for (int channel = 0; channel < mFromChannels; ++channel)
                sum += qFromLittleEndian<qint16>(in + 2 * channel);
            target[0] = sum / float(mFromChannels);
            continue;
        }
        for (int channel = 0; channel < mToChannels; ++channel)
            target[channel] = qFromLittleEndian<qint16>(in + 2 * (channel < mFromChannels ? channel : 0));
    }
    mInFrames += frames;
}

// An output frame lies between two input frames. While more input may come, only the frames
// whose right neighbour is there are converted; at the end, the rest up to the length the
// whole recording gives, the last ones leaning on the last input frame.
QByteArray PcmStreamConverter::convertDue(bool ended)
{
    qint64 endFrame = mInFrames * mToRate / mFromRate;
    if (!ended) {
        // The frames k with floor(k * from / to) < inFrames - 1.
        const qint64 lastLeft = std::max<qint64>(mInFrames - 1, 0);
        endFrame = std::min(endFrame, (lastLeft * mToRate + mFromRate - 1) / mFromRate);
    }
    endFrame = std::max(endFrame, mOutFrames);
    QByteArray out((endFrame - mOutFrames) * mToChannels * 2, Qt::Uninitialized);
    auto *target = reinterpret_cast<uchar *>(out.data());
    for (; mOutFrames < endFrame; ++mOutFrames) {
        // Exact rational position, so that long inputs do not drift.
        const qint64 numerator = mOutFrames * mFromRate;
        const qint64 index = numerator / mToRate;
        const float fraction = float(numerator % mToRate) / float(mToRate);
        const qint64 next = std::min(index + 1, mInFrames - 1);
        for (int channel = 0; channel < mToChannels; ++channel) {
            const float a = mMixed[size_t((index - mFirstFrame) * mToChannels + channel)];
            const float b = mMixed[size_t((next - mFirstFrame) * mToChannels + channel)];
            qToLittleEndian<qint16>(clamped(a + (b - a) * fraction), target);
            target += 2;
        }
    }
    // Keep the input frames from the one the next output frame starts at.
    const qint64 keepFrom = std::min(mOutFrames * mFromRate / mToRate, mInFrames);
    if (keepFrom > mFirstFrame) {
        mMixed.erase(mMixed.begin(), mMixed.begin() + (keepFrom - mFirstFrame) * mToChannels);
        mFirstFrame = keepFrom;
    }
    return out;
}
