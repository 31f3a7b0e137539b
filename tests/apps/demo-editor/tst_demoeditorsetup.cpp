#include "editortestsupport.h"
#include "editorwindow.h"
#include "fakehelperenvironment.h"
#include "sharedsettings.h"

#include <messagebanner.h>
#include <whisperspeechtotextutils.h>

#include <QAction>
#include <QDialog>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace EditorTestSupport;

// The editor's install dialogs, opened from the setup banners as a user would.
class tst_DemoEditorSetup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void bannerRaisesTheOneDialog_data();
    void bannerRaisesTheOneDialog();
    void installEndRechecks_data();
    void installEndRechecks();
    void menuOpensTheOneDialogToTest_data();
    void menuOpensTheOneDialogToTest();

private:
    void addFeatureRows(bool withOutcome);
    // The window, checked, with both helpers in place and no environment: both banners show.
    std::unique_ptr<EditorWindow> startWithoutEnvironments();
    // A "python3 -m venv" stand-in whose environments get a pip that blocks on module until
    // releasePip(), then exits with exitCode.
    void useVenvWithBlockingPip(const QByteArray &module, int exitCode);
    void releasePip(const QByteArray &module);
    static void clickInstall(EditorWindow *window, const QString &banner);
    static QList<QDialog *> dialogs(EditorWindow *window);

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QString mPipLog;
};

namespace
{
// pip's log line for the run that installs module, whatever options come before it.
QByteArray pipRun(const QByteArray &module)
{
    return ' ' + module + '\n';
}
} // namespace

void tst_DemoEditorSetup::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    mPipLog = mEnvironment->home() + "/pip.log"_L1;
}

void tst_DemoEditorSetup::cleanup()
{
    mEnvironment.reset();
}

void tst_DemoEditorSetup::addFeatureRows(bool withOutcome)
{
    QTest::addColumn<QString>("banner");
    QTest::addColumn<QByteArray>("firstModule");
    QTest::addColumn<int>("pipExit");
    QTest::newRow("dictation") << u"whisperBanner"_s << "faster-whisper"_ba << 0;
    // Reading aloud installs torch first.
    QTest::newRow("reading aloud") << u"kokoroBanner"_s << "torch"_ba << 0;
    if (!withOutcome)
        return;
    QTest::newRow("dictation, failed") << u"whisperBanner"_s << "faster-whisper"_ba << 1;
    QTest::newRow("reading aloud, failed") << u"kokoroBanner"_s << "torch"_ba << 1;
}

std::unique_ptr<EditorWindow> tst_DemoEditorSetup::startWithoutEnvironments()
{
    // Checks that find the environments usable once they exist, and a one-model catalogue.
    QByteArray scenario = checkAnswer(usableCheck());
    scenario.chop(1);
    scenario = R"({"modes":)" + scenario
        + R"(,"models":[{"raw":"{\"models\":[{\"id\":\"tiny\",\"name\":\"Tiny\",\"sizeMib\":72,\"multilingual\":true,\"default\":true}]}"}]}})";
    if (!mEnvironment->installFakeHelper(u"whisper_helper.py"_s) || !mEnvironment->installFakeHelper(u"kokoro_helper.py"_s)
        || !mEnvironment->setScenario(scenario))
        return {};
    auto window = std::make_unique<EditorWindow>();
    QSignalSpy checked(window.get(), &EditorWindow::setupChecked);
    window->show();
    window->checkSetup();
    if (checked.isEmpty() && !checked.wait(HelperTimeoutMs))
        return {};
    return window;
}

void tst_DemoEditorSetup::useVenvWithBlockingPip(const QByteArray &module, int exitCode)
{
    const QString pip = mEnvironment->home() + "/pip-template"_L1;
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(pip, mPipLog, mEnvironment->home() + "/received"_L1,
                                                    "if module == '" + module + "':\n    wait_for_message()\nsys.exit("
                                                        + QByteArray::number(exitCode) + ")\n"));
    // Anything but "-m venv" goes to the real interpreter: the helpers run with it too.
    const QByteArray python = QFile::encodeName(FakeHelperEnvironment::systemPython());
    const QByteArray venvMaker = "#!/bin/sh\n"
                                                       "[ \"$1 $2\" = \"-m venv\" ] || exec " + python + " \"$@\"\n"
                                                       "mkdir -p \"$3/bin\" && ln -s " + python + " \"$3/bin/python\" && cp "
                                                           + QFile::encodeName(pip) + " \"$3/bin/pip\" && touch \"$3/pyvenv.cfg\"\n";
    // Dictation makes its environment with python3, reading aloud with python3.11.
    for (const QString &name : {u"python3"_s, u"python3.11"_s}) {
        const QString path = mEnvironment->binDir() + u'/' + name;
        QVERIFY(FakeHelperEnvironment::writeFile(path, venvMaker));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
}

void tst_DemoEditorSetup::releasePip(const QByteArray &module)
{
    // Touched only once pip runs, which removes a leftover at its start.
    QTRY_VERIFY_WITH_TIMEOUT(FakeHelperEnvironment::readFile(mPipLog).contains(pipRun(module)), HelperTimeoutMs);
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/received"_L1, {}));
}

void tst_DemoEditorSetup::clickInstall(EditorWindow *window, const QString &banner)
{
    // The banner's one action, "Install" (the kokoro one has no object name).
    const QList<QAction *> actions = child<QWidget>(window, banner)->actions();
    QCOMPARE(actions.size(), 1);
    actions.constFirst()->trigger();
}

QList<QDialog *> tst_DemoEditorSetup::dialogs(EditorWindow *window)
{
    return window->findChildren<QDialog *>(Qt::FindDirectChildrenOnly);
}

void tst_DemoEditorSetup::bannerRaisesTheOneDialog_data()
{
    addFeatureRows(false);
}

void tst_DemoEditorSetup::bannerRaisesTheOneDialog()
{
    QFETCH(QString, banner);
    QFETCH(QByteArray, firstModule);
    QFETCH(int, pipExit);

    useVenvWithBlockingPip(firstModule, pipExit);
    auto window = startWithoutEnvironments();
    QVERIFY(window);
    QVERIFY(child<QWidget>(window.get(), banner)->isVisible());

    clickInstall(window.get(), banner);
    QCOMPARE(dialogs(window.get()).size(), 1);
    QPointer<QDialog> dialog = dialogs(window.get()).constFirst();
    QVERIFY(dialog->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(FakeHelperEnvironment::readFile(mPipLog).contains(pipRun(firstModule)), HelperTimeoutMs);

    // Clicked again while pip runs: the same window comes up, and nothing starts anew.
    dialog->hide();
    clickInstall(window.get(), banner);
    QCOMPARE(dialogs(window.get()), QList<QDialog *>{dialog.data()});
    QVERIFY(dialog->isVisible());

    releasePip(firstModule);
    // The environment is complete once the check has answered again.
    QTRY_VERIFY_WITH_TIMEOUT(!child<QWidget>(window.get(), banner)->isVisible(), HelperTimeoutMs);
    QCOMPARE(FakeHelperEnvironment::readFile(mPipLog).count(pipRun(firstModule)), 1);

    // Closed, the dialog is kept for the next time.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(dialog);
    clickInstall(window.get(), banner);
    QCOMPARE(dialogs(window.get()), QList<QDialog *>{dialog.data()});
    QVERIFY(dialog->isVisible());

    // The previous installation had ended, so that click started another: let it end too.
    QTRY_COMPARE_WITH_TIMEOUT(FakeHelperEnvironment::readFile(mPipLog).count(pipRun(firstModule)), 2, HelperTimeoutMs);
    QSignalSpy checked(window.get(), &EditorWindow::setupChecked);
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/received"_L1, {}));
    QTRY_VERIFY_WITH_TIMEOUT(!checked.isEmpty(), HelperTimeoutMs);
}

void tst_DemoEditorSetup::installEndRechecks_data()
{
    addFeatureRows(true);
}

void tst_DemoEditorSetup::installEndRechecks()
{
    QFETCH(QString, banner);
    QFETCH(QByteArray, firstModule);
    QFETCH(int, pipExit);

    useVenvWithBlockingPip(firstModule, pipExit);
    auto window = startWithoutEnvironments();
    QVERIFY(window);
    auto featureBanner = child<QWidget>(window.get(), banner);
    QVERIFY(featureBanner->isVisible());
    const QString otherBanner = banner == "whisperBanner"_L1 ? u"kokoroBanner"_s : u"whisperBanner"_s;

    clickInstall(window.get(), banner);
    releasePip(firstModule);
    // The environments now answer the check as usable, whatever pip said, so the banner goes
    // only if the editor checks again when the installation ends; the dialog stays open.
    QTRY_VERIFY_WITH_TIMEOUT(!featureBanner->isVisible(), HelperTimeoutMs);
    QVERIFY(dialogs(window.get()).constFirst()->isVisible());
    // The other feature was not checked again.
    QVERIFY(child<QWidget>(window.get(), otherBanner)->isVisible());
}

void tst_DemoEditorSetup::menuOpensTheOneDialogToTest_data()
{
    QTest::addColumn<QString>("banner");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QString>("helperArguments");
    QTest::newRow("dictation") << u"whisperBanner"_s << u"dictationSetupAction"_s << u"whisper"_s << u"selftest --model tiny"_s;
    // The voice the reader uses, chosen after the dialog was first made.
    QTest::newRow("reading aloud") << u"kokoroBanner"_s << u"readAloudSetupAction"_s << u"kokoro"_s << u"selftest bf_emma"_s;
}

void tst_DemoEditorSetup::menuOpensTheOneDialogToTest()
{
    QFETCH(QString, banner);
    QFETCH(QString, action);
    QFETCH(QString, feature);
    QFETCH(QString, helperArguments);

    useVenvWithBlockingPip("nothing", 0);
    auto window = startWithoutEnvironments();
    QVERIFY(window);
    WhisperSpeechToTextUtils::saveModel(u"tiny"_s);
    clickInstall(window.get(), banner);
    QCOMPARE(dialogs(window.get()).size(), 1);
    QPointer<QDialog> dialog = dialogs(window.get()).constFirst();
    // The installation ends, and its own test with it.
    QTRY_VERIFY_WITH_TIMEOUT(!child<QWidget>(window.get(), banner)->isVisible(), HelperTimeoutMs);
    auto testButton = child<QPushButton>(dialog, u"mTestButton"_s);
    QTRY_VERIFY_WITH_TIMEOUT(testButton->isEnabled(), HelperTimeoutMs);
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog->isVisible());

    HostKit::ConfigGroup(ReadAloudSettings::group()).writeEntry(ReadAloudSettings::voiceKey(), u"bf_emma"_s);
    child<QAction>(window.get(), action)->trigger();
    QCOMPARE(dialogs(window.get()), QList<QDialog *>{dialog.data()});
    QVERIFY(dialog->isVisible());

    const qsizetype before = mEnvironment->startArguments().size();
    testButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(mEnvironment->startArguments().size() > before, HelperTimeoutMs);
    QCOMPARE(mEnvironment->startArguments().constLast(), helperArguments);
}

QTEST_MAIN(tst_DemoEditorSetup)
#include "tst_demoeditorsetup.moc"
