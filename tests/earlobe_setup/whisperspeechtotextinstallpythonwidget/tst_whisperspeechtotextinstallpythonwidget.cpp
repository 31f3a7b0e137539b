#include "fakehelperenvironment.h"

#include <configgroup.h>
#include <whisperspeechtotextinstallpythonwidget.h>
#include <whisperspeechtotextmodelcombobox.h>
#include <whisperspeechtotextutils.h>

#include <QBoxLayout>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

// Declared before the scenario texts: moc misreads some raw string literals, so it must
// have seen the class by the time it meets them.
class tst_WhisperSpeechToTextInstallPythonWidget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void layout();
    void downloadButtonWaitsForTheCatalogue_data();
    void downloadButtonWaitsForTheCatalogue();
    void openingSavesNothing_data();
    void openingSavesNothing();
    void choosingSavesAndHints();
    void nothingToInstall();
    void installOrdersModules_data();
    void installOrdersModules();
    void installFailures_data();
    void installFailures();
    void successfulInstallFillsAnEmptyChooser();
    void installListsTheModelsOnDisk();
    void oneInstallationAtATime();
    void downloadShowsProgressAndRefreshes();
    void failedDownload();
    void realInstallation_data();
    void realInstallation();
    void testButtonFollowsTheJobs();
    void whenTheSelfTestRuns_data();
    void whenTheSelfTestRuns();
    void oneSelfTestAtATime();

private:
    std::unique_ptr<WhisperSpeechToTextInstallPythonWidget> makePanel(const QByteArray &helperScenario);
    // Puts the fast stand-in for "python3 -m venv" first on PATH.
    void useFakeVenvPython();
    // A "python3 -m venv" stand-in whose environment gets a pip that blocks on faster-whisper
    // until releasePip().
    void useVenvWithBlockingPip();
    void releasePip();

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QString mPipLog;
};

namespace
{
// Two models: "tiny" (the default) and "small". Listings answer at once unless delayed.
const QByteArray catalogue =
    R"({"raw":"{\"models\":[{\"id\":\"tiny\",\"name\":\"Tiny\",\"sizeMib\":72,\"multilingual\":true,\"default\":true},)"
    R"({\"id\":\"small\",\"name\":\"Small\",\"sizeMib\":462,\"multilingual\":true}]}"})";

// What the self-test answers unless a test says otherwise.
const QByteArray selfTestWorks = R"({"raw":"{\"type\":\"result\",\"ok\":true,\"model\":\"tiny\",\"device\":\"cpu\",)"
                                 R"(\"computeType\":\"int8\",\"passSeconds\":0.3,\"verdict\":\"live\"}\n"})";
const QString selfTestSummary = u"Dictation works: tiny on CPU (int8), 0.30 s per pass: fast enough for live partials."_s;

QByteArray scenario(const QByteArray &cached = {}, const QByteArray &download = R"({"exit":0})", const QByteArray &selfTest = selfTestWorks)
{
    QByteArray listing = "[";
    if (!cached.isEmpty())
        listing += R"({"raw":"{\"type\":\"cached\",\"model\":\")" + cached + R"(\"}\n"})";
    listing += "]";
    return R"({"modes":{"models":[)" + catalogue + R"(],"download --all":)" + listing + R"(,"download":[)" + download + R"(],"selftest":[)"
        + selfTest + "]}}";
}

QString storedModel()
{
    QSettings file(HostKit::ConfigGroup::configFilePath(), QSettings::IniFormat);
    return file.value(u"WhisperSpeechToText/Model"_s, u"<absent>"_s).toString();
}
} // namespace

// What a panel did, in order: its signals and every line of its log.
class PanelLog : public QObject
{
public:
    explicit PanelLog(WhisperSpeechToTextInstallPythonWidget *panel)
        : mPanel(panel)
    {
        connect(panel, &WhisperSpeechToTextInstallPythonWidget::installInProgress, this, [this](bool status) {
            mSignals.append(status ? u"inProgress(true)"_s : u"inProgress(false)"_s);
        });
        connect(panel, &WhisperSpeechToTextInstallPythonWidget::installDone, this, [this] {
            mSignals.append(u"done"_s);
        });
        connect(panel, &WhisperSpeechToTextInstallPythonWidget::installFailed, this, [this] {
            mSignals.append(u"failed"_s);
        });
        connect(panel, &WhisperSpeechToTextInstallPythonWidget::selfTestFinished, this, [this](bool works, const QString &summary) {
            mTests.append((works ? u"works: "_s : u"fails: "_s) + summary);
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
    // Each self-test's end: "works: " or "fails: ", then its summary.
    QStringList mTests;

private:
    WhisperSpeechToTextInstallPythonWidget *mPanel;
};

void tst_WhisperSpeechToTextInstallPythonWidget::init()
{
    QTest::failOnWarning(QRegularExpression(u"^(?!QStandardPaths|This plugin does not support).*"_s));
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    mPipLog = mEnvironment->home() + "/pip.log"_L1;
    qputenv("FAKE_PIP_LOG", mPipLog.toUtf8());
}

void tst_WhisperSpeechToTextInstallPythonWidget::cleanup()
{
    for (const char *name : {"FAKE_PIP_LOG", "FAKE_PIP_OUTPUT", "FAKE_PIP_PRELUDE", "FAKE_PIP_FAIL", "FAKE_VENV_EXIT", "PIP_NO_INDEX",
                             "PIP_FIND_LINKS", "PIP_DISABLE_PIP_VERSION_CHECK"})
        qunsetenv(name);
    mEnvironment.reset();
}

std::unique_ptr<WhisperSpeechToTextInstallPythonWidget>
tst_WhisperSpeechToTextInstallPythonWidget::makePanel(const QByteArray &helperScenario)
{
    if (!mEnvironment->setScenario(helperScenario))
        return {};
    return std::make_unique<WhisperSpeechToTextInstallPythonWidget>();
}

void tst_WhisperSpeechToTextInstallPythonWidget::useFakeVenvPython()
{
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_venv_python.py"), u"python3"_s));
}

void tst_WhisperSpeechToTextInstallPythonWidget::useVenvWithBlockingPip()
{
    const QString pip = mEnvironment->home() + "/pip-template"_L1;
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(pip, mPipLog, mEnvironment->home() + "/received"_L1,
                                                    "if module == 'faster-whisper':\n"
                                                    "    wait_for_message()\n"
                                                    "out(('Successfully installed %s\\n' % module).encode())\n"));
    const QString python3 = mEnvironment->binDir() + "/python3"_L1;
    QVERIFY(FakeHelperEnvironment::writeFile(python3,
                                             "#!/bin/sh\nmkdir -p \"$3/bin\" && ln -s "
                                                 + QFile::encodeName(FakeHelperEnvironment::systemPython()) + " \"$3/bin/python\" && cp "
                                                 + QFile::encodeName(pip) + " \"$3/bin/pip\"\n"));
    QVERIFY(QFile::setPermissions(python3, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void tst_WhisperSpeechToTextInstallPythonWidget::releasePip()
{
    // Touched only once pip runs, which removes a leftover at its start.
    QTRY_VERIFY(FakeHelperEnvironment::readFile(mPipLog).contains("install faster-whisper"));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/received"_L1, {}));
}

void tst_WhisperSpeechToTextInstallPythonWidget::layout()
{
    auto panel = makePanel(scenario());
    auto mainLayout = qobject_cast<QVBoxLayout *>(panel->layout());
    QVERIFY(mainLayout);
    QCOMPARE(mainLayout->objectName(), u"mainLayout"_s);
    QCOMPARE(mainLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(mainLayout->count(), 3);

    auto log = qobject_cast<QPlainTextEdit *>(mainLayout->itemAt(0)->widget());
    QVERIFY(log && log->objectName() == "mPlainTextEdit"_L1 && log->isReadOnly());
    auto bar = qobject_cast<QProgressBar *>(mainLayout->itemAt(1)->widget());
    QVERIFY(bar && bar->objectName() == "mDownloadProgressBar"_L1);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(bar->isHidden());

    auto modelLayout = qobject_cast<QHBoxLayout *>(mainLayout->itemAt(2)->layout());
    QVERIFY(modelLayout);
    QCOMPARE(modelLayout->objectName(), u"modelLayout"_s);
    QCOMPARE(modelLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    auto label = qobject_cast<QLabel *>(modelLayout->itemAt(0)->widget());
    QVERIFY(label && label->objectName() == "modelLabel"_L1);
    QCOMPARE(label->text(), u"Model used for dictation:"_s);
    auto chooser = qobject_cast<WhisperSpeechToTextModelComboBox *>(modelLayout->itemAt(1)->widget());
    QVERIFY(chooser && chooser->objectName() == "mModelComboBox"_L1);
    QCOMPARE(modelLayout->stretch(1), 1);
    auto button = qobject_cast<QPushButton *>(modelLayout->itemAt(2)->widget());
    QVERIFY(button && button->objectName() == "mDownloadModelButton"_L1);
    QCOMPARE(button->text(), u"Download Model"_s);
    QVERIFY(!button->isEnabled());
    auto test = qobject_cast<QPushButton *>(modelLayout->itemAt(3)->widget());
    QVERIFY(test && test->objectName() == "mTestButton"_L1);
    QCOMPARE(test->text(), u"Test"_s);
}

void tst_WhisperSpeechToTextInstallPythonWidget::downloadButtonWaitsForTheCatalogue_data()
{
    QTest::addColumn<QByteArray>("helperScenario");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("catalogue loads") << scenario() << true;
    QTest::newRow("catalogue fails") << QByteArray(R"({"modes":{"models":[{"raw":"not json"}]}})") << false;
}

void tst_WhisperSpeechToTextInstallPythonWidget::downloadButtonWaitsForTheCatalogue()
{
    QFETCH(QByteArray, helperScenario);
    QFETCH(bool, enabled);

    if (!enabled)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^whisper models listing failed"_s));
    auto panel = makePanel(helperScenario);
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QSignalSpy loaded(chooser, &WhisperSpeechToTextModelComboBox::modelsLoaded);
    QSignalSpy failed(chooser, &WhisperSpeechToTextModelComboBox::modelsFailed);
    auto button = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    QVERIFY(!button->isEnabled());
    QTRY_COMPARE(loaded.count() + failed.count(), 1);
    QCOMPARE(button->isEnabled(), enabled);
}

void tst_WhisperSpeechToTextInstallPythonWidget::openingSavesNothing_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("selected");
    QTest::newRow("nothing stored: the default is shown, not saved") << QString() << u"tiny"_s;
    QTest::newRow("a stored model is selected") << u"small"_s << u"small"_s;
    QTest::newRow("a stored model that is gone falls back") << u"large-v9"_s << u"tiny"_s;
}

void tst_WhisperSpeechToTextInstallPythonWidget::openingSavesNothing()
{
    QFETCH(QString, stored);
    QFETCH(QString, selected);

    WhisperSpeechToTextUtils::saveModel(stored);
    const QString before = storedModel();
    auto panel = makePanel(scenario("tiny"));
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_COMPARE(chooser->count(), 2);
    QTRY_COMPARE(cached.count(), 1);
    QCOMPARE(chooser->currentModel(), selected);
    QCOMPARE(storedModel(), before);
}

void tst_WhisperSpeechToTextInstallPythonWidget::choosingSavesAndHints()
{
    auto panel = makePanel(scenario("tiny"));
    PanelLog log(panel.get());
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_COMPARE(chooser->count(), 2);
    QTRY_COMPARE(cached.count(), 1);
    QCOMPARE(chooser->currentModel(), u"tiny"_s);
    QVERIFY(log.lines().isEmpty());

    // The user moves to "small", which is not on disk.
    panel->show();
    chooser->setFocus();
    QTest::keyClick(chooser, Qt::Key_Down);
    QCOMPARE(chooser->currentModel(), u"small"_s);
    QCOMPARE(storedModel(), u"small"_s);
    QCOMPARE(
        log.lines(),
        QStringList{u"The small model is not on disk: it is downloaded the first time it is used, which makes that dictation a long one. "
                    "The Download Model button does it now."_s});

    // Back to "tiny", which is on disk: saved, and no hint.
    QTest::keyClick(chooser, Qt::Key_Up);
    QCOMPARE(storedModel(), u"tiny"_s);
    QCOMPARE(log.lines().size(), 1);
}

void tst_WhisperSpeechToTextInstallPythonWidget::nothingToInstall()
{
    auto panel = makePanel(scenario());
    PanelLog log(panel.get());
    panel->setModules({});
    panel->startInstall();
    QCOMPARE(log.mSignals, QStringList({u"inProgress(false)"_s, u"done"_s}));
    QCOMPARE(log.lines(), QStringList{u"Nothing to install."_s});
    QTest::qWait(100);
    QVERIFY(!QFile::exists(mPipLog));
}

void tst_WhisperSpeechToTextInstallPythonWidget::installOrdersModules_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("installed");
    QTest::newRow("required ones first") << QStringList{u"numpy"_s, u"torch"_s} << u"faster-whisper, numpy, torch"_s;
    QTest::newRow("case matters") << QStringList{u"Numpy"_s} << u"faster-whisper, numpy, Numpy"_s;
    QTest::newRow("required ones are never dropped") << QStringList{u"faster-whisper"_s} << u"faster-whisper, numpy"_s;
    QTest::newRow("blank names dropped") << QStringList{QString(), u" "_s, u" torch\n"_s} << u"faster-whisper, numpy, torch"_s;
}

void tst_WhisperSpeechToTextInstallPythonWidget::installOrdersModules()
{
    QFETCH(QStringList, modules);
    QFETCH(QString, installed);

    useFakeVenvPython();
    // pip's own output with blanks around it, after a read of white space alone: only the
    // text reaches the log, and no empty line.
    qputenv("FAKE_PIP_PRELUDE", " \n\t\n");
    qputenv("FAKE_PIP_OUTPUT", "  \n\n   Collecting {module}\nSuccessfully installed {module}\n\n");
    // The chosen model is on disk, so no hint joins the installation's lines.
    auto panel = makePanel(scenario("tiny"));
    PanelLog log(panel.get());
    panel->setModules(modules);
    QCOMPARE(panel->modules(), modules);
    panel->startInstall();
    QTRY_VERIFY(log.ended());

    QStringList expected{u"Creating the python virtual environment…"_s, u"Python virtual environment created."_s,
                         u"Installing modules in %1/.venv/whisper: %2"_s.arg(mEnvironment->home(), installed)};
    QByteArray pipRuns;
    for (const QString &module : installed.split(u", "_s)) {
        expected += {u"Collecting "_s + module, u"Successfully installed "_s + module};
        pipRuns += "install " + module.toUtf8() + '\n';
    }
    expected += u"Installation done."_s;
    QCOMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s, u"done"_s}));
    // The test that follows a good installation.
    QTRY_COMPARE(log.mTests.size(), 1);
    expected += selfTestSummary;
    const QStringList lines = log.lines();
    QVERIFY2(lines == expected, qPrintable(lines.join(u" | "_s)));
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog), pipRuns);
}

void tst_WhisperSpeechToTextInstallPythonWidget::installFailures_data()
{
    QTest::addColumn<QByteArray>("venvExit");
    QTest::addColumn<QByteArray>("pipFail");
    QTest::addColumn<QStringList>("tail");
    QTest::newRow("environment cannot be created")
        << "1"_ba << QByteArray() << QStringList{u"Unable to create the python virtual environment."_s};
    QTest::newRow("a module cannot be installed") << "0"_ba
                                                  << "numpy"_ba
                                                  << QStringList{u"Successfully installed numpy"_s, u"Unable to install numpy."_s,
                                                                 u"Unable to install module. Exit code: 1"_s, u"Installation failed."_s};
}

void tst_WhisperSpeechToTextInstallPythonWidget::installFailures()
{
    QFETCH(QByteArray, venvExit);
    QFETCH(QByteArray, pipFail);
    QFETCH(QStringList, tail);

    useFakeVenvPython();
    qputenv("FAKE_VENV_EXIT", venvExit);
    qputenv("FAKE_PIP_FAIL", pipFail);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^(Unable to create venv|\"Unable to install module)"_s));
    // The chosen model is on disk, so no hint joins the installation's lines.
    auto panel = makePanel(scenario("tiny"));
    PanelLog log(panel.get());
    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s, u"failed"_s}));
    QCOMPARE(log.lines().mid(log.lines().size() - tail.size()), tail);
    // A failed installation gives the download back, and another try may start.
    QVERIFY(!panel->isInstalling());
    QTRY_VERIFY(panel->findChild<QPushButton *>(u"mDownloadModelButton"_s)->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonWidget::successfulInstallFillsAnEmptyChooser()
{
    // The catalogue cannot be listed before the helper is installed.
    QVERIFY(QFile::remove(mEnvironment->binDir() + "/whisper_helper.py"_L1));
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextModelsJob");
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCachedModelsJob");
    auto panel = makePanel(scenario());
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    auto button = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    QTest::qWait(100);
    QCOMPARE(chooser->count(), 0);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    useFakeVenvPython();
    PanelLog log(panel.get());
    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mSignals.constLast(), u"done"_s);
    QTRY_COMPARE(chooser->count(), 2);
    QTRY_VERIFY(button->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonWidget::installListsTheModelsOnDisk()
{
    // No environment yet: the listing of the models on disk cannot run, the catalogue can.
    QVERIFY(QDir(mEnvironment->home() + "/.venv/whisper"_L1).removeRecursively());
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCachedModelsJob");
    auto panel = makePanel(scenario("tiny"));
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_COMPARE(chooser->count(), 2);
    QVERIFY(!chooser->cachedModelsKnown());

    useFakeVenvPython();
    PanelLog log(panel.get());
    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mSignals.constLast(), u"done"_s);
    QTRY_COMPARE(cached.count(), 1);
    QVERIFY(chooser->isModelDownloaded(u"tiny"_s));
    QCOMPARE(chooser->itemText(0), u"Tiny (72 MiB, downloaded)"_s);
}

void tst_WhisperSpeechToTextInstallPythonWidget::oneInstallationAtATime()
{
    useVenvWithBlockingPip();
    auto panel = makePanel(scenario("tiny"));
    PanelLog log(panel.get());
    auto button = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    QTRY_VERIFY(button->isEnabled());
    QVERIFY(!panel->isBusy());

    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QVERIFY(panel->isInstalling());
    QVERIFY(!button->isEnabled());
    QTRY_VERIFY(FakeHelperEnvironment::readFile(mPipLog).contains("install faster-whisper"));
    // A second click while pip writes into the environment: nothing happens.
    panel->startInstall();
    QCOMPARE(log.mSignals, QStringList{u"inProgress(true)"_s});
    QVERIFY(!button->isEnabled());

    releasePip();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s, u"done"_s}));
    QCOMPARE(log.lines().count(u"Creating the python virtual environment…"_s), 1);
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog), "install faster-whisper\ninstall numpy\n");
    QVERIFY(!panel->isBusy());
    QVERIFY(button->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonWidget::downloadShowsProgressAndRefreshes()
{
    auto panel = makePanel(
        scenario({},
                 R"({"raw":"{\"type\":\"start\",\"model\":\"tiny\"}\n"},{"sleep":300},)"
                 R"({"raw":"{\"type\":\"progress\",\"model\":\"tiny\",\"received\":1073741824,\"total\":2147483648,\"percent\":50}\n"},)"
                 R"({"sleep":300},{"raw":"{\"type\":\"progress\",\"received\":1610612736,\"total\":2147483648}\n"},)"
                 R"({"sleep":300},{"raw":"   \n{\"type\":\"finished\",\"model\":\"tiny\"}\n"})"));
    PanelLog log(panel.get());
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    auto button = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    auto bar = panel->findChild<QProgressBar *>(u"mDownloadProgressBar"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_VERIFY(button->isEnabled());
    QTRY_COMPARE(cached.count(), 1);
    // Whether the not-on-disk hint came depends on which listing answered first.
    const qsizetype hints = log.lines().size();

    panel->show();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(log.mSignals, QStringList{u"inProgress(true)"_s});
    QVERIFY(!button->isEnabled());
    QVERIFY(!chooser->isEnabled());
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->format(), u"%p%"_s);
    QCOMPARE(bar->value(), 0);

    QTRY_COMPARE(bar->format(), u"1.0 GiB of 2.0 GiB"_s);
    QCOMPARE(bar->value(), 50);
    // The helper has read its scenario by now; the next listing finds the model on disk.
    QVERIFY(mEnvironment->setScenario(scenario("tiny")));
    // A progress without a percentage keeps the bar where it was and updates the sizes.
    QTRY_COMPARE(bar->format(), u"1.5 GiB of 2.0 GiB"_s);
    QCOMPARE(bar->value(), 50);

    QTRY_COMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s}));
    QVERIFY(bar->isHidden());
    QVERIFY(button->isEnabled());
    QVERIFY(chooser->isEnabled());
    QTRY_VERIFY(chooser->isModelDownloaded(u"tiny"_s));
    QTRY_COMPARE(cached.count(), 2);
    QTRY_COMPARE(log.mTests.size(), 1);
    // The refreshed listing marks the model downloaded, so the hint is not repeated; the test
    // that follows the download has the last word.
    QCOMPARE(log.lines().mid(hints), QStringList({u"Downloading the tiny model…"_s, u"The tiny model is downloaded."_s, selfTestSummary}));
}

void tst_WhisperSpeechToTextInstallPythonWidget::failedDownload()
{
    auto panel = makePanel(scenario({}, R"({"raw":"{\"type\":\"error\",\"model\":\"tiny\",\"message\":\"no network\"}\n"},{"exit":1})"));
    PanelLog log(panel.get());
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    auto button = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    auto bar = panel->findChild<QProgressBar *>(u"mDownloadProgressBar"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_VERIFY(button->isEnabled());
    QTRY_COMPARE(cached.count(), 1);
    const int listingsBefore = mEnvironment->startArguments().count(u"download --all"_s);
    const qsizetype hints = log.lines().size();

    QTest::ignoreMessage(QtWarningMsg, "Unable to download \"tiny\" \"no network\"");
    QTest::ignoreMessage(QtWarningMsg, "Unable to download model tiny. Exit code: 1");
    panel->show();
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s}));
    QCOMPARE(log.lines().mid(hints),
             QStringList({u"Unable to download the tiny model: no network"_s, u"Unable to download the tiny model."_s}));
    QVERIFY(button->isEnabled());
    QVERIFY(chooser->isEnabled());
    QVERIFY(bar->isHidden());
    QTest::qWait(300);
    QCOMPARE(mEnvironment->startArguments().count(u"download --all"_s), listingsBefore);
}

void tst_WhisperSpeechToTextInstallPythonWidget::realInstallation_data()
{
    QTest::addColumn<QStringList>("wheels");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("every wheel there") << QStringList{u"faster-whisper"_s, u"numpy"_s} << true;
    QTest::newRow("numpy missing") << QStringList{u"faster-whisper"_s} << false;
}

void tst_WhisperSpeechToTextInstallPythonWidget::realInstallation()
{
    QFETCH(QStringList, wheels);
    QFETCH(bool, succeeds);

    // The real python3 -m venv, then the environment's real pip, offline from local wheels.
    const QString wheelDir = mEnvironment->home() + "/wheels"_L1;
    QVERIFY(QDir().mkpath(wheelDir));
    for (const QString &wheel : std::as_const(wheels)) {
        QProcess maker;
        maker.start(FakeHelperEnvironment::systemPython(), {QStringLiteral(FIXTURES_DIR "/make_wheel.py"), wheelDir, wheel});
        QVERIFY(maker.waitForFinished());
        QCOMPARE(maker.exitCode(), 0);
    }
    qputenv("PIP_NO_INDEX", "1");
    qputenv("PIP_FIND_LINKS", wheelDir.toUtf8());
    qputenv("PIP_DISABLE_PIP_VERSION_CHECK", "1");
    QVERIFY(QDir(mEnvironment->home() + "/.venv/whisper"_L1).removeRecursively());
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCachedModelsJob");

    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, "\"Unable to install module. Exit code: 1\"");
    auto panel = makePanel(scenario());
    PanelLog log(panel.get());
    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 120000);

    const QStringList lines = log.lines();
    QCOMPARE(lines.mid(0, 3),
             QStringList({u"Creating the python virtual environment…"_s, u"Python virtual environment created."_s,
                          u"Installing modules in %1/.venv/whisper: faster-whisper, numpy"_s.arg(mEnvironment->home())}));
    QVERIFY2(lines.contains(u"Successfully installed faster-whisper-0.1"_s), qPrintable(lines.join(u'\n')));
    if (succeeds) {
        // The listing of the models on disk, rerun now that the environment exists, may add
        // its hint after the last line of the installation.
        const qsizetype installed = lines.indexOf(u"Successfully installed numpy-0.1"_s);
        QVERIFY(installed > 0);
        QCOMPARE(lines.indexOf(u"Installation done."_s), installed + 1);
        QCOMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s, u"done"_s}));
        QProcess python;
        python.start(WhisperSpeechToTextUtils::venvPython(), {u"-c"_s, u"import faster_whisper, numpy"_s});
        QVERIFY(python.waitForFinished());
        QCOMPARE(python.exitCode(), 0);
    } else {
        QCOMPARE(lines.mid(lines.size() - 3),
                 QStringList({u"Unable to install numpy."_s, u"Unable to install module. Exit code: 1"_s, u"Installation failed."_s}));
        QCOMPARE(log.mSignals, QStringList({u"inProgress(true)"_s, u"inProgress(false)"_s, u"failed"_s}));
    }
}

void tst_WhisperSpeechToTextInstallPythonWidget::testButtonFollowsTheJobs()
{
    useVenvWithBlockingPip();
    // Slow enough a download and a test to look at the button while they run.
    auto panel = makePanel(scenario("tiny", R"({"sleep":400})", R"({"sleep":400},)" + selfTestWorks));
    PanelLog log(panel.get());
    auto test = panel->findChild<QPushButton *>(u"mTestButton"_s);
    auto download = panel->findChild<QPushButton *>(u"mDownloadModelButton"_s);
    QVERIFY(test->isEnabled());
    QTRY_VERIFY(download->isEnabled());

    // An installation, and the test that follows it.
    panel->setModules({u"numpy"_s});
    panel->startInstall();
    QVERIFY(!test->isEnabled());
    releasePip();
    QTRY_VERIFY(log.ended());
    QVERIFY(panel->isTesting());
    QVERIFY(!test->isEnabled());
    QTRY_COMPARE(log.mTests.size(), 1);
    QVERIFY(test->isEnabled());

    // A download, and the test that follows it.
    panel->show();
    QTest::mouseClick(download, Qt::LeftButton);
    QVERIFY(panel->isDownloading());
    QVERIFY(!test->isEnabled());
    QTRY_VERIFY(!panel->isDownloading());
    QVERIFY(panel->isTesting());
    QVERIFY(!test->isEnabled());
    // A test neither holds the panel busy nor stops a download.
    QVERIFY(!panel->isBusy());
    QTRY_COMPARE(log.mTests.size(), 2);
    QVERIFY(test->isEnabled());

    // A click.
    QTest::mouseClick(test, Qt::LeftButton);
    QVERIFY(!test->isEnabled());
    QTRY_COMPARE(log.mTests.size(), 3);
    QVERIFY(test->isEnabled());
    QCOMPARE(log.mTests, QStringList(3, u"works: "_s + selfTestSummary));

    // Without an environment there is nothing to run.
    QVERIFY(QDir(mEnvironment->home() + "/.venv/whisper"_L1).removeRecursively());
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCachedModelsJob");
    auto bare = makePanel(scenario());
    QVERIFY(!bare->findChild<QPushButton *>(u"mTestButton"_s)->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonWidget::whenTheSelfTestRuns_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QByteArray>("selfTest");
    QTest::addColumn<QStringList>("tests");
    QTest::addColumn<QString>("line");

    const QByteArray staged = R"({"raw":"{\"type\":\"stage\",\"stage\":\"load\",\"model\":\"tiny\"}\n"},)" + selfTestWorks;
    const QString works = u"works: "_s + selfTestSummary;
    QTest::newRow("after an installation") << u"install"_s << staged << QStringList{works} << u"selftest --model tiny"_s;
    QTest::newRow("after a download") << u"download"_s << staged << QStringList{works} << u"selftest --model tiny"_s;
    QTest::newRow("a click, with the stored settings")
        << u"click"_s << staged << QStringList{works} << u"selftest --model small --device cuda --compute-type float16 --language de"_s;
    QTest::newRow("a click, and it does not work")
        << u"click"_s << QByteArray(R"({"stderr":"RuntimeError: out of memory\n"},{"exit":1})")
        << QStringList{u"fails: Dictation does not work: RuntimeError: out of memory"_s} << u"selftest --model tiny"_s;
    QTest::newRow("not after nothing to install") << u"nothing"_s << staged << QStringList() << QString();
    QTest::newRow("not after a failed installation") << u"failedInstall"_s << staged << QStringList() << QString();
    QTest::newRow("not after a failed download") << u"failedDownload"_s << staged << QStringList() << QString();
}

void tst_WhisperSpeechToTextInstallPythonWidget::whenTheSelfTestRuns()
{
    QFETCH(QString, trigger);
    QFETCH(QByteArray, selfTest);
    QFETCH(QStringList, tests);
    QFETCH(QString, line);

    if (line.contains("cuda"_L1)) {
        WhisperSpeechToTextUtils::saveModel(u"small"_s);
        WhisperSpeechToTextUtils::saveDevice(u"cuda"_s);
        WhisperSpeechToTextUtils::saveComputeType(u"float16"_s);
        WhisperSpeechToTextUtils::saveLanguage(u"de"_s);
    }
    useFakeVenvPython();
    if (trigger == "failedInstall"_L1) {
        qputenv("FAKE_PIP_FAIL", "numpy");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^\"Unable to install module"_s));
    }
    if (trigger == "failedDownload"_L1)
        QTest::ignoreMessage(QtWarningMsg, "Unable to download model tiny. Exit code: 1");
    auto panel = makePanel(scenario("tiny", trigger == "failedDownload"_L1 ? R"({"exit":1})" : R"({"exit":0})", selfTest));
    PanelLog log(panel.get());
    auto chooser = panel->findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QSignalSpy cached(chooser, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded);
    QTRY_VERIFY(panel->findChild<QPushButton *>(u"mDownloadModelButton"_s)->isEnabled());
    QTRY_COMPARE(cached.count(), 1);
    const qsizetype before = log.lines().size();

    panel->show();
    if (trigger == "install"_L1 || trigger == "failedInstall"_L1 || trigger == "nothing"_L1) {
        panel->setModules(trigger == "nothing"_L1 ? QStringList() : QStringList{u"numpy"_s});
        panel->startInstall();
        QTRY_VERIFY(log.ended());
    } else if (trigger == "click"_L1) {
        QTest::mouseClick(panel->findChild<QPushButton *>(u"mTestButton"_s), Qt::LeftButton);
    } else {
        QTest::mouseClick(panel->findChild<QPushButton *>(u"mDownloadModelButton"_s), Qt::LeftButton);
        QTRY_VERIFY(!panel->isDownloading());
    }

    if (tests.isEmpty()) {
        QTest::qWait(300);
        QVERIFY(!panel->isTesting());
        QCOMPARE(log.mTests, QStringList());
        QCOMPARE(mEnvironment->startArguments().filter(QRegularExpression(u"^selftest"_s)), QStringList());
        return;
    }
    QTRY_COMPARE(log.mTests, tests);
    QCOMPARE(mEnvironment->startArguments().filter(QRegularExpression(u"^selftest"_s)), QStringList{line});
    // Its progress and its summary are the last lines of the log, in order.
    const QString summary = tests.constFirst().mid(tests.constFirst().indexOf(u' ') + 1);
    const QStringList lines = log.lines().mid(before);
    QCOMPARE(lines.constLast(), summary);
    if (selfTest.contains("stage"))
        QCOMPARE(lines.at(lines.size() - 2), u"Loading the tiny model…"_s);
}

void tst_WhisperSpeechToTextInstallPythonWidget::oneSelfTestAtATime()
{
    auto panel = makePanel(scenario("tiny", R"({"exit":0})", R"({"sleep":500},)" + selfTestWorks));
    PanelLog log(panel.get());
    QTRY_VERIFY(panel->findChild<QPushButton *>(u"mDownloadModelButton"_s)->isEnabled());
    panel->startSelfTest();
    QVERIFY(panel->isTesting());
    panel->startSelfTest();
    QTRY_COMPARE(log.mTests.size(), 1);
    QTest::qWait(200);
    QCOMPARE(log.mTests.size(), 1);
    QCOMPARE(mEnvironment->startArguments().filter(QRegularExpression(u"^selftest"_s)).size(), 1);
    QCOMPARE(log.lines().count(selfTestSummary), 1);
}

QTEST_MAIN(tst_WhisperSpeechToTextInstallPythonWidget)
#include "tst_whisperspeechtotextinstallpythonwidget.moc"
