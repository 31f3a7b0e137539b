#include "engineprobe.h"
#include "monitorrecorder.h"

#include <QEventLoop>
#include <QTimer>

#include <cmath>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::TextToSpeechKokoro;
using TextEditTextToSpeech::TextToSpeechState;

EngineProbe::EngineProbe()
    : mEngine(std::make_unique<TextToSpeechKokoro>())
{
    QObject::connect(mEngine.get(), &TextToSpeechKokoro::stateChanged, mEngine.get(), [this](TextToSpeechState state) {
        if (state == TextToSpeechState::Ready)
            mReadyTime = MonitorRecorder::clock();
        mFailed = mFailed || state == TextToSpeechState::Error;
    });
    QObject::connect(mEngine.get(), &TextToSpeechKokoro::sayingWord, mEngine.get(), [this](const QString &, qsizetype start, qsizetype) {
        mWords.append({start, MonitorRecorder::clock(), mBytes});
    });
    QObject::connect(mEngine.get(), &TextToSpeechKokoro::synthesized, mEngine.get(), [this](const QAudioFormat &, const QByteArray &data) {
        mBytes += data.size();
    });
}

EngineProbe::~EngineProbe() = default;

TextToSpeechKokoro *EngineProbe::operator->() const
{
    return mEngine.get();
}

void EngineProbe::forget()
{
    mReadyTime = std::numeric_limits<double>::quiet_NaN();
    mFailed = false;
    mWords.clear();
    mBytes = 0;
}

bool EngineProbe::waitUntilReady(double seconds)
{
    if (std::isnan(mReadyTime) && !mFailed) {
        QEventLoop loop;
        QObject::connect(mEngine.get(), &TextToSpeechKokoro::stateChanged, &loop, [&loop](TextToSpeechState state) {
            if (state == TextToSpeechState::Ready || state == TextToSpeechState::Error)
                loop.quit();
        });
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !std::isnan(mReadyTime) && !mFailed;
}

bool EngineProbe::warmUp()
{
    forget();
    mEngine->say(u"Warm up."_s);
    return waitUntilReady(30);
}

double EngineProbe::readyTime() const
{
    return mReadyTime;
}

bool EngineProbe::failed() const
{
    return mFailed;
}

QList<EngineProbe::Word> EngineProbe::words() const
{
    return mWords;
}
