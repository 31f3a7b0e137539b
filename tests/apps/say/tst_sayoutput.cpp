#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <wavfile.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QBuffer>
#include <QTemporaryDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/types.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int RunTimeoutMs = 30000;

// What the tool's standard output is.
enum class Stdout {
    Captured,
    Full,
    Closed,
    // A pipe whose reader has gone away.
    Orphaned,
};

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

bool isFifo(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISFIFO(status.st_mode);
}

// A listening Unix socket at path, for as long as the descriptor stays open.
int listenAt(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (fd < 0 || name.size() >= qsizetype(sizeof(address.sun_path)))
        return -1;
    std::copy(name.cbegin(), name.cend(), address.sun_path);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A character device of the memory driver (3 null, 7 full) made in folder, where the test may
// make one; else the system's own, which a tool run without that privilege cannot replace.
QString deviceStandIn(const QString &folder, const QString &name, unsigned int minor)
{
    const QString path = folder + u'/' + name;
    if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, minor)) == 0)
        return path;
    return u"/dev/"_s + name;
}

bool isCharacterDevice(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISCHR(status.st_mode);
}
} // namespace

Q_DECLARE_METATYPE(Stdout)

// Where larynx-say puts what it made, and what it does when that cannot be written or the
// helper goes quiet: a FIFO and a device are written into, never replaced; a write that fails
// is an error; the time limit is on the helper's silence.
class tst_SayOutput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void writesIntoFifos_data();
    void writesIntoFifos();
    void writesIntoCharacterDevice();
    void standardOutput_data();
    void standardOutput();
    void refusedTargets_data();
    void refusedTargets();
    void failedWrites_data();
    void failedWrites();
    void timeoutCountsSilence_data();
    void timeoutCountsSilence();
    void fewSamplesEndPromptly();

private:
    ToolRun run(const QStringList &arguments, Stdout out = Stdout::Captured, const QStringList &environment = {}) const;
    // The bytes of audio the espeak helper sent for its one "say".
    [[nodiscard]] qint64 spokenBytes() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_SayOutput::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/espeak_kokoro_helper.py"), u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_SayOutput::cleanup()
{
    mEnvironment.reset();
}

ToolRun tst_SayOutput::run(const QStringList &arguments, Stdout out, const QStringList &environment) const
{
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(u"PULSE_SERVER"_s, u"unix:/nonexistent/pulse/native"_s);
    for (const QString &entry : environment)
        processEnvironment.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));

    QProcess process;
    process.setProcessEnvironment(processEnvironment);
    if (out == Stdout::Full)
        process.setStandardOutputFile(u"/dev/full"_s);
    process.setChildProcessModifier([out] {
        if (out == Stdout::Closed) {
            ::close(STDOUT_FILENO);
        } else if (out == Stdout::Orphaned) {
            int ends[2];
            if (::pipe(ends) == 0) {
                ::close(ends[0]);
                ::dup2(ends[1], STDOUT_FILENO);
                ::close(ends[1]);
            }
        }
    });
    process.setStandardInputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(TOOL_PATH), arguments);
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    ToolRun result;
    result.elapsedMs = clock.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

qint64 tst_SayOutput::spokenBytes() const
{
    const QByteArray log = FakeHelperEnvironment::readFile(mEnvironment->binDir() + u"/kokoro_helper.py.log"_s);
    return QJsonDocument::fromJson(log.trimmed()).object().value("bytes"_L1).toInteger(-1);
}

void tst_SayOutput::writesIntoFifos_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("expectedStart");

    QTest::newRow("speech") << u"--output"_s << QByteArray("RIFF");
    QTest::newRow("subtitles") << u"--subtitles"_s << QByteArray("WEBVTT\n");
}

void tst_SayOutput::writesIntoFifos()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, expectedStart);

    const QString fifo = mEnvironment->home() + u"/fifo"_s;
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QProcess reader;
    reader.start(u"cat"_s, {fifo});
    QVERIFY(reader.waitForStarted());

    const QStringList speech = option == u"--output"_s ? QStringList{option, fifo} : QStringList{u"-o"_s, mEnvironment->home() + u"/s.wav"_s, option, fifo};
    const ToolRun result = run(speech + QStringList{u"Into a pipe."_s});
    QVERIFY(reader.waitForFinished(RunTimeoutMs));
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(isFifo(fifo));
    const QByteArray received = reader.readAllStandardOutput();
    QVERIFY2(received.startsWith(expectedStart), received.left(64).constData());
    if (option == u"--output"_s)
        QCOMPARE(received.size(), 44 + spokenBytes());
}

void tst_SayOutput::writesIntoCharacterDevice()
{
    const QString device = deviceStandIn(mEnvironment->home(), u"null"_s, 3);
    const ToolRun result = run({u"-o"_s, device, u"Nobody keeps this."_s});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.err, QByteArray());
    QVERIFY(spokenBytes() > 0);
    QVERIFY(isCharacterDevice(device));
}

void tst_SayOutput::standardOutput_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("expectedStart");

    QTest::newRow("speech") << QStringList{u"-o"_s, u"-"_s} << QByteArray("RIFF");
    QTest::newRow("speech, long option") << QStringList{u"--output=-"_s} << QByteArray("RIFF");
    QTest::newRow("subtitles") << QStringList{u"-o"_s, u"$HOME/s.wav"_s, u"--subtitles"_s, u"-"_s} << QByteArray("WEBVTT\n");
}

void tst_SayOutput::standardOutput()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, expectedStart);

    options.replaceInStrings(u"$HOME"_s, mEnvironment->home());
    const ToolRun result = run(options + QStringList{u"To standard output."_s});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY2(result.out.startsWith(expectedStart), result.out.left(64).constData());
    QVERIFY(!QFile::exists(QDir::current().filePath(u"-"_s)));
    if (expectedStart == "RIFF") {
        QByteArray written = result.out;
        QBuffer buffer(&written);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        WavFile wav;
        QVERIFY2(wav.read(&buffer), qPrintable(wav.errorString()));
        QCOMPARE(wav.samples().size(), spokenBytes());
    }
}

void tst_SayOutput::refusedTargets_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    QTest::newRow("socket") << QStringList{u"-o"_s, u"$HOME/socket"_s} << u"larynx-say: Cannot write $HOME/socket: it is a socket.\n"_s;
    QTest::newRow("subtitles to a socket")
        << QStringList{u"--subtitles"_s, u"$HOME/socket"_s} << u"larynx-say: Cannot write $HOME/socket: it is a socket.\n"_s;
    const QString tryHelp = u"Try 'larynx-say --help' for more information.\n"_s;
    QTest::newRow("no output name") << QStringList{u"-o"_s, u""_s}
                                    << u"larynx-say: --output takes a file name, or - for standard output.\n"_s + tryHelp;
    QTest::newRow("no subtitles name") << QStringList{u"--subtitles="_s}
                                       << u"larynx-say: --subtitles takes a file name, or - for standard output.\n"_s + tryHelp;
    QTest::newRow("both on standard output")
        << QStringList{u"-o"_s, u"-"_s, u"--subtitles"_s, u"-"_s}
        << u"larynx-say: --subtitles and --output name the same file, standard output.\n"_s + tryHelp;
}

void tst_SayOutput::refusedTargets()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);

    const int socket = listenAt(mEnvironment->home() + u"/socket"_s);
    QVERIFY(socket >= 0);
    const auto closeSocket = qScopeGuard([socket] {
        ::close(socket);
    });
    options.replaceInStrings(u"$HOME"_s, mEnvironment->home());
    message.replace(u"$HOME"_s, mEnvironment->home());
    const ToolRun result = run(options + QStringList{u"Never spoken"_s});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QString::fromUtf8(result.err), message);
    QCOMPARE(spokenBytes(), -1);
    QVERIFY(QFileInfo(mEnvironment->home() + u"/socket"_s).exists());
    QVERIFY(!QFileInfo(mEnvironment->home() + u"/socket"_s).isFile());
}

void tst_SayOutput::failedWrites_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Stdout>("out");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString noSpace = u"No space left on device"_s;
    QTest::newRow("speech to a full device") << QStringList{u"-o"_s, u"$FULL"_s} << Stdout::Captured << 3
                                             << u"Cannot write $FULL: "_s + noSpace;
    QTest::newRow("subtitles to a full device") << QStringList{u"-o"_s, u"$HOME/s.wav"_s, u"--subtitles"_s, u"$FULL"_s}
                                                << Stdout::Captured << 3 << u"Cannot write $FULL: "_s + noSpace;
    QTest::newRow("standard output full") << QStringList{u"-o"_s, u"-"_s} << Stdout::Full << 3
                                          << u"Cannot write to standard output: "_s + noSpace;
    QTest::newRow("reader gone") << QStringList{u"-o"_s, u"-"_s} << Stdout::Orphaned << 3
                                 << u"Cannot write to standard output: Broken pipe"_s;
    // Known before any work, as an unwritable file is.
    QTest::newRow("standard output closed") << QStringList{u"-o"_s, u"-"_s} << Stdout::Closed << 1
                                            << u"Cannot write to standard output: it is closed."_s;
    QTest::newRow("voices to a full device") << QStringList{u"--list-voices"_s} << Stdout::Full << 3
                                             << u"Cannot write to standard output: "_s + noSpace;
    QTest::newRow("voices to nowhere") << QStringList{u"--list-voices"_s} << Stdout::Closed << 3
                                       << u"Cannot write to standard output: it is closed."_s;
    QTest::newRow("help to a full device") << QStringList{u"--help"_s} << Stdout::Full << 3
                                           << u"Cannot write to standard output: "_s + noSpace;
}

void tst_SayOutput::failedWrites()
{
    QFETCH(QStringList, options);
    QFETCH(Stdout, out);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString full = deviceStandIn(mEnvironment->home(), u"full"_s, 7);
    options.replaceInStrings(u"$HOME"_s, mEnvironment->home());
    options.replaceInStrings(u"$FULL"_s, full);
    message.replace(u"$FULL"_s, full);
    const ToolRun result = run(options + QStringList{u"Lost words."_s}, out);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY(isCharacterDevice(full));
    QVERIFY2(QString::fromUtf8(result.err).endsWith(u"larynx-say: "_s + message + u'\n'), result.err.constData());
}

void tst_SayOutput::timeoutCountsSilence_data()
{
    QTest::addColumn<QByteArray>("sayActions");
    QTest::addColumn<int>("exitCode");

    const QByteArray format = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}},)";
    const QByteArray chunk = R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":4800},)";
    const QByteArray end = R"({"frame":{"type":"end","id":"$id"}})";
    // Two seconds in all, never more than 0.4 s without a word from the helper.
    QByteArray steady = format;
    for (int i = 0; i < 5; ++i)
        steady += R"({"sleep":400},)" + chunk;
    QTest::newRow("steady helper") << steady + end << 0;
    QTest::newRow("helper stops") << format + chunk + R"({"stall":true})" << 3;
}

void tst_SayOutput::timeoutCountsSilence()
{
    QFETCH(QByteArray, sayActions);
    QFETCH(int, exitCode);

    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(R"({"startup":[{"frame":{"type":"ready"}}],"commands":{"say":[)" + sayActions + "]}}"));
    const ToolRun result = run({u"--timeout"_s, u"1"_s, u"-o"_s, mEnvironment->home() + u"/s.wav"_s, u"Slow words."_s});
    QCOMPARE(result.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(result.elapsedMs > 1900, qPrintable(QString::number(result.elapsedMs)));
        return;
    }
    QCOMPARE(result.err, QByteArray("larynx-say: The kokoro helper did not answer within 1 seconds.\n"));
    QVERIFY(result.elapsedMs < 5000);
    QVERIFY(!QFile::exists(mEnvironment->home() + u"/s.wav"_s));
}

void tst_SayOutput::fewSamplesEndPromptly()
{
    // The real helper and a kokoro whose whole speech is five samples: far less than the audio
    // server buffers before it starts a stream.
    PulseAudioServer server;
    if (!server.start())
        QSKIP(qPrintable(u"No PulseAudio server: "_s + server.errorString()));
    QVERIFY(mEnvironment->installScript(QStringLiteral(HELPERS_DIR "/kokoro_helper.py"), u"kokoro_helper.py"_s));
    QTemporaryDir cache;
    const QStringList environment{u"PULSE_SERVER="_s + server.address(),
                                  u"PYTHONPATH=" HELPERS_DIR "/tests/standins"_s,
                                  u"PYTHONDONTWRITEBYTECODE=1"_s,
                                  u"STANDIN_SPACY_INSTALLED=en_core_web_sm"_s,
                                  u"STANDIN_KOKORO_AUDIO=0.1,-0.1,0.1,-0.1,0.1"_s,
                                  u"HF_HUB_CACHE="_s + cache.path()};
    const ToolRun result = run({u"--timeout"_s, u"20"_s, u"Hi."_s}, Stdout::Captured, environment);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY2(result.elapsedMs < 10000, qPrintable(QString::number(result.elapsedMs)));
}

QTEST_GUILESS_MAIN(tst_SayOutput)
#include "tst_sayoutput.moc"
