#include "pcmconverter.h"

#include "pcmstreamconverter.h"

QByteArray PcmConverter::convert(const QByteArray &samples, int fromRate, int fromChannels, int toRate, int toChannels)
{
    PcmStreamConverter converter(fromRate, fromChannels, toRate, toChannels);
    if (!converter.isValid())
        return {};
    QByteArray converted = converter.push(samples);
    return converted + converter.finish();
}
