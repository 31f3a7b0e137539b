// Runs one dictation through the installed libraries and prints what the device reports:
// partial text, the final text, and every error. Audio comes from a 16 kHz mono 16-bit WAV
// file, or is one second of silence.
#include <whisperspeechtotextdevice.h>
#include <whisperspeechtotextutils.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace
{
quint32 readLittleEndian(const QByteArray &data, qsizetype offset, int bytes)
{
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | quint8(data.at(offset + i));
    return value;
}

// The samples of a RIFF/WAVE file holding 16-bit PCM at 16 kHz, one channel; an error
// text otherwise.
QByteArray readWav(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return {};
    }
    const QByteArray data = file.readAll();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE") {
        *error = u"not a WAV file"_s;
        return {};
    }
    bool formatOk = false;
    for (qsizetype offset = 12; offset + 8 <= data.size();) {
        const QByteArray id = data.mid(offset, 4);
        const qsizetype size = readLittleEndian(data, offset + 4, 4);
        const qsizetype body = offset + 8;
        if (size > data.size() - body)
            break;
        if (id == "fmt " && size >= 16) {
            formatOk = readLittleEndian(data, body, 2) == 1 && readLittleEndian(data, body + 2, 2) == 1
                && readLittleEndian(data, body + 4, 4) == 16000 && readLittleEndian(data, body + 14, 2) == 16;
        } else if (id == "data") {
            if (!formatOk)
                break;
            return data.mid(body, size);
        }
        offset = body + size + (size & 1);
    }
    *error = u"expected 16-bit PCM, 16000 Hz, one channel"_s;
    return {};
}

void print(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", qUtf8Printable(text));
    std::fflush(stream);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"dictation-probe"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Dictates one utterance with whisper_helper.py and prints the text."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(u"wav"_s, u"16 kHz mono 16-bit WAV file (default: one second of silence)"_s);
    QCommandLineOption timeoutOption(u"timeout"_s, u"Seconds to wait for the result (default 120)."_s, u"seconds"_s, u"120"_s);
    parser.addOption(timeoutOption);
    parser.process(app);

    QByteArray audio(16000 * 2, '\0');
    if (!parser.positionalArguments().isEmpty()) {
        QString error;
        audio = readWav(parser.positionalArguments().constFirst(), &error);
        if (audio.isEmpty()) {
            print(stderr, u"Cannot read %1: %2"_s.arg(parser.positionalArguments().constFirst(), error));
            return 2;
        }
    }

    print(stdout,
          u"environment: %1"_s.arg(WhisperSpeechToTextUtils::venvPython().isEmpty()
                                       ? u"missing ("_s + WhisperSpeechToTextUtils::defaultVenvPath() + u')'
                                       : WhisperSpeechToTextUtils::defaultVenvPath()));
    print(stdout,
          u"helper: %1"_s.arg(WhisperSpeechToTextUtils::pythonScriptPath().isEmpty() ? u"not found on PATH"_s
                                                                                     : WhisperSpeechToTextUtils::pythonScriptPath()));

    WhisperSpeechToTextDevice device;
    int exitCode = 0;
    QObject::connect(&device, &WhisperSpeechToTextDevice::partialResult, &app, [](const QString &text) {
        print(stdout, u"partial: "_s + text);
    });
    QObject::connect(&device, &WhisperSpeechToTextDevice::result, &app, [](const QString &text) {
        print(stdout, u"final: "_s + text);
    });
    QObject::connect(&device, &WhisperSpeechToTextDevice::errorOccurred, &app, [&exitCode](const QString &message) {
        print(stdout, u"error: "_s + message);
        exitCode = 1;
        QCoreApplication::quit();
    });
    QObject::connect(&device, &WhisperSpeechToTextDevice::doneListening, &app, [] {
        print(stdout, u"done"_s);
        QCoreApplication::quit();
    });

    WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo info;
    info.model = WhisperSpeechToTextUtils::loadModel();
    info.language = WhisperSpeechToTextUtils::loadLanguage();
    info.computeType = WhisperSpeechToTextUtils::loadComputeType();
    info.device = WhisperSpeechToTextUtils::loadDevice();
    info.partials = true;
    if (!device.initialize(std::move(info))) {
        print(stdout, u"error: the whisper helper could not be started (see the environment and helper lines above)"_s);
        if (WhisperSpeechToTextUtils::venvPython().isEmpty())
            print(stdout,
                  u"hint: create the environment with: python3 -m venv %1 && %1/bin/pip install %2"_s.arg(
                      WhisperSpeechToTextUtils::defaultVenvPath(), WhisperSpeechToTextUtils::requiredModules().join(u' ')));
        return 1;
    }

    device.clear();
    // 20 ms writes, as a microphone would deliver them.
    for (qsizetype position = 0; position < audio.size(); position += 640)
        device.write(audio.mid(position, 640));
    device.finish();

    QTimer::singleShot(parser.value(timeoutOption).toInt() * 1000, &app, [&exitCode] {
        print(stdout, u"error: no result in time"_s);
        exitCode = 1;
        QCoreApplication::quit();
    });
    app.exec();
    return exitCode;
}
