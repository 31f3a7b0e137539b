#include "fakehelperenvironment.h"
#include "toolrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr qint64 ModelBytes = 488636416; // 466 MiB
const auto MissingWhisperHelper =
    u"whisper_helper.py was not found on PATH. It is installed into the bin folder of the installation prefix: add that folder to PATH."_s;
const auto MissingKokoroHelper =
    u"kokoro_helper.py was not found on PATH. It is installed into the bin folder of the installation prefix: add that folder to PATH."_s;
const auto EspeakMissing = u"espeak-ng is missing. Please install it with your package manager, for example: sudo apt install espeak-ng"_s;

constexpr auto writeFile = &FakeHelperEnvironment::writeFile;
constexpr auto readFile = &FakeHelperEnvironment::readFile;

QJsonObject frame(const QJsonObject &object)
{
    return {{u"frame"_s, object}};
}

QJsonObject progress(int percent)
{
    return frame({{u"type"_s, u"progress"_s},
                  {u"model"_s, u"small"_s},
                  {u"received"_s, ModelBytes * percent / 100},
                  {u"total"_s, ModelBytes},
                  {u"percent"_s, percent}});
}

QJsonObject voiceEvent(const QString &type, const QString &file, int index, int total)
{
    return frame({{u"type"_s, type}, {u"file"_s, file}, {u"index"_s, index}, {u"total"_s, total}});
}

QJsonObject model(const QString &id, const QString &name, int sizeMib, bool multilingual, bool isDefault)
{
    return {{u"id"_s, id}, {u"name"_s, name}, {u"sizeMib"_s, sizeMib}, {u"multilingual"_s, multilingual}, {u"default"_s, isDefault}};
}

// The fake helper's answer to "models": a small catalogue whose default is small.
QJsonObject catalogue()
{
    const QJsonObject models{{u"models"_s,
                              QJsonArray{model(u"tiny"_s, u"Tiny"_s, 72, true, false), model(u"small"_s, u"Small"_s, 462, true, true),
                                         model(u"large-v3"_s, u"Large v3"_s, 2947, false, false)}}};
    return {{u"raw"_s, QString::fromUtf8(QJsonDocument(models).toJson(QJsonDocument::Compact))}};
}

QByteArray scenario(const QJsonObject &modes)
{
    return QJsonDocument(QJsonObject{{u"modes"_s, modes}}).toJson(QJsonDocument::Compact);
}

// A folder nothing can be made in: read-only, which stops an ordinary user, and immutable
// where chattr works, which stops root. Writable again when the object goes.
class LockedFolder
{
public:
    explicit LockedFolder(const QString &path)
        : mPath(path)
    {
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        mImmutable = QProcess::execute(u"chattr"_s, {u"+i"_s, path}) == 0;
    }
    ~LockedFolder()
    {
        if (mImmutable)
            QProcess::execute(u"chattr"_s, {u"-i"_s, mPath});
        QFile::setPermissions(mPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    LockedFolder(const LockedFolder &) = delete;
    LockedFolder &operator=(const LockedFolder &) = delete;

    [[nodiscard]] bool isLocked() const
    {
        return !QDir(mPath).mkdir(u"probe"_s);
    }

private:
    QString mPath;
    bool mImmutable = false;
};

QStringList withHome(const QStringList &lines, const QString &home)
{
    QStringList result;
    for (const QString &line : lines)
        result.append(QString(line).replace(u"$HOME"_s, home));
    return result;
}
} // namespace

class tst_SetupTool : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void help_data();
    void help();
    void badUsage_data();
    void badUsage();

    void check_data();
    void check();

    void models();
    void modelsWithoutEnvironment();
    void modelsFailures_data();
    void modelsFailures();
    void downloadModel_data();
    void downloadModel();
    void downloadModelDefaultsToTheChosenOne();
    void downloadsNeedAnEnvironment_data();
    void downloadsNeedAnEnvironment();

    void voices();
    void downloadVoices_data();
    void downloadVoices();

    void installIntoExistingEnvironment_data();
    void installIntoExistingEnvironment();
    void installPrintsPipOutputInWholeLines();
    void installWithoutInterpreter();
    void environmentCreationFails_data();
    void environmentCreationFails();

private:
    // A helper script on PATH that prints answer when asked to "check".
    bool installCheckHelper(const QString &feature, const QByteArray &answer);
    [[nodiscard]] QString home() const;
    [[nodiscard]] QString scratch(const QString &name) const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_SetupTool::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_SetupTool::cleanup()
{
    mEnvironment.reset();
}

QString tst_SetupTool::home() const
{
    return mEnvironment->home();
}

QString tst_SetupTool::scratch(const QString &name) const
{
    return mEnvironment->home() + "/../"_L1 + name;
}

bool tst_SetupTool::installCheckHelper(const QString &feature, const QByteArray &answer)
{
    const QString script = mEnvironment->binDir() + u'/' + feature + "_helper.py"_L1;
    const QByteArray body = "import sys\n"
                            "if sys.argv[1:] == ['check']:\n"
                            "    sys.stdout.write(open(__file__ + '.answer').read())\n";
    return writeFile(script + ".answer"_L1, answer) && writeFile(script, body)
        && QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void tst_SetupTool::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("tool") << QStringList{u"--help"_s} << u"command [arguments]"_s << u"download-voices ID...|--all"_s;
    QTest::newRow("check") << QStringList{u"check"_s, u"--help"_s} << u"check [whisper|kokoro]"_s << u"feature"_s;
    QTest::newRow("install") << QStringList{u"install"_s, u"-h"_s} << u"install whisper|kokoro"_s << u"--recreate"_s;
    QTest::newRow("models") << QStringList{u"models"_s, u"--help"_s} << u"models"_s << u"chosen for dictation"_s;
    QTest::newRow("download-model") << QStringList{u"--help"_s, u"download-model"_s} << u"download-model [ID]"_s << u"--select"_s;
    QTest::newRow("voices") << QStringList{u"voices"_s, u"--help"_s} << u"voices"_s << u"kokoro voices"_s;
    QTest::newRow("download-voices") << QStringList{u"download-voices"_s, u"--help"_s} << u"download-voices ID...|--all"_s << u"--all"_s;
}

void tst_SetupTool::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, usage);
    QFETCH(QString, mentions);

    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == 0, run.describe());
    QVERIFY(run.err.isEmpty());
    const QString text = run.out.join(u'\n');
    QVERIFY2(run.out.value(0).startsWith(u"Usage: "_s) && run.out.value(0).endsWith(u"[options] "_s + usage), run.describe());
    QVERIFY2(text.contains(mentions), run.describe());
    QVERIFY2(text.contains(u"Exit codes:\n  0  success\n  1  bad usage\n  2  not installed"_s), run.describe());
    QVERIFY(text.contains(u"  3  a job failed"_s));
}

void tst_SetupTool::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("no command") << QStringList{} << u"No command given."_s;
    QTest::newRow("unknown command") << QStringList{u"frobnicate"_s} << u"Unknown command: frobnicate"_s;
    QTest::newRow("unknown option") << QStringList{u"--frobnicate"_s} << u"Unknown option 'frobnicate'."_s;
    QTest::newRow("install without feature") << QStringList{u"install"_s} << u"install: an argument is missing: whisper|kokoro"_s;
    QTest::newRow("install an unknown feature")
        << QStringList{u"install"_s, u"espeak"_s} << u"install: unknown argument espeak, expected whisper|kokoro"_s;
    QTest::newRow("check two features") << QStringList{u"check"_s, u"whisper"_s, u"kokoro"_s}
                                        << u"check: too many arguments: whisper kokoro"_s;
    QTest::newRow("option of another command") << QStringList{u"check"_s, u"--recreate"_s} << u"Unknown option 'recreate'."_s;
    QTest::newRow("models with an argument") << QStringList{u"models"_s, u"tiny"_s} << u"models: too many arguments: tiny"_s;
    QTest::newRow("two models") << QStringList{u"download-model"_s, u"tiny"_s, u"small"_s}
                                << u"download-model: too many arguments: tiny small"_s;
    QTest::newRow("no voices") << QStringList{u"download-voices"_s} << u"download-voices: name the voices or give --all"_s;
    QTest::newRow("voices and --all") << QStringList{u"download-voices"_s, u"--all"_s, u"af_heart"_s}
                                      << u"download-voices: name the voices or give --all"_s;
    QTest::newRow("unknown voice") << QStringList{u"download-voices"_s, u"af_heart"_s, u"xx_nobody"_s}
                                   << u"Unknown voice(s): xx_nobody. List the voices with: earlobe-larynx-setup voices"_s;
}

void tst_SetupTool::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    // Everything is there, so that nothing but the command line can fail.
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));

    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == 1, run.describe());
    QVERIFY2(run.out.isEmpty(), run.describe());
    QVERIFY2(run.err.value(0).endsWith(error), run.describe());
    // Nothing was started.
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_SetupTool::check_data()
{
    QTest::addColumn<QStringList>("arguments");
    // Per feature: "" leaves it alone, "no environment" puts only the helper on PATH, "no
    // helper" makes only the environment; anything else is the helper's answer to "check".
    QTest::addColumn<QByteArray>("whisper");
    QTest::addColumn<QByteArray>("kokoro");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");

    const QStringList checkWhisper{u"check"_s, u"whisper"_s};
    const QStringList checkKokoro{u"check"_s, u"kokoro"_s};
    const QStringList checkBoth{u"check"_s};
    const QByteArray whisperUsable = R"({"python": "3.11.2", "sampleRate": 16000, "channels": 1, "available": true, "missing": []})";
    const QStringList whisperUsableLines{u"whisper: usable"_s, u"    python: $HOME/.venv/whisper/bin/python (3.11.2)"_s,
                                         u"    audio: 16000 Hz, 1 channel"_s};
    const QStringList kokoroNotInstalledLines{u"kokoro: not installed"_s, u"    Kokoro is not installed. Missing: kokoro, torch"_s,
                                              u"    To fix it, run: earlobe-larynx-setup install kokoro"_s};

    QTest::newRow("whisper without environment")
        << checkWhisper << QByteArray("no environment") << QByteArray() << 2
        << QStringList{u"whisper: not installed"_s, u"    Whisper is not installed. Missing: faster-whisper, numpy"_s,
                       u"    To fix it, run: earlobe-larynx-setup install whisper"_s};
    QTest::newRow("whisper without helper") << checkWhisper << QByteArray("no helper") << QByteArray() << 2
                                            << QStringList{u"whisper: not installed"_s,
                                                           u"    Whisper is not usable. Please reinstall it."_s,
                                                           u"    "_s + MissingWhisperHelper};
    QTest::newRow("whisper lacks a module")
        << checkWhisper
        << QByteArray(R"({"python": "3.11.2", "sampleRate": 16000, "channels": 1, "available": false, "missing": ["numpy"]})")
        << QByteArray() << 2
        << QStringList{u"whisper: not installed"_s, u"    Whisper is not installed. Missing: numpy"_s,
                       u"    To fix it, run: earlobe-larynx-setup install whisper"_s};
    QTest::newRow("whisper usable") << checkWhisper << whisperUsable << QByteArray() << 0 << whisperUsableLines;
    QTest::newRow("whisper usable, stereo, no version")
        << checkWhisper << QByteArray(R"({"sampleRate": 48000, "channels": 2, "available": true})") << QByteArray() << 0
        << QStringList{u"whisper: usable"_s, u"    python: $HOME/.venv/whisper/bin/python"_s, u"    audio: 48000 Hz, 2 channels"_s};
    QTest::newRow("whisper answers nonsense") << checkWhisper << QByteArray("Traceback (most recent call last):") << QByteArray() << 3
                                              << QStringList{u"whisper: not usable"_s, u"    Whisper is not usable. Please reinstall it."_s,
                                                             u"    To fix it, run: earlobe-larynx-setup install whisper --recreate"_s};

    QTest::newRow("kokoro without environment")
        << checkKokoro << QByteArray() << QByteArray("no environment") << 2 << kokoroNotInstalledLines;
    QTest::newRow("kokoro without helper") << checkKokoro << QByteArray() << QByteArray("no helper") << 2
                                           << QStringList{u"kokoro: not installed"_s, u"    Kokoro is not usable. Please reinstall it."_s,
                                                          u"    "_s + MissingKokoroHelper};
    QTest::newRow("kokoro lacks torch and espeak-ng")
        << checkKokoro << QByteArray() << QByteArray(R"({"available": false, "missing": ["torch"], "espeakNg": ""})") << 2
        << QStringList{u"kokoro: not installed"_s, u"    Kokoro is not installed. Missing: torch, espeak-ng"_s,
                       u"    espeak-ng is a system program: install it with the package manager, for example: sudo apt install espeak-ng"_s,
                       u"    To fix it, run: earlobe-larynx-setup install kokoro"_s};
    QTest::newRow("kokoro lacks only espeak-ng")
        << checkKokoro << QByteArray() << QByteArray(R"({"available": false, "missing": []})") << 2
        << QStringList{
               u"kokoro: not installed"_s, u"    Kokoro is not installed. Missing: espeak-ng"_s,
               u"    espeak-ng is a system program: install it with the package manager, for example: sudo apt install espeak-ng"_s};
    QTest::newRow("kokoro usable") << checkKokoro << QByteArray() << QByteArray(R"({"available": true})") << 0
                                   << QStringList{u"kokoro: usable"_s, u"    python: $HOME/.venv/kokoro/bin/python"_s};
    QTest::newRow("kokoro answers nothing") << checkKokoro << QByteArray()
                                            << QByteArray(R"({"available": false, "espeakNg": "/usr/bin/espeak-ng"})") << 3
                                            << QStringList{u"kokoro: not usable"_s, u"    Kokoro is not usable. Please reinstall it."_s,
                                                           u"    To fix it, run: earlobe-larynx-setup install kokoro --recreate"_s};

    QTest::newRow("both usable") << checkBoth << whisperUsable << QByteArray(R"({"available": true})") << 0
                                 << whisperUsableLines + QStringList{u"kokoro: usable"_s, u"    python: $HOME/.venv/kokoro/bin/python"_s};
    QTest::newRow("whisper usable, kokoro not installed")
        << checkBoth << whisperUsable << QByteArray("no environment") << 2 << whisperUsableLines + kokoroNotInstalledLines;
    // The worse of the two decides the exit code.
    QTest::newRow("whisper broken, kokoro not installed")
        << checkBoth << QByteArray("{}") << QByteArray("no environment") << 3
        << QStringList{u"whisper: not usable"_s, u"    Whisper is not usable. Please reinstall it."_s,
                       u"    To fix it, run: earlobe-larynx-setup install whisper --recreate"_s}
            + kokoroNotInstalledLines;
}

void tst_SetupTool::check()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, whisper);
    QFETCH(QByteArray, kokoro);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);

    const QList<std::pair<QString, QByteArray>> setups{{u"whisper"_s, whisper}, {u"kokoro"_s, kokoro}};
    for (const auto &[feature, setup] : setups) {
        if (setup.isEmpty())
            continue;
        if (setup != "no environment")
            QVERIFY(mEnvironment->createVenv(feature));
        if (setup != "no helper")
            QVERIFY(installCheckHelper(feature, setup));
    }

    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.out, withHome(lines, home()));
    QVERIFY2(run.err.isEmpty(), run.describe());
}

void tst_SetupTool::models()
{
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(
        scenario({{u"models"_s, QJsonArray{catalogue()}},
                  {u"download --all"_s,
                   QJsonArray{frame({{u"type"_s, u"start"_s}, {u"model"_s, u"tiny"_s}}),
                              frame({{u"type"_s, u"cached"_s}, {u"model"_s, u"small"_s}})}},
                  {u"download --model tiny"_s, QJsonArray{frame({{u"type"_s, u"finished"_s}, {u"model"_s, u"tiny"_s}})}}})));

    const ToolRun select = ToolRun::run({u"download-model"_s, u"tiny"_s, u"--select"_s});
    QVERIFY2(select.exitCode == 0, select.describe());
    QCOMPARE(select.out, QStringList({u"The tiny model is downloaded."_s, u"The tiny model is now the one used for dictation."_s}));

    const ToolRun run = ToolRun::run({u"models"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out,
             QStringList({u"ID        NAME      SIZE     MULTILINGUAL  STATE"_s, u"tiny      Tiny      72 MiB   yes           chosen"_s,
                          u"small     Small     462 MiB  yes           default, downloaded"_s, u"large-v3  Large v3  2.9 GiB  no"_s}));
    QVERIFY2(run.err.isEmpty(), run.describe());
}

void tst_SetupTool::modelsWithoutEnvironment()
{
    // The catalogue comes from the system python3; nothing can be downloaded yet.
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(scenario({{u"models"_s, QJsonArray{catalogue()}}})));

    const ToolRun run = ToolRun::run({u"models"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(
        run.out,
        QStringList({u"ID        NAME      SIZE     MULTILINGUAL  STATE"_s, u"tiny      Tiny      72 MiB   yes"_s,
                     u"small     Small     462 MiB  yes           default"_s, u"large-v3  Large v3  2.9 GiB  no"_s,
                     u"No model is downloaded yet: the whisper environment does not exist. Create it with: earlobe-larynx-setup install "
                     "whisper"_s,
                     u"No model is chosen for dictation. Choose one with: earlobe-larynx-setup download-model ID --select"_s}));
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"models"_s});
}

void tst_SetupTool::modelsFailures_data()
{
    QTest::addColumn<bool>("helper");
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QString>("error");

    QTest::newRow("no helper") << false << QByteArray() << 2 << false << MissingWhisperHelper;
    QTest::newRow("listing fails") << true
                                   << scenario(
                                          {{u"models"_s, QJsonArray{QJsonObject{{u"stderr"_s, u"boom"_s}}, QJsonObject{{u"exit"_s, 1}}}}})
                                   << 3 << false << u"Unable to list the whisper models."_s;
    QTest::newRow("downloaded models unknown") << true
                                               << scenario({{u"models"_s, QJsonArray{catalogue()}},
                                                            {u"download --all"_s, QJsonArray{QJsonObject{{u"exit"_s, 1}}}}})
                                               << 0 << true << u"Which models are downloaded could not be found out."_s;
}

void tst_SetupTool::modelsFailures()
{
    QFETCH(bool, helper);
    QFETCH(QByteArray, scenario);
    QFETCH(int, exitCode);
    QFETCH(bool, listed);
    QFETCH(QString, error);

    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    if (helper)
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(scenario));

    const ToolRun run = ToolRun::run({u"models"_s});
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.err, QStringList{error});
    QCOMPARE(run.out.value(0).startsWith(u"ID "_s), listed);
    QVERIFY2(!run.out.join(u'\n').contains(u"downloaded,"_s), run.describe());
}

void tst_SetupTool::downloadModel_data()
{
    QTest::addColumn<QJsonArray>("actions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QStringList>("err");

    const QJsonObject start = frame({{u"type"_s, u"start"_s}, {u"model"_s, u"small"_s}});

    // Standard error is no terminal here: one line per tenth of the way, no more.
    QTest::newRow("progress to the end") << QJsonArray{start,
                                                       progress(0),
                                                       progress(5),
                                                       progress(25),
                                                       progress(50),
                                                       progress(100),
                                                       frame({{u"type"_s, u"finished"_s}, {u"model"_s, u"small"_s}})}
                                         << 0 << QStringList{u"Downloading the small model…"_s, u"The small model is downloaded."_s}
                                         << QStringList{u"small  [------------------------------]   0 %  0 bytes of 466.0 MiB"_s,
                                                        u"small  [#######-----------------------]  25 %  116.5 MiB of 466.0 MiB"_s,
                                                        u"small  [###############---------------]  50 %  233.0 MiB of 466.0 MiB"_s,
                                                        u"small  [##############################] 100 %  466.0 MiB of 466.0 MiB"_s};
    QTest::newRow("already downloaded") << QJsonArray{frame({{u"type"_s, u"cached"_s}, {u"model"_s, u"small"_s}})} << 0
                                        << QStringList{u"The small model is already downloaded."_s} << QStringList{};
    QTest::newRow("helper reports an error")
        << QJsonArray{start, frame({{u"type"_s, u"error"_s}, {u"model"_s, u"small"_s}, {u"message"_s, u"network down"_s}}),
                      QJsonObject{{u"exit"_s, 1}}}
        << 3 << QStringList{u"Downloading the small model…"_s, u"Unable to download the small model: network down"_s}
        << QStringList{u"Unable to download the small model."_s};
    QTest::newRow("helper killed") << QJsonArray{start, progress(12), QJsonObject{{u"signal"_s, 9}}} << 3
                                   << QStringList{u"Downloading the small model…"_s}
                                   << QStringList{u"small  [###---------------------------]  12 %  55.9 MiB of 466.0 MiB"_s,
                                                  u"Unable to download the small model."_s};
}

void tst_SetupTool::downloadModel()
{
    QFETCH(QJsonArray, actions);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);

    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(scenario({{u"download --model small"_s, actions}})));

    const ToolRun run = ToolRun::run({u"download-model"_s, u"small"_s});
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, err);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"download --model small"_s});
}

void tst_SetupTool::downloadModelDefaultsToTheChosenOne()
{
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(scenario({{u"models"_s, QJsonArray{catalogue()}}})));

    // Nothing chosen: the catalogue's default.
    ToolRun run = ToolRun::run({u"download-model"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out.value(0), u"No model is chosen for dictation: downloading the default one, small."_s);
    QCOMPARE(mEnvironment->startArguments(), QStringList({u"models"_s, u"download --model small"_s}));

    run = ToolRun::run({u"download-model"_s, u"large-v3"_s, u"--select"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    run = ToolRun::run({u"download-model"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out, QStringList());
    QCOMPARE(mEnvironment->startArguments().mid(2), QStringList({u"download --model large-v3"_s, u"download --model large-v3"_s}));

    // A failed download does not change the choice.
    QVERIFY(mEnvironment->setScenario(scenario({{u"download"_s, QJsonArray{QJsonObject{{u"exit"_s, 1}}}}})));
    run = ToolRun::run({u"download-model"_s, u"tiny"_s, u"--select"_s});
    QVERIFY2(run.exitCode == 3, run.describe());
    QVERIFY(!run.out.join(u'\n').contains(u"now the one"_s));
    run = ToolRun::run({u"download-model"_s});
    QCOMPARE(mEnvironment->startArguments().constLast(), u"download --model large-v3"_s);
}

void tst_SetupTool::downloadsNeedAnEnvironment_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("feature");
    QTest::addColumn<bool>("helper");
    QTest::addColumn<QString>("error");

    QTest::newRow("model, no environment") << QStringList{u"download-model"_s, u"small"_s} << u"whisper"_s << true
                                           << u"The whisper environment $HOME/.venv/whisper does not exist yet. Create it with: "
                                              "earlobe-larynx-setup install whisper"_s;
    QTest::newRow("model, no helper") << QStringList{u"download-model"_s, u"small"_s} << u"whisper"_s << false << MissingWhisperHelper;
    QTest::newRow("voices, no environment") << QStringList{u"download-voices"_s, u"af_heart"_s} << u"kokoro"_s << true
                                            << u"The kokoro environment $HOME/.venv/kokoro does not exist yet. Create it with: "
                                               "earlobe-larynx-setup install kokoro"_s;
    QTest::newRow("voices, no helper") << QStringList{u"download-voices"_s, u"af_heart"_s} << u"kokoro"_s << false << MissingKokoroHelper;
}

void tst_SetupTool::downloadsNeedAnEnvironment()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, feature);
    QFETCH(bool, helper);
    QFETCH(QString, error);

    if (helper)
        QVERIFY(mEnvironment->installFakeHelper(feature + "_helper.py"_L1));
    else
        QVERIFY(mEnvironment->createVenv(feature));

    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == 2, run.describe());
    QCOMPARE(run.err, withHome({error}, home()));
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_SetupTool::voices()
{
    const ToolRun run = ToolRun::run({u"voices"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out.size(), 1 + 54);
    QCOMPARE(run.out.constFirst().simplified(), u"ID NAME LANGUAGE GENDER"_s);
    QCOMPARE(run.out.at(1).simplified(), u"af_heart Heart English (United States) female"_s);
    QCOMPARE(run.out.at(1).indexOf(u"Heart"_s), run.out.constFirst().indexOf(u"NAME"_s));
    QCOMPARE(run.out.constLast().simplified(), u"zm_yunyang Yunyang Chinese (China) male"_s);
    QCOMPARE(run.out.constLast().indexOf(u"male"_s), run.out.constFirst().indexOf(u"GENDER"_s));
}

void tst_SetupTool::downloadVoices_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QJsonArray>("actions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<QString>("helperArguments");

    QTest::newRow("two voices")
        << QStringList{u"download-voices"_s, u"af_heart"_s, u"bf_emma"_s}
        << QJsonArray{voiceEvent(u"downloading"_s, u"kokoro-v1_0.pth"_s, 0, 3),    voiceEvent(u"progress"_s, u"kokoro-v1_0.pth"_s, 1, 3),
                      voiceEvent(u"downloading"_s, u"voices/af_heart.pt"_s, 1, 3), voiceEvent(u"progress"_s, u"voices/af_heart.pt"_s, 2, 3),
                      voiceEvent(u"downloading"_s, u"voices/bf_emma.pt"_s, 2, 3),  voiceEvent(u"progress"_s, u"voices/bf_emma.pt"_s, 3, 3),
                      frame({{u"type"_s, u"finished"_s}, {u"total"_s, 3}})}
        << 0
        << QStringList{u"Downloading the kokoro model and the voice(s) af_heart, bf_emma."_s, u"Downloading kokoro-v1_0.pth…"_s,
                       u"Downloading voices/af_heart.pt…"_s, u"Downloading voices/bf_emma.pt…"_s, u"Voices downloaded."_s}
        << QStringList{u"voices  [#########---------------------]  33 %  1 of 3 files"_s,
                       u"voices  [###################-----------]  66 %  2 of 3 files"_s,
                       u"voices  [##############################] 100 %  3 of 3 files"_s}
        << u"download --json model af_heart bf_emma"_s;
    QTest::newRow("a voice twice") << QStringList{u"download-voices"_s, u"bf_emma"_s, u"bf_emma"_s} << QJsonArray{} << 0
                                   << QStringList{u"Downloading the kokoro model and the voice(s) bf_emma."_s, u"Voices downloaded."_s}
                                   << QStringList{} << u"download --json model bf_emma"_s;
    QTest::newRow("helper fails")
        << QStringList{u"download-voices"_s, u"af_heart"_s}
        << QJsonArray{voiceEvent(u"downloading"_s, u"voices/af_heart.pt"_s, 0, 1),
                      frame({{u"type"_s, u"error"_s}, {u"file"_s, u"voices/af_heart.pt"_s}, {u"message"_s, u"HTTP 404"_s}}),
                      QJsonObject{{u"stderr"_s, u"\nHTTP 404 for voices/af_heart.pt\n"_s}}, QJsonObject{{u"exit"_s, 2}}}
        << 3
        << QStringList{u"Downloading the kokoro model and the voice(s) af_heart."_s, u"Downloading voices/af_heart.pt…"_s,
                       u"Unable to download voices/af_heart.pt: HTTP 404"_s, u"HTTP 404 for voices/af_heart.pt"_s}
        << QStringList{u"Unable to download the voices."_s} << u"download --json model af_heart"_s;
}

void tst_SetupTool::downloadVoices()
{
    QFETCH(QStringList, arguments);
    QFETCH(QJsonArray, actions);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);
    QFETCH(QString, helperArguments);

    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->setScenario(scenario({{u"download"_s, actions}})));

    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, err);
    QCOMPARE(mEnvironment->startArguments(), QStringList{helperArguments});
}

void tst_SetupTool::installIntoExistingEnvironment_data()
{
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QStringList>("options");
    // As in check(): the helper's answer, or "no helper".
    QTest::addColumn<QByteArray>("answer");
    // The body of the environment's pip (see FakeHelperEnvironment::writeScriptedPip).
    QTest::addColumn<QByteArray>("pip");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<QStringList>("pipRuns");
    QTest::addColumn<bool>("recreated");

    const QByteArray pipSucceeds = "out(('Successfully installed ' + module + '\\n').encode())\n";
    const QString usingWhisper = u"Using the existing python virtual environment $HOME/.venv/whisper."_s;
    const QString usingKokoro = u"Using the existing python virtual environment $HOME/.venv/kokoro."_s;
    const QString checking = u"Checking the environment…"_s;
    const QStringList recreateWhisper{u"Creating the python virtual environment $HOME/.venv/whisper…"_s,
                                      u"Python virtual environment created."_s,
                                      u"Installing modules: faster-whisper, numpy"_s,
                                      u"Successfully installed faster-whisper"_s,
                                      u"Successfully installed numpy"_s,
                                      u"Installation done."_s};
    const QString torchRun = u"install --index-url https://download.pytorch.org/whl/cpu torch"_s;

    QTest::newRow("whisper lacks a module") << u"whisper"_s << QStringList{} << QByteArray(R"({"available": false, "missing": ["numpy"]})")
                                            << pipSucceeds << 0
                                            << QStringList{usingWhisper, checking, u"Installing modules: numpy"_s,
                                                           u"Successfully installed numpy"_s, u"Installation done."_s}
                                            << QStringList{} << QStringList{u"install numpy"_s} << false;
    QTest::newRow("whisper complete") << u"whisper"_s << QStringList{} << QByteArray(R"({"available": true})") << pipSucceeds << 0
                                      << QStringList{usingWhisper, checking, u"Every required module is installed already."_s}
                                      << QStringList{} << QStringList{} << false;
    QTest::newRow("whisper does not answer") << u"whisper"_s << QStringList{} << QByteArray("Segmentation fault") << pipSucceeds << 0
                                             << QStringList{usingWhisper, checking,
                                                            u"The environment does not answer the check: it is created anew."_s}
            + recreateWhisper << QStringList{}
                                             << QStringList{u"install faster-whisper"_s, u"install numpy"_s} << true;
    QTest::newRow("whisper recreated on request")
        << u"whisper"_s << QStringList{u"--recreate"_s} << QByteArray(R"({"available": true})") << pipSucceeds << 0 << recreateWhisper
        << QStringList{} << QStringList{u"install faster-whisper"_s, u"install numpy"_s} << true;
    QTest::newRow("whisper, pip fails") << u"whisper"_s << QStringList{} << QByteArray(R"({"available": false, "missing": ["numpy"]})")
                                        << QByteArray("err(b'ERROR: No matching distribution found for numpy\\n')\nsys.exit(1)\n") << 3
                                        << QStringList{usingWhisper, checking, u"Installing modules: numpy"_s,
                                                       u"ERROR: No matching distribution found for numpy"_s,
                                                       u"Unable to install numpy."_s, u"Unable to install module. Exit code: 1"_s}
                                        << QStringList{u"Installation failed."_s} << QStringList{u"install numpy"_s} << false;
    QTest::newRow("kokoro lacks torch and espeak-ng")
        << u"kokoro"_s << QStringList{} << QByteArray(R"({"available": false, "missing": ["torch"], "espeakNg": ""})") << pipSucceeds << 0
        << QStringList{usingKokoro,  checking, u"Installing modules: torch"_s, u"Successfully installed torch"_s, u"Installation done."_s,
                       EspeakMissing}
        << QStringList{} << QStringList{torchRun} << false;
    QTest::newRow("kokoro lacks only espeak-ng")
        << u"kokoro"_s << QStringList{} << QByteArray(R"({"available": false, "missing": []})") << pipSucceeds << 0
        << QStringList{usingKokoro, checking, u"Nothing to install with pip."_s, EspeakMissing} << QStringList{} << QStringList{} << false;
    QTest::newRow("kokoro without helper")
        << u"kokoro"_s << QStringList{} << QByteArray("no helper") << pipSucceeds << 0
        << QStringList{usingKokoro,
                       u"kokoro_helper.py is not on PATH, so the environment cannot be checked: installing every required module."_s,
                       u"Installing modules: kokoro, torch"_s,
                       u"Successfully installed torch"_s,
                       u"Successfully installed kokoro"_s,
                       u"Installation done."_s,
                       MissingKokoroHelper,
                       EspeakMissing}
        << QStringList{} << QStringList{torchRun, u"install kokoro"_s} << false;
}

void tst_SetupTool::installIntoExistingEnvironment()
{
    QFETCH(QString, feature);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, pip);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);
    QFETCH(QStringList, pipRuns);
    QFETCH(bool, recreated);

    const QString venv = home() + "/.venv/"_L1 + feature;
    const QString pipLog = scratch(u"pip-log.txt"_s);
    QVERIFY(mEnvironment->createVenv(feature));
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(venv + "/bin/pip"_L1, pipLog, scratch(u"received"_s), pip));
    QVERIFY(writeFile(venv + "/marker"_L1, "old"));
    if (answer != "no helper")
        QVERIFY(installCheckHelper(feature, answer));
    // A new environment comes from a stand-in interpreter whose pip logs to the same file.
    const QString fakePython = QStringLiteral(FIXTURES_DIR "/fake_venv_python.py");
    QVERIFY(mEnvironment->installScript(fakePython, u"python3"_s));
    QVERIFY(mEnvironment->installScript(fakePython, u"python3.11"_s));

    // Only the test's own folder on PATH: no espeak-ng, whatever this machine has.
    QProcessEnvironment changes;
    changes.insert(u"PATH"_s, mEnvironment->binDir());
    changes.insert(u"FAKE_PIP_LOG"_s, pipLog);
    const ToolRun run = ToolRun::run(QStringList{u"install"_s, feature} + options, changes);
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.out, withHome(out, home()));
    QCOMPARE(run.err, err);
    const QString log = QString::fromUtf8(readFile(pipLog));
    QCOMPARE(log.split(u'\n', Qt::SkipEmptyParts), pipRuns);
    QCOMPARE(!QFileInfo::exists(venv + "/marker"_L1), recreated);
}

void tst_SetupTool::installPrintsPipOutputInWholeLines()
{
    const QString venv = home() + "/.venv/whisper"_L1;
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    // Pieces cut inside lines and inside a character, blank lines, a progress line redrawn
    // with carriage returns, and a last line without its line feed.
    const QByteArray pip = "import time\n"
                           "if module != 'numpy':\n"
                           "    out(b'Requirement already satisfied: ' + module.encode() + b'\\n')\n"
                           "    sys.exit(0)\n"
                           "out(b'Collecting nu')\n"
                           "time.sleep(0.3)\n"
                           "out(b'mpy\\r\\n  Downloading numpy.whl (12 kB)\\n\\n   \\n')\n"
                           "time.sleep(0.3)\n"
                           "out(b'Building \\xc3')\n"
                           "time.sleep(0.3)\n"
                           "out(b'\\xa9t\\xc3\\xa9\\n 10%\\r 50%\\r100%\\nSuccessfully installed numpy')\n";
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(venv + "/bin/pip"_L1, scratch(u"pip-log.txt"_s), scratch(u"received"_s), pip));

    const ToolRun run = ToolRun::run({u"install"_s, u"whisper"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out,
             withHome({u"Using the existing python virtual environment $HOME/.venv/whisper."_s,
                       u"whisper_helper.py is not on PATH, so the environment cannot be checked: installing every required module."_s,
                       u"Installing modules: faster-whisper, numpy"_s, u"Requirement already satisfied: faster-whisper"_s,
                       u"Collecting numpy"_s, u"  Downloading numpy.whl (12 kB)"_s, u"Building été"_s, u"100%"_s,
                       u"Successfully installed numpy"_s, u"Installation done."_s, MissingWhisperHelper},
                      home()));
}

void tst_SetupTool::installWithoutInterpreter()
{
    // Nothing on PATH: neither python3.11 to create the environment nor the helper.
    QProcessEnvironment changes;
    changes.insert(u"PATH"_s, mEnvironment->binDir());
    const ToolRun run = ToolRun::run({u"install"_s, u"kokoro"_s}, changes);
    QVERIFY2(run.exitCode == 3, run.describe());
    QCOMPARE(run.out, QStringList());
    QCOMPARE(run.err, QStringList{u"python3.11 was not found on PATH: install it, with its venv module, to create the environment."_s});
    QVERIFY(!QFileInfo::exists(home() + "/.venv/kokoro"_L1));
}

void tst_SetupTool::environmentCreationFails_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("err");

    const QString advice = u", so it is left as it is: move it elsewhere or remove it, then create the environment again."_s;
    const QString unable = u"Unable to create the python virtual environment $HOME/.venv/whisper: "_s;
    QTest::newRow("venv fails") << u"venv fails"_s << QStringList{unable + u"venv failed on purpose."_s};
    QTest::newRow("a folder of the user's") << u"folder"_s
                                            << QStringList{unable
                                                           + u"$HOME/.venv/whisper is not a python virtual environment (it has no pyvenv.cfg)"_s
                                                           + advice};
    QTest::newRow("a regular file") << u"file"_s
                                    << QStringList{unable + u"$HOME/.venv/whisper is a file, not a python virtual environment"_s + advice};
    QTest::newRow("HOME cannot be written") << u"locked home"_s
                                            << QStringList{unable + u"Error: [Errno *] *: '$HOME/.venv'."_s,
                                                           u"$HOME cannot be written to: make it writable, or set HOME to a folder you can write to."_s};
}

void tst_SetupTool::environmentCreationFails()
{
    QFETCH(QString, before);
    QFETCH(QStringList, err);

    // The fake interpreter stands in for venv; the real one tells an unwritable HOME.
    if (before != "locked home"_L1)
        QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_venv_python.py"), u"python3"_s));
    else
        QVERIFY(QFile::link(FakeHelperEnvironment::systemPython(), mEnvironment->binDir() + "/python3"_L1));
    QProcessEnvironment changes;
    changes.insert(u"PATH"_s, mEnvironment->binDir());
    if (before == "venv fails"_L1)
        changes.insert(u"FAKE_VENV_EXIT"_s, u"1"_s);

    QString toolHome = home();
    const QString venv = home() + "/.venv/whisper"_L1;
    QVERIFY(QDir().mkpath(home() + "/.venv"_L1));
    if (before == "folder"_L1) {
        QVERIFY(QDir().mkpath(venv));
        QVERIFY(writeFile(venv + "/notes.txt"_L1, "mine"));
    } else if (before == "file"_L1) {
        QVERIFY(writeFile(venv, "mine"));
    }
    std::unique_ptr<LockedFolder> locked;
    if (before == "locked home"_L1) {
        toolHome = QDir(scratch(u"locked"_s)).absolutePath();
        locked = std::make_unique<LockedFolder>(toolHome);
        if (!locked->isLocked())
            QSKIP("A folder cannot be made unwritable on this machine");
        changes.insert(u"HOME"_s, toolHome);
    }

    const ToolRun run = ToolRun::run({u"install"_s, u"whisper"_s}, changes);
    QVERIFY2(run.exitCode == 3, run.describe());
    QCOMPARE(run.out, withHome({u"Creating the python virtual environment $HOME/.venv/whisper…"_s}, toolHome));
    // Without --verbose, the cause and what to do about it.
    const QStringList expected = withHome(err, toolHome);
    QCOMPARE(run.err.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        // A "*" stands for words that differ from one system to another.
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(QRegularExpression::escape(expected.at(i)).replace(u"\\*"_s, u".*"_s)));
        QVERIFY2(pattern.match(run.err.at(i)).hasMatch(), run.describe());
    }
    if (before == "folder"_L1)
        QCOMPARE(readFile(venv + "/notes.txt"_L1), QByteArray("mine"));
    else if (before == "file"_L1)
        QCOMPARE(readFile(venv), QByteArray("mine"));
}

QTEST_GUILESS_MAIN(tst_SetupTool)
#include "tst_setuptool.moc"
