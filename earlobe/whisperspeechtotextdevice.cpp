#include "whisperspeechtotextdevice.h"
#include "speechtotext_whisper_debug.h"

#include <translation.h>
#include <whisperspeechtotextutils.h>

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int StartTimeoutMs = 5000;
constexpr int QuitTimeoutMs = 2000;
constexpr int KillTimeoutMs = 1000;
// No reply comes anywhere near this; a line that grows beyond it without a line feed is
// garbage, and keeping it would let a broken helper make the host buffer without end.
constexpr qsizetype MaxReplyLineBytes = 1024 * 1024;

// A whole, non-negative number of payload bytes; anything else means "no payload".
qint64 payloadSize(const QJsonObject &header)
{
    return qMax<qint64>(0, header.value("size"_L1).toInteger(0));
}

QJsonObject parseHeader(const QByteArray &buffer, qsizetype from, qsizetype length)
{
    const QByteArray line = QByteArray::fromRawData(buffer.constData() + from, length);
    return QJsonDocument::fromJson(line).object();
}

QJsonObject command(QLatin1StringView name, qint32 id)
{
    return {{"cmd"_L1, name}, {"id"_L1, id}};
}
} // namespace

WhisperSpeechToTextDevice::WhisperSpeechToTextDevice(QObject *parent)
    : QIODevice(parent)
{
    if (!open(QIODevice::ReadWrite))
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "Impossible to open WhisperSpeechToTextDevice";
}

WhisperSpeechToTextDevice::~WhisperSpeechToTextDevice()
{
    stopProcess();
}

bool WhisperSpeechToTextDevice::initialize(WhisperSpeechToTextDeviceInfo &&info)
{
    mInfo = std::move(info);
    return ensureProcess();
}

WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo WhisperSpeechToTextDevice::info() const
{
    return mInfo;
}

bool WhisperSpeechToTextDevice::available() const
{
    return mProcess && mProcess->state() == QProcess::Running && mAvailable;
}

void WhisperSpeechToTextDevice::clear()
{
    if (!ensureProcess())
        return;

    if (mListening) {
        QJsonObject cancel = command("cancel"_L1, mUtteranceId);
        sendFrame(cancel);
    }

    ++mUtteranceId;
    QJsonObject start = command("start"_L1, mUtteranceId);
    start.insert("sampleFormat"_L1, "int16"_L1);
    start.insert("partials"_L1, mInfo.partials);
    const std::pair<QLatin1StringView, const QString &> settings[] = {
        {"model"_L1, mInfo.model},   {"language"_L1, mInfo.language}, {"computeType"_L1, mInfo.computeType},
        {"device"_L1, mInfo.device}, {"prompt"_L1, mInfo.prompt},
    };
    for (const auto &[key, value] : settings) {
        if (!value.isEmpty())
            start.insert(key, value);
    }
    sendFrame(start);
    mListening = true;
}

void WhisperSpeechToTextDevice::finish()
{
    if (!mListening)
        return;
    QJsonObject stop = command("stop"_L1, mUtteranceId);
    sendFrame(stop);
    mListening = false;
}

bool WhisperSpeechToTextDevice::isSequential() const
{
    return true;
}

qint64 WhisperSpeechToTextDevice::bytesToWrite() const
{
    return mProcess ? mProcess->bytesToWrite() : 0;
}

QList<QJsonObject> WhisperSpeechToTextDevice::takeFrames(QByteArray &buffer)
{
    QList<QJsonObject> frames;
    qsizetype position = 0;
    while (position < buffer.size()) {
        const qsizetype lineFeed = buffer.indexOf('\n', position);
        if (lineFeed < 0)
            break;
        const QJsonObject header = parseHeader(buffer, position, lineFeed - position);
        const qint64 size = payloadSize(header);
        // Compared against what is left rather than added to the position: a helper may
        // announce any size up to the largest 64-bit number, and the sum must not wrap.
        const qint64 available = buffer.size() - (lineFeed + 1);
        if (size > available)
            break;
        if (!header.isEmpty())
            frames.append(header);
        position = lineFeed + 1 + size;
    }
    buffer.remove(0, position);
    return frames;
}

qint64 WhisperSpeechToTextDevice::readData(char *data, qint64 maxSize)
{
    Q_UNUSED(data)
    Q_UNUSED(maxSize)
    return 0;
}

qint64 WhisperSpeechToTextDevice::writeData(const char *data, qint64 len)
{
    if (len <= 0 || !mListening)
        return len;
    QJsonObject audio = command("audio"_L1, mUtteranceId);
    sendFrame(audio, QByteArray(data, len));
    return len;
}

bool WhisperSpeechToTextDevice::ensureProcess()
{
    if (mProcess && mProcess->state() != QProcess::NotRunning)
        return true;

    const QString python = WhisperSpeechToTextUtils::venvPython();
    const QString script = WhisperSpeechToTextUtils::pythonScriptPath();
    if (python.isEmpty() || script.isEmpty()) {
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "Unable to start whisper: python" << python << "script" << script;
        return false;
    }

    if (!mProcess) {
        mProcess = new QProcess(this);
        connect(mProcess, &QProcess::readyReadStandardOutput, this, &WhisperSpeechToTextDevice::readProcessOutput);
        connect(mProcess, &QProcess::readyReadStandardError, this, &WhisperSpeechToTextDevice::readProcessError);
        connect(mProcess, &QProcess::finished, this, &WhisperSpeechToTextDevice::handleProcessFinished);
        connect(mProcess, &QProcess::bytesWritten, this, &QIODevice::bytesWritten);
    }

    mBuffer.clear();
    mDiscardingLine = false;
    mListening = false;
    mAvailable = true;
    mQuitting = false;

    mProcess->start(python, {script, u"serve"_s}, QIODevice::ReadWrite);
    if (!mProcess->waitForStarted(StartTimeoutMs)) {
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "Unable to start" << python << mProcess->errorString();
        return false;
    }
    return true;
}

void WhisperSpeechToTextDevice::sendFrame(QJsonObject &command, const QByteArray &payload)
{
    if (!mProcess || mProcess->state() != QProcess::Running) {
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "Unable to send" << command << ": whisper_helper.py is not running";
        return;
    }
    if (!payload.isEmpty())
        command.insert("size"_L1, qint64(payload.size()));
    mProcess->write(QJsonDocument(command).toJson(QJsonDocument::Compact));
    mProcess->write("\n", 1);
    if (!payload.isEmpty())
        mProcess->write(payload);
}

void WhisperSpeechToTextDevice::readProcessOutput()
{
    QByteArray data = mProcess->readAllStandardOutput();
    if (mDiscardingLine) {
        const qsizetype lineFeed = data.indexOf('\n');
        if (lineFeed < 0)
            return;
        data.remove(0, lineFeed + 1);
        mDiscardingLine = false;
    }
    mBuffer.append(data);
    const QList<QJsonObject> frames = takeFrames(mBuffer);
    dropOverlongLine();
    for (const QJsonObject &frame : frames)
        handleFrame(frame);
}

void WhisperSpeechToTextDevice::dropOverlongLine()
{
    if (mBuffer.size() <= MaxReplyLineBytes || mBuffer.contains('\n'))
        return;
    qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "Dropping a reply line longer than" << MaxReplyLineBytes << "bytes";
    mBuffer.clear();
    mDiscardingLine = true;
}

void WhisperSpeechToTextDevice::readProcessError()
{
    const QByteArray text = mProcess->readAllStandardError().trimmed();
    qCDebug(SPEECHTOTEXT_WHISPER_LOG) << "whisper_helper.py:" << QString::fromUtf8(text);
}

bool WhisperSpeechToTextDevice::isCurrentUtterance(const QJsonObject &reply) const
{
    return reply.value("id"_L1).toInteger(0) == mUtteranceId;
}

void WhisperSpeechToTextDevice::handleFrame(const QJsonObject &reply)
{
    const QString type = reply.value("type"_L1).toString();
    if (type == "ready"_L1) {
        mAvailable = reply.value("available"_L1).toBool(false);
        if (mAvailable)
            return;
        QStringList missing;
        const QJsonArray names = reply.value("missing"_L1).toArray();
        for (const QJsonValue &name : names)
            missing.append(name.toString());
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "whisper is not usable, missing:" << missing;
        Q_EMIT errorOccurred(HostKit::i18nd(TRANSLATION_DOMAIN, "Whisper is not installed. Missing: %1", missing.join(", "_L1)));
    } else if (type == "partial"_L1 || type == "final"_L1) {
        if (!isCurrentUtterance(reply))
            return;
        const QString text = reply.value("text"_L1).toString().trimmed();
        if (text.isEmpty())
            return;
        if (type == "partial"_L1)
            Q_EMIT partialResult(text);
        else
            Q_EMIT result(text);
    } else if (type == "end"_L1) {
        if (isCurrentUtterance(reply))
            Q_EMIT doneListening();
    } else if (type == "error"_L1) {
        const QString message = reply.value("message"_L1).toString();
        qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "whisper_helper.py reported:" << message;
        Q_EMIT errorOccurred(message);
    } else {
        qCDebug(SPEECHTOTEXT_WHISPER_LOG) << "Unhandled frame:" << reply;
    }
}

void WhisperSpeechToTextDevice::handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    mListening = false;
    mBuffer.clear();
    mDiscardingLine = false;
    if (mQuitting)
        return;
    qCWarning(SPEECHTOTEXT_WHISPER_LOG) << "whisper_helper.py stopped. Exit code:" << exitCode << exitStatus;
    Q_EMIT errorOccurred(HostKit::i18nd(TRANSLATION_DOMAIN, "The whisper backend stopped unexpectedly."));
}

void WhisperSpeechToTextDevice::stopProcess()
{
    if (!mProcess || mProcess->state() == QProcess::NotRunning)
        return;
    mQuitting = true;
    QJsonObject quit{{"cmd"_L1, "quit"_L1}};
    sendFrame(quit);
    mProcess->closeWriteChannel();
    if (!mProcess->waitForFinished(QuitTimeoutMs)) {
        mProcess->kill();
        mProcess->waitForFinished(KillTimeoutMs);
    }
    // Whatever the process still reports must not reach a device that is being destroyed.
    mProcess->disconnect(this);
}

QDebug operator<<(QDebug d, const WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo &info)
{
    d.space() << "model" << info.model << "language" << info.language << "computeType" << info.computeType << "device" << info.device
              << "prompt" << info.prompt << "partials" << info.partials;
    return d;
}
