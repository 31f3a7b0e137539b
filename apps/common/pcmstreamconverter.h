#pragma once

#include <QByteArray>

#include <vector>

// Converts interleaved signed 16-bit samples between sample rates and channel counts as they
// come, block by block, giving the same samples as converting the whole recording at once.
// Channels are mixed down by averaging and copied up from the first one; rates are changed
// by linear interpolation, which is plenty for speech going into a recogniser.
class PcmStreamConverter
{
public:
    PcmStreamConverter(int fromRate, int fromChannels, int toRate, int toChannels);

    [[nodiscard]] bool isValid() const;
    // Takes whole frames and returns what can be converted of them so far.
    [[nodiscard]] QByteArray push(const QByteArray &samples);
    // Returns the rest once the input has ended: the frames that waited for a neighbour.
    [[nodiscard]] QByteArray finish();

private:
    void mix(const QByteArray &samples);
    QByteArray convertDue(bool ended);

    int mFromRate;
    int mFromChannels;
    int mToRate;
    int mToChannels;
    // Mixed frames not yet used up; the first of them is input frame mFirstFrame.
    std::vector<float> mMixed;
    qint64 mFirstFrame = 0;
    qint64 mInFrames = 0;
    qint64 mOutFrames = 0;
};
