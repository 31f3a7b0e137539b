#include "fakehelperenvironment.h"

#include <texttospeechkokoroinstallpythonwidget.h>
#include <texttospeechkokoroutils.h>
#include <texttospeechkokorovoicecombobox.h>

#include <QBoxLayout>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QTemporaryDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

// Declared before the scenario texts: moc misreads some raw string literals, so it must
// have seen the class by the time it meets them.
class tst_TextToSpeechKokoroInstallPythonWidget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void layout();
    void nothingToInstall_data();
    void nothingToInstall();
    void installOrdersModules_data();
    void installOrdersModules();
    void installFailures_data();
    void installFailures();
    void downloadVoices_data();
    void downloadVoices();
    void oneInstallAtATime();
    void downloadLocksItsButton();
    void testButtonFollowsTheWork();
    void selfTestVoice_data();
    void selfTestVoice();
    void selfTestAfterDownloadUsesItsFirstVoice();
    void realInstallation_data();
    void realInstallation();

private:
    // Puts the fast stand-in for "python3.11 -m venv" first on PATH.
    void useFakeVenvPython();

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QString mPipLog;
};

namespace
{
constexpr auto torchRun = "install --index-url https://download.pytorch.org/whl/cpu torch\n";
constexpr auto espeakLine = "espeak-ng is missing. Please install it with your package manager.";
// The helper's self-test of any voice: it works, at a quarter of real time.
constexpr auto selfTestWorks = "\"selftest\":[{\"raw\":\"{\\\"type\\\":\\\"stage\\\",\\\"stage\\\":\\\"load\\\"}\\n"
                               "{\\\"type\\\":\\\"result\\\",\\\"ok\\\":true,\\\"device\\\":\\\"cpu\\\",\\\"synthesisSeconds\\\":1.2,"
                               "\\\"audioSeconds\\\":4.8,\\\"realTimeFactor\\\":0.25,\\\"verdict\\\":\\\"smooth\\\"}\\n\"}]";

// A scenario of the given modes, with the self-test that works.
QByteArray withSelfTest(const QByteArray &modes)
{
    return "{\"modes\":{"_ba + modes + (modes.isEmpty() ? "" : ",") + selfTestWorks + "}}";
}

QString worksLine(const QString &voice)
{
    return u"Read-aloud works: %1 on CPU, 4.8 s of speech in 1.2 s (real-time factor 0.25): fast enough to read without pauses."_s.arg(voice);
}

QPushButton *testButton(QWidget *panel)
{
    return panel->findChild<QPushButton *>(u"mTestButton"_s);
}

QPushButton *downloadButton(QWidget *panel)
{
    auto voiceLayout = panel->layout()->itemAt(1)->layout();
    return voiceLayout ? qobject_cast<QPushButton *>(voiceLayout->itemAt(2)->widget()) : nullptr;
}

bool makeWheels(const QString &folder, const QStringList &distributions)
{
    if (!QDir().mkpath(folder))
        return false;
    for (const QString &distribution : distributions) {
        QProcess maker;
        maker.start(FakeHelperEnvironment::systemPython(), {QStringLiteral(FIXTURES_DIR "/make_wheel.py"), folder, distribution});
        if (!maker.waitForFinished() || maker.exitStatus() != QProcess::NormalExit || maker.exitCode() != 0)
            return false;
    }
    return true;
}
} // namespace

// What a panel did, in order: its signals and every line of its log.
class PanelLog : public QObject
{
public:
    explicit PanelLog(TextToSpeechKokoroInstallPythonWidget *panel)
        : mPanel(panel)
    {
        connect(panel, &TextToSpeechKokoroInstallPythonWidget::installInProgress, this, [this](bool status) {
            mSignals.append(status ? u"inProgress(true)"_s : u"inProgress(false)"_s);
        });
        connect(panel, &TextToSpeechKokoroInstallPythonWidget::installDone, this, [this] {
            mSignals.append(u"done"_s);
        });
        connect(panel, &TextToSpeechKokoroInstallPythonWidget::installFailed, this, [this] {
            mSignals.append(u"failed"_s);
        });
        connect(panel, &TextToSpeechKokoroInstallPythonWidget::selfTestFinished, this, [this](bool works, const QString &summary) {
            mTests.append((works ? "works:"_L1 : "fails:"_L1) + summary);
        });
    }
    [[nodiscard]] QStringList lines() const
    {
        const QString text = mPanel->findChild<QPlainTextEdit *>(u"mPlainTextEdit"_s)->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }
    [[nodiscard]] bool ended() const
    {
        return mSignals.contains(u"done"_s) || mSignals.contains(u"failed"_s);
    }
    QStringList mSignals;
    // Each selfTestFinished(), "works:" or "fails:" and the summary.
    QStringList mTests;

private:
    TextToSpeechKokoroInstallPythonWidget *mPanel;
};

void tst_TextToSpeechKokoroInstallPythonWidget::init()
{
    QTest::failOnWarning(QRegularExpression(u"^(?!QStandardPaths|This plugin does not support).*"_s));
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->setScenario(withSelfTest({})));
    mPipLog = mEnvironment->home() + "/pip.log"_L1;
    qputenv("FAKE_PIP_LOG", mPipLog.toUtf8());
}

void tst_TextToSpeechKokoroInstallPythonWidget::cleanup()
{
    for (const char *name : {"FAKE_PIP_LOG", "FAKE_PIP_OUTPUT", "FAKE_PIP_PRELUDE", "FAKE_PIP_FAIL", "FAKE_VENV_EXIT", "PIP_NO_INDEX",
                             "PIP_FIND_LINKS", "PIP_DISABLE_PIP_VERSION_CHECK"})
        qunsetenv(name);
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroInstallPythonWidget::useFakeVenvPython()
{
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_venv_python.py"), u"python3.11"_s));
}

void tst_TextToSpeechKokoroInstallPythonWidget::layout()
{
    // A theme with the one icon the Test button asks for.
    QTemporaryDir themes;
    QVERIFY(QDir().mkpath(themes.filePath(u"test-theme/16x16/actions"_s)));
    QVERIFY(FakeHelperEnvironment::writeFile(themes.filePath(u"test-theme/index.theme"_s),
                                             "[Icon Theme]\nName=test-theme\nDirectories=16x16/actions\n\n"
                                             "[16x16/actions]\nSize=16\nType=Fixed\n"));
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QVERIFY(image.save(themes.filePath(u"test-theme/16x16/actions/system-run.png"_s)));
    const QStringList oldPaths = QIcon::themeSearchPaths();
    const QString oldTheme = QIcon::themeName();
    QIcon::setThemeSearchPaths({themes.path()});
    QIcon::setThemeName(u"test-theme"_s);
    const auto restoreTheme = qScopeGuard([&] {
        QIcon::setThemeSearchPaths(oldPaths);
        QIcon::setThemeName(oldTheme);
    });

    TextToSpeechKokoroInstallPythonWidget panel;
    QVERIFY(panel.modules().isEmpty());
    auto mainLayout = qobject_cast<QVBoxLayout *>(panel.layout());
    QVERIFY(mainLayout);
    QCOMPARE(mainLayout->objectName(), u"mainLayout"_s);
    QCOMPARE(mainLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(mainLayout->count(), 2);

    auto log = qobject_cast<QPlainTextEdit *>(mainLayout->itemAt(0)->widget());
    QVERIFY(log && log->objectName() == "mPlainTextEdit"_L1);
    QVERIFY(log->isReadOnly());
    QVERIFY(log->toPlainText().isEmpty());

    auto voiceLayout = qobject_cast<QHBoxLayout *>(mainLayout->itemAt(1)->layout());
    QVERIFY(voiceLayout);
    QVERIFY(voiceLayout->objectName().isEmpty());
    QCOMPARE(voiceLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(voiceLayout->count(), 4);
    auto label = qobject_cast<QLabel *>(voiceLayout->itemAt(0)->widget());
    QVERIFY(label && label->objectName().isEmpty());
    QCOMPARE(label->text(), u"Select Voice(s):"_s);
    auto chooser = qobject_cast<TextToSpeechKokoroVoiceComboBox *>(voiceLayout->itemAt(1)->widget());
    QVERIFY(chooser && chooser->objectName() == "mKokoroVoiceComboBox"_L1);
    QCOMPARE(voiceLayout->stretch(1), 1);
    QCOMPARE(chooser->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(chooser->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY(chooser->selectedVoices().isEmpty());
    auto button = qobject_cast<QPushButton *>(voiceLayout->itemAt(2)->widget());
    QVERIFY(button && button->objectName().isEmpty());
    QCOMPARE(button->text(), u"Download Voice(s)"_s);
    QVERIFY(button->icon().isNull());
    QVERIFY(button->isEnabled());
    auto test = qobject_cast<QPushButton *>(voiceLayout->itemAt(3)->widget());
    QVERIFY(test && test->objectName() == "mTestButton"_L1);
    QCOMPARE(test->text(), u"Test"_s);
    QCOMPARE(test->icon().name(), u"system-run"_s);
    QVERIFY(test->isEnabled());
    QVERIFY(!panel.isTesting());
    // Both the label and the button belong to the panel, not to a window of their own.
    QCOMPARE(label->parentWidget(), &panel);
    QCOMPARE(button->parentWidget(), &panel);
    QCOMPARE(test->parentWidget(), &panel);
}

void tst_TextToSpeechKokoroInstallPythonWidget::nothingToInstall_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("no module at all") << QStringList() << QStringList{u"Nothing to install."_s};
    QTest::newRow("only espeak-ng") << QStringList{u"espeak-ng"_s} << QStringList{QString::fromUtf8(espeakLine), u"Nothing to install."_s};
    QTest::newRow("espeak-ng twice is told once")
        << QStringList{u"espeak-ng"_s, u"espeak-ng"_s} << QStringList{QString::fromUtf8(espeakLine), u"Nothing to install."_s};
}

void tst_TextToSpeechKokoroInstallPythonWidget::nothingToInstall()
{
    QFETCH(QStringList, modules);
    QFETCH(QStringList, lines);

    useFakeVenvPython();
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setModules(modules);
    QCOMPARE(panel.modules(), modules);
    panel.startInstall();
    // Both signals come from within the call, so the dialog sees the end at once.
    QCOMPARE(log.mSignals, QStringList({u"inProgress(false)"_s, u"done"_s}));
    QCOMPARE(log.lines(), lines);
    QTest::qWait(200);
    // No environment job ran: the existing environment is untouched, and pip never ran.
    QVERIFY(QFileInfo(mEnvironment->home() + "/.venv/kokoro/bin/python"_L1).isSymLink());
    QVERIFY(!QFile::exists(mPipLog));
    QCOMPARE(log.mSignals.size(), 2);
    // Nothing was installed, so there is nothing new to test.
    QVERIFY(log.mTests.isEmpty());
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_TextToSpeechKokoroInstallPythonWidget::installOrdersModules_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QByteArray>("pipRuns");
    QTest::newRow("espeak-ng is reported and never reaches pip")
        << QStringList{u"espeak-ng"_s, u"kokoro"_s, u"torch"_s} << u"kokoro, torch"_s << QByteArray(torchRun) + "install kokoro\n";
    QTest::newRow("an extra module follows the required ones")
        << QStringList{u"numpy"_s} << u"kokoro, torch, numpy"_s << QByteArray(torchRun) + "install kokoro\ninstall numpy\n";
    QTest::newRow("duplicates and case") << QStringList{u"torch"_s, u"Numpy"_s, u"espeak-ng"_s, u"kokoro"_s, u"Numpy"_s}
                                         << u"kokoro, torch, Numpy"_s << QByteArray(torchRun) + "install kokoro\ninstall Numpy\n";
}

void tst_TextToSpeechKokoroInstallPythonWidget::installOrdersModules()
{
    QFETCH(QStringList, modules);
    QFETCH(QString, installed);
    QFETCH(QByteArray, pipRuns);

    useFakeVenvPython();
    // pip's own output with blanks around it, after a read of white space alone: only the
    // text reaches the log, and no empty line.
    qputenv("FAKE_PIP_PRELUDE", " \n\t\n");
    qputenv("FAKE_PIP_OUTPUT", "  \n\n   Collecting {module}\nSuccessfully installed {module}\n\n");
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setModules(modules);
    panel.startInstall();
    // An installation does not announce itself: the dialog locks its button on its own.
    QVERIFY(log.mSignals.isEmpty());
    QTRY_VERIFY(log.ended());

    QStringList expected;
    if (modules.contains(u"espeak-ng"_s))
        expected += QString::fromUtf8(espeakLine);
    expected +=
        {u"Creating the python virtual environment…"_s, u"Python virtual environment created."_s, u"Installing modules: "_s + installed};
    // torch is installed first whatever the order shown.
    for (const QByteArray &run : pipRuns.trimmed().split('\n')) {
        const QString module = QString::fromUtf8(run.split(' ').constLast());
        expected += {u"Collecting "_s + module, u"Successfully installed "_s + module};
    }
    // The installation that ended well is tested at once, with the default voice.
    expected += {u"Installation done."_s, u"Loading the voice af_heart…"_s, worksLine(u"af_heart"_s)};
    QTRY_COMPARE(log.mTests, QStringList{"works:"_L1 + worksLine(u"af_heart"_s)});
    const QStringList lines = log.lines();
    QVERIFY2(lines == expected, qPrintable(lines.join(u" | "_s)));
    QCOMPARE(log.mSignals, QStringList{u"done"_s});
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog), pipRuns);
    QCOMPARE(panel.modules(), modules);
}

void tst_TextToSpeechKokoroInstallPythonWidget::installFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("tail");
    QTest::addColumn<QByteArray>("pipRuns");
    const QStringList venvFailed{u"Creating the python virtual environment…"_s, u"Unable to create the python virtual environment."_s};
    // The log says why, in venv's own last words.
    QTest::newRow("environment cannot be created")
        << u"venv fails"_s << u"^Unable to create venv"_s
        << QStringList{venvFailed.constFirst(), u"venv failed on purpose"_s, venvFailed.constLast()} << QByteArray();
    QTest::newRow("no python3.11 on PATH") << u"no interpreter"_s << u"^Impossible to start TextToSpeechKokoroInstallPythonEvenvJob$"_s
                                           << venvFailed << QByteArray();
    QTest::newRow("a module cannot be installed") << u"kokoro fails"_s << u"^\"?Unable to install module. Exit code: 1"_s
                                                  << QStringList{u"Successfully installed kokoro"_s, u"Unable to install kokoro."_s,
                                                                 u"Unable to install module. Exit code: 1"_s, u"Installation failed."_s}
                                                  << QByteArray(torchRun) + "install kokoro\n";
}

void tst_TextToSpeechKokoroInstallPythonWidget::installFailures()
{
    QFETCH(QString, situation);
    QFETCH(QString, warning);
    QFETCH(QStringList, tail);
    QFETCH(QByteArray, pipRuns);

    if (situation == "no interpreter"_L1) {
        // pip and the helper are not needed; only the folder of the test's own programs stays.
        qputenv("PATH", QFile::encodeName(mEnvironment->binDir()));
        QVERIFY(TextToSpeechKokoroUtils::pythonVersionPath().isEmpty());
    } else {
        useFakeVenvPython();
    }
    if (situation == "venv fails"_L1)
        qputenv("FAKE_VENV_EXIT", "1");
    if (situation == "kokoro fails"_L1)
        qputenv("FAKE_PIP_FAIL", "kokoro");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setModules({u"kokoro"_s, u"torch"_s, u"numpy"_s});
    panel.startInstall();
    QTRY_VERIFY(log.ended());
    const QStringList lines = log.lines();
    QVERIFY2(lines.mid(lines.size() - tail.size()) == tail, qPrintable(lines.join(u" | "_s)));
    QTest::qWait(200);
    QCOMPARE(log.mSignals, QStringList{u"failed"_s});
    QVERIFY(log.mTests.isEmpty());
    // Nothing after the failure: numpy is never attempted.
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog), pipRuns);
}

void tst_TextToSpeechKokoroInstallPythonWidget::downloadVoices_data()
{
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("voices downloaded")
        << QStringList{u"bf_emma"_s, u"af_heart"_s, u"zz_unknown"_s}
        << R"({"raw":"{\"type\":\"downloading\",\"file\":\"kokoro-v1_0.pth\"}\n{\"type\":\"progress\",\"index\":1,\"total\":3}\n"},)"
           R"({"sleep":200},{"raw":"{\"type\":\"downloading\",\"file\":\"voices/af_heart.pt\"}\n{\"type\":\"finished\"}\n"})"_ba
        // The chooser's order, not the order of ticking.
        << u"download --json model af_heart bf_emma"_s << QStringList()
        << QStringList{u"Downloading kokoro-v1_0.pth…"_s, u"Downloading voices/af_heart.pt…"_s, u"Download Voices done."_s,
                       u"Loading the voice af_heart…"_s, worksLine(u"af_heart"_s)};
    QTest::newRow("helper fails") << QStringList{u"af_heart"_s, u"ff_siwis"_s}
                                  << R"({"raw":"{\"type\":\"error\",\"file\":\"voices/ff_siwis.pt\",\"message\":\"not found\"}\n"},)"
                                     R"({"stderr":"  \n OSError: disk full\n\n"},{"exit":2})"_ba
                                  << u"download --json model af_heart ff_siwis"_s
                                  << QStringList{u"^Unable to download \"voices/ff_siwis.pt\" \"not found\"$"_s,
                                                 u"^Unable to download voices af_heart ff_siwis"_s}
                                  << QStringList{u"Unable to download voices/ff_siwis.pt: not found"_s, u"OSError: disk full"_s,
                                                 u"Unable to download voice."_s};
    QTest::newRow("helper fails with nothing on standard error")
        << QStringList{u"af_heart"_s} << R"({"stderr":" \n\t"},{"exit":1})"_ba << u"download --json model af_heart"_s
        << QStringList{u"^Unable to download voices af_heart"_s} << QStringList{u"Unable to download voice."_s};
    QTest::newRow("nothing ticked") << QStringList() << R"({"exit":0})"_ba << QString()
                                    << QStringList{u"^Impossible to start TextToSpeechKokoroDownloadVoiceJob$"_s}
                                    << QStringList{u"Unable to download voice."_s};
}

void tst_TextToSpeechKokoroInstallPythonWidget::downloadVoices()
{
    QFETCH(QStringList, ticked);
    QFETCH(QByteArray, actions);
    QFETCH(QString, arguments);
    QFETCH(QStringList, warnings);
    QFETCH(QStringList, lines);

    const QByteArray scenario = withSelfTest("\"download\":[" + actions + ']');
    QVERIFY(mEnvironment->setScenario(scenario));
    for (const QString &warning : std::as_const(warnings))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    auto chooser = panel.findChild<TextToSpeechKokoroVoiceComboBox *>(u"mKokoroVoiceComboBox"_s);
    chooser->setSelectedVoices(ticked);
    auto button = downloadButton(&panel);
    QVERIFY(button);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(log.mSignals.constFirst(), u"inProgress(true)"_s);
    QTRY_COMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s}));
    // The download ended: the button is free again.
    QVERIFY(button->isEnabled());
    QVERIFY(chooser->isEnabled());
    // A download that ended well is tested with its first voice; a failed one is not.
    const bool tested = lines.contains(u"Download Voices done."_s);
    QTRY_COMPARE(log.lines(), lines);
    QTRY_VERIFY(testButton(&panel)->isEnabled());
    QStringList started;
    if (!arguments.isEmpty())
        started.append(arguments);
    if (tested)
        started.append(u"selftest af_heart"_s);
    QCOMPARE(mEnvironment->startArguments(), started);
    QTest::qWait(200);
    QCOMPARE(log.mSignals.size(), 2);
    QCOMPARE(log.mTests.size(), tested ? 1 : 0);
}

namespace
{
// Every "python3.11 -m venv" appends a line to venvLog, then the environment gets a pip
// that blocks on every module until the test touches receivedPath.
bool useBlockingPip(const QString &binDir, const QString &home, const QString &venvLog, const QString &pipLog, const QString &receivedPath)
{
    const QString pipTemplate = home + "/blocking-pip"_L1;
    if (!FakeHelperEnvironment::writeScriptedPip(pipTemplate, pipLog, receivedPath,
                                                 "wait_for_message()\nout(b'Successfully installed ' + module.encode() + b'\\n')\n"))
        return false;
    const QByteArray python = "#!/bin/sh\n"
                              "echo \"$*\" >> '"
        + QFile::encodeName(venvLog)
        + "'\n"
          "sleep 0.3\n"
          "mkdir -p \"$3/bin\" && touch \"$3/pyvenv.cfg\" && ln -s /usr/bin/python3 \"$3/bin/python\" && cp '"
        + QFile::encodeName(pipTemplate) + "' \"$3/bin/pip\"\n";
    const QString path = binDir + "/python3.11"_L1;
    return FakeHelperEnvironment::writeFile(path, python)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
} // namespace

void tst_TextToSpeechKokoroInstallPythonWidget::oneInstallAtATime()
{
    const QString venvLog = mEnvironment->home() + "/venv.log"_L1;
    const QString received = mEnvironment->home() + "/received"_L1;
    QVERIFY(useBlockingPip(mEnvironment->binDir(), mEnvironment->home(), venvLog, mPipLog, received));
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    auto button = downloadButton(&panel);
    panel.setModules({u"kokoro"_s});

    panel.startInstall();
    QVERIFY(panel.isInstalling());
    QVERIFY(!button->isEnabled());
    // Again while the environment is created, then while pip writes into it.
    panel.startInstall();
    QTRY_VERIFY(FakeHelperEnvironment::readFile(mPipLog).contains("torch"));
    panel.startInstall();
    QVERIFY(!button->isEnabled());
    for (int run = 0; run < 2; ++run) {
        QVERIFY(FakeHelperEnvironment::writeFile(received, {}));
        QTRY_VERIFY(!QFile::exists(received));
    }
    QTRY_VERIFY(log.ended());
    QTRY_COMPARE(log.mTests.size(), 1);
    QTest::qWait(200);

    QCOMPARE(log.mSignals, QStringList{u"done"_s});
    QCOMPARE(FakeHelperEnvironment::readFile(venvLog).count('\n'), 1);
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog), QByteArray(torchRun) + "install kokoro\n");
    QCOMPARE(log.lines().count(u"Creating the python virtual environment…"_s), 1);
    QCOMPARE(log.lines().mid(log.lines().size() - 3),
             QStringList({u"Installation done."_s, u"Loading the voice af_heart…"_s, worksLine(u"af_heart"_s)}));
    QVERIFY(!panel.isInstalling());
    QVERIFY(button->isEnabled());

    // Once ended, an installation may run again.
    panel.startInstall();
    QVERIFY(panel.isInstalling());
    QTRY_VERIFY(FakeHelperEnvironment::readFile(venvLog).count('\n') == 2);
    QTRY_VERIFY(FakeHelperEnvironment::readFile(mPipLog).count('\n') == 3);
    for (int run = 0; run < 2; ++run) {
        QVERIFY(FakeHelperEnvironment::writeFile(received, {}));
        QTRY_VERIFY(!QFile::exists(received));
    }
    QTRY_COMPARE(log.mSignals, (QStringList{u"done"_s, u"done"_s}));
}

void tst_TextToSpeechKokoroInstallPythonWidget::downloadLocksItsButton()
{
    const QByteArray scenario = withSelfTest(R"("download":[{"sleep":400}])");
    QVERIFY(mEnvironment->setScenario(scenario));
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"af_heart"_s});
    auto button = downloadButton(&panel);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(panel.isDownloading());
    QVERIFY(!button->isEnabled());
    // A click that was already on its way when the button went grey starts nothing.
    button->click();
    Q_EMIT button->clicked();
    QTRY_COMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s}));
    QVERIFY(!panel.isDownloading());
    QVERIFY(button->isEnabled());
    QTRY_COMPARE(log.mTests.size(), 1);
    QCOMPARE(mEnvironment->startArguments(), QStringList({u"download --json model af_heart"_s, u"selftest af_heart"_s}));
}

void tst_TextToSpeechKokoroInstallPythonWidget::testButtonFollowsTheWork()
{
    const QByteArray scenario = R"({"modes":{"download":[{"sleep":500}],"selftest":[{"sleep":500},{"raw":"{\"type\":\"result\",\"ok\":false,\"problem\":\"notDownloaded\"}\n"},{"exit":1}]}})";
    QVERIFY(mEnvironment->setScenario(scenario));
    {
        // No environment yet: nothing to test.
        QVERIFY(QDir(mEnvironment->home() + "/.venv/kokoro"_L1).removeRecursively());
        TextToSpeechKokoroInstallPythonWidget panel;
        PanelLog log(&panel);
        QVERIFY(!testButton(&panel)->isEnabled());
        // Asked all the same, it says what to do first.
        QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroSelfTestJob");
        panel.startSelfTest();
        QVERIFY(!panel.isTesting());
        QCOMPARE(log.mTests, QStringList{u"fails:Read-aloud cannot work yet: python modules are missing (kokoro, torch). Install them first."_s});
        QVERIFY(!testButton(&panel)->isEnabled());
    }
    useFakeVenvPython();
    qputenv("FAKE_VENV_SLEEP", "300");
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    auto test = testButton(&panel);
    auto download = downloadButton(&panel);
    QVERIFY(!test->isEnabled());

    // The installation locks it; the environment it leaves makes it usable, and its own
    // test locks it again until that test ends.
    panel.setModules({u"kokoro"_s});
    panel.startInstall();
    QVERIFY(!test->isEnabled());
    panel.startSelfTest();
    QVERIFY(!panel.isTesting());
    QTRY_VERIFY(log.ended());
    QVERIFY(panel.isTesting());
    QVERIFY(!test->isEnabled());
    QVERIFY(download->isEnabled());
    // A second test while one runs starts nothing.
    panel.startSelfTest();
    Q_EMIT test->clicked();
    QTRY_COMPARE(log.mTests.size(), 1);
    QVERIFY(test->isEnabled());
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"selftest af_heart"_s});

    // A download locks it too, and its own test follows.
    panel.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"bf_emma"_s});
    download->click();
    QVERIFY(panel.isDownloading());
    QVERIFY(!test->isEnabled());
    panel.startSelfTest();
    QVERIFY(!panel.isTesting());
    QTRY_VERIFY(!panel.isDownloading());
    QVERIFY(panel.isTesting());
    QTRY_COMPARE(log.mTests.size(), 2);
    QVERIFY(test->isEnabled());
    QCOMPARE(log.mTests.constLast(), u"fails:Read-aloud cannot work yet: the voice bf_emma is not downloaded. Download it first."_s);
    QCOMPARE(log.lines().constLast(), u"Read-aloud cannot work yet: the voice bf_emma is not downloaded. Download it first."_s);
    QCOMPARE(mEnvironment->startArguments(),
             QStringList({u"selftest af_heart"_s, u"download --json model bf_emma"_s, u"selftest bf_emma"_s}));
    qunsetenv("FAKE_VENV_SLEEP");
}

void tst_TextToSpeechKokoroInstallPythonWidget::selfTestVoice_data()
{
    QTest::addColumn<QString>("testVoice");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QString>("tested");
    QTest::newRow("nothing chosen") << QString() << QStringList() << u"af_heart"_s;
    QTest::newRow("the first ticked, in the chooser's order")
        << QString() << QStringList{u"jf_alpha"_s, u"ff_siwis"_s} << u"ff_siwis"_s;
    QTest::newRow("the test voice before the ticked ones") << u"zf_xiaobei"_s << QStringList{u"ff_siwis"_s} << u"zf_xiaobei"_s;
}

void tst_TextToSpeechKokoroInstallPythonWidget::selfTestVoice()
{
    QFETCH(QString, testVoice);
    QFETCH(QStringList, ticked);
    QFETCH(QString, tested);

    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setTestVoice(testVoice);
    panel.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices(ticked);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTest::mouseClick(testButton(&panel), Qt::LeftButton);
    QVERIFY(panel.isTesting());
    QTRY_COMPARE(log.mTests, QStringList{"works:"_L1 + worksLine(tested)});
    QCOMPARE(log.lines(), QStringList({"Loading the voice "_L1 + tested + u'…', worksLine(tested)}));
    QCOMPARE(mEnvironment->startArguments(), QStringList{"selftest "_L1 + tested});
    // A test is neither an installation nor a download: the dialog is never told to lock.
    QVERIFY(log.mSignals.isEmpty());
}

void tst_TextToSpeechKokoroInstallPythonWidget::selfTestAfterDownloadUsesItsFirstVoice()
{
    const QByteArray scenario = withSelfTest(R"("download":[])");
    QVERIFY(mEnvironment->setScenario(scenario));
    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setTestVoice(u"af_heart"_s);
    panel.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"im_nicola"_s, u"ef_dora"_s});
    downloadButton(&panel)->click();
    QTRY_COMPARE(log.mTests, QStringList{"works:"_L1 + worksLine(u"ef_dora"_s)});
    QCOMPARE(mEnvironment->startArguments(), QStringList({u"download --json model ef_dora im_nicola"_s, u"selftest ef_dora"_s}));
}

void tst_TextToSpeechKokoroInstallPythonWidget::realInstallation_data()
{
    QTest::addColumn<QStringList>("wheels");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("every wheel there") << QStringList{u"torch"_s, u"kokoro"_s} << true;
    QTest::newRow("torch missing") << QStringList{u"kokoro"_s} << false;
}

void tst_TextToSpeechKokoroInstallPythonWidget::realInstallation()
{
    QFETCH(QStringList, wheels);
    QFETCH(bool, succeeds);

    // The real python3.11 -m venv, then the environment's real pip, offline from local wheels.
    QCOMPARE(TextToSpeechKokoroUtils::pythonVersionPath(), u"/usr/bin/python3.11"_s);
    const QString wheelDir = mEnvironment->home() + "/wheels"_L1;
    QVERIFY(makeWheels(wheelDir, wheels));
    qputenv("PIP_NO_INDEX", "1");
    qputenv("PIP_FIND_LINKS", wheelDir.toUtf8());
    qputenv("PIP_DISABLE_PIP_VERSION_CHECK", "1");
    // Whatever was there before goes: the job builds the environment from scratch.
    QVERIFY(QDir(mEnvironment->home() + "/.venv/kokoro"_L1).removeRecursively());
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^\"?Unable to install module. Exit code: 1"_s));

    TextToSpeechKokoroInstallPythonWidget panel;
    PanelLog log(&panel);
    panel.setModules({u"espeak-ng"_s, u"kokoro"_s, u"torch"_s});
    panel.startInstall();
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 120000);

    const QStringList lines = log.lines();
    QCOMPARE(lines.mid(0, 4),
             QStringList({QString::fromUtf8(espeakLine), u"Creating the python virtual environment…"_s,
                          u"Python virtual environment created."_s, u"Installing modules: kokoro, torch"_s}));
    QVERIFY(!lines.contains(QString()));
    if (succeeds) {
        QVERIFY2(lines.contains(u"Successfully installed torch-0.1"_s), qPrintable(lines.join(u'\n')));
        QVERIFY(lines.contains(u"Successfully installed kokoro-0.1"_s));
        QVERIFY(lines.indexOf(u"Successfully installed torch-0.1"_s) < lines.indexOf(u"Successfully installed kokoro-0.1"_s));
        QTRY_COMPARE(log.mTests, QStringList{"works:"_L1 + worksLine(u"af_heart"_s)});
        QCOMPARE(log.lines().mid(log.lines().size() - 3),
                 QStringList({u"Installation done."_s, u"Loading the voice af_heart…"_s, worksLine(u"af_heart"_s)}));
        QCOMPARE(log.mSignals, QStringList{u"done"_s});
        QProcess python;
        python.start(TextToSpeechKokoroUtils::venvPython(), {u"-c"_s, u"import kokoro, torch"_s});
        QVERIFY(python.waitForFinished());
        QCOMPARE(python.exitCode(), 0);
    } else {
        // pip's own complaint about torch comes first, then the panel's lines.
        QVERIFY2(lines.filter(u"torch"_s).size() > 1, qPrintable(lines.join(u'\n')));
        QCOMPARE(lines.mid(lines.size() - 2), QStringList({u"Unable to install module. Exit code: 1"_s, u"Installation failed."_s}));
        QCOMPARE(log.mSignals, QStringList{u"failed"_s});
        QVERIFY(log.mTests.isEmpty());
        // torch goes first, so kokoro was never attempted.
        QVERIFY(lines.filter(u"kokoro-0.1"_s).isEmpty());
    }
}

QTEST_MAIN(tst_TextToSpeechKokoroInstallPythonWidget)
#include "tst_texttospeechkokoroinstallpythonwidget.moc"
