#pragma once

#include <QByteArray>

// Converts interleaved signed 16-bit samples between sample rates and channel counts.
// Channels are mixed down by averaging and copied up from the first one; rates are changed
// by linear interpolation, which is plenty for speech going into a recogniser.
namespace PcmConverter
{
[[nodiscard]] QByteArray convert(const QByteArray &samples, int fromRate, int fromChannels, int toRate, int toChannels);
}
