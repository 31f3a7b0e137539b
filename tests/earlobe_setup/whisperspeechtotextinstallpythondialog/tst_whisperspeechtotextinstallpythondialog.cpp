#include "fakehelperenvironment.h"
#include "screenshots.h"

#include <whisperspeechtotextinstallpythondialog.h>
#include <whisperspeechtotextinstallpythonwidget.h>
#include <whisperspeechtotextmodelcombobox.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

using namespace Qt::Literals::StringLiterals;

// Declared before the scenario texts: moc misreads some raw string literals, so it must
// have seen the class by the time it meets them.
class tst_WhisperSpeechToTextInstallPythonDialog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void structure();
    void nothingToInstallLeavesCloseEnabled();
    void closeIsLockedWhileInstalling();
    void closeRefusedWhileAJobRuns_data();
    void closeRefusedWhileAJobRuns();
    void closeAllowedWhileOnlyATestRuns();
    void keepsItsSize();
    void screenshot();

private:
    // A "python3 -m venv" stand-in whose environment gets a pip that blocks on faster-whisper
    // until releasePip().
    void useVenvWithBlockingPip();
    void releasePip();

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QString mPipLog;
};

namespace
{
QByteArray helperScenario()
{
    return R"({"modes":{"models":[{"raw":"{\"models\":[{\"id\":\"tiny\",\"name\":\"Tiny\",\"sizeMib\":72,\"multilingual\":true,\"default\":true},)"
           R"({\"id\":\"small\",\"name\":\"Small\",\"sizeMib\":462,\"multilingual\":true},)"
           R"({\"id\":\"large-v3\",\"name\":\"Large v3\",\"sizeMib\":2947,\"multilingual\":true}]}"}],)"
           R"("download --all":[{"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"}]}})";
}

// The scenario above, with a self-test that takes a while.
QByteArray slowSelfTestScenario()
{
    QByteArray scenario = helperScenario();
    scenario.chop(2);
    return scenario
        + R"(,"selftest":[{"sleep":800},{"raw":"{\"type\":\"result\",\"ok\":true,\"model\":\"tiny\",\"device\":\"cpu\",)"
          R"(\"computeType\":\"int8\",\"passSeconds\":0.3,\"verdict\":\"live\"}\n"}]}})";
}

// The scenario above, with a model download that takes a while.
QByteArray slowDownloadScenario()
{
    QByteArray scenario = helperScenario();
    scenario.chop(2);
    return scenario
        + R"(,"download":[{"raw":"{\"type\":\"start\",\"model\":\"tiny\"}\n"},{"sleep":600},)"
          R"({"raw":"{\"type\":\"finished\",\"model\":\"tiny\"}\n"}]}})";
}

QStringList logLines(const QDialog &dialog)
{
    return dialog.findChild<QPlainTextEdit *>(u"mPlainTextEdit"_s)->toPlainText().split(u'\n');
}

QString qtCloseText()
{
    QDialogButtonBox box(QDialogButtonBox::Close);
    return box.button(QDialogButtonBox::Close)->text();
}
} // namespace

void tst_WhisperSpeechToTextInstallPythonDialog::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(helperScenario()));
    // A quick stand-in for "python3 -m venv" whose pip takes its time.
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_venv_python.py"), u"python3"_s));
}

void tst_WhisperSpeechToTextInstallPythonDialog::cleanup()
{
    qunsetenv("FAKE_VENV_SLEEP");
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextInstallPythonDialog::useVenvWithBlockingPip()
{
    mPipLog = mEnvironment->home() + "/pip.log"_L1;
    const QString pip = mEnvironment->home() + "/pip-template"_L1;
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(pip, mPipLog, mEnvironment->home() + "/received"_L1,
                                                    "if module == 'faster-whisper':\n"
                                                    "    wait_for_message()\n"));
    const QString python3 = mEnvironment->binDir() + "/python3"_L1;
    QVERIFY(FakeHelperEnvironment::writeFile(python3,
                                             "#!/bin/sh\nmkdir -p \"$3/bin\" && ln -s "
                                                 + QFile::encodeName(FakeHelperEnvironment::systemPython()) + " \"$3/bin/python\" && cp "
                                                 + QFile::encodeName(pip) + " \"$3/bin/pip\"\n"));
    QVERIFY(QFile::setPermissions(python3, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void tst_WhisperSpeechToTextInstallPythonDialog::releasePip()
{
    // Touched only once pip runs, which removes a leftover at its start.
    QTRY_VERIFY(FakeHelperEnvironment::readFile(mPipLog).contains("install faster-whisper"));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/received"_L1, {}));
}

void tst_WhisperSpeechToTextInstallPythonDialog::structure()
{
    WhisperSpeechToTextInstallPythonDialog dialog;
    QCOMPARE(dialog.windowTitle(), u"Install Whisper Package"_s);
    auto layout = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(layout);
    QCOMPARE(layout->objectName(), u"mainLayout"_s);
    QCOMPARE(layout->count(), 2);
    auto panel = qobject_cast<WhisperSpeechToTextInstallPythonWidget *>(layout->itemAt(0)->widget());
    QVERIFY(panel && panel->objectName() == "mWhisperInstallPythonWidget"_L1);
    auto box = qobject_cast<QDialogButtonBox *>(layout->itemAt(1)->widget());
    QVERIFY(box && box->objectName() == "box"_L1);
    auto close = dialog.findChild<QPushButton *>(u"mCloseButton"_s);
    QVERIFY(close);
    QCOMPARE(box->buttons(), QList<QAbstractButton *>{close});
    QCOMPARE(box->buttonRole(close), QDialogButtonBox::RejectRole);
    QCOMPARE(close->text(), qtCloseText());
    QVERIFY(!close->icon().isNull());
    QVERIFY(close->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonDialog::nothingToInstallLeavesCloseEnabled()
{
    WhisperSpeechToTextInstallPythonDialog dialog;
    QSignalSpy done(&dialog, &WhisperSpeechToTextInstallPythonDialog::installDone);
    dialog.setModules({});
    dialog.startInstall();
    QCOMPARE(done.count(), 1);
    QVERIFY(dialog.findChild<QPushButton *>(u"mCloseButton"_s)->isEnabled());
}

void tst_WhisperSpeechToTextInstallPythonDialog::closeIsLockedWhileInstalling()
{
    qputenv("FAKE_VENV_SLEEP", "500");
    WhisperSpeechToTextInstallPythonDialog dialog;
    QSignalSpy done(&dialog, &WhisperSpeechToTextInstallPythonDialog::installDone);
    QSignalSpy failed(&dialog, &WhisperSpeechToTextInstallPythonDialog::installFailed);
    auto close = dialog.findChild<QPushButton *>(u"mCloseButton"_s);
    dialog.setModules({u"numpy"_s});
    dialog.startInstall();
    QVERIFY(!close->isEnabled());
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(close->isEnabled());
    QTest::qWait(200);
    QCOMPARE(done.count(), 1);
    QCOMPARE(failed.count(), 0);
}

void tst_WhisperSpeechToTextInstallPythonDialog::closeRefusedWhileAJobRuns_data()
{
    QTest::addColumn<bool>("install");
    QTest::addColumn<bool>("download");
    QTest::addColumn<QString>("reason");

    const QString installing =
        u"This window stays open until the installation ends: closing it now would leave a half-built environment."_s;
    QTest::newRow("installation") << true << false << installing;
    QTest::newRow("model download") << false << true
                                    << u"This window stays open until the model download ends: closing it now would stop it."_s;
    QTest::newRow("download ending during an installation") << true << true << installing;
}

void tst_WhisperSpeechToTextInstallPythonDialog::closeRefusedWhileAJobRuns()
{
    QFETCH(bool, install);
    QFETCH(bool, download);
    QFETCH(QString, reason);

    useVenvWithBlockingPip();
    QVERIFY(mEnvironment->setScenario(slowDownloadScenario()));
    WhisperSpeechToTextInstallPythonDialog dialog;
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QSignalSpy done(&dialog, &WhisperSpeechToTextInstallPythonDialog::installDone);
    auto panel = dialog.findChild<WhisperSpeechToTextInstallPythonWidget *>(u"mWhisperInstallPythonWidget"_s);
    auto close = dialog.findChild<QPushButton *>(u"mCloseButton"_s);
    auto downloadButton = dialog.findChild<QPushButton *>(u"mDownloadModelButton"_s);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTRY_VERIFY(downloadButton->isEnabled());

    if (download)
        QTest::mouseClick(downloadButton, Qt::LeftButton);
    if (install) {
        dialog.setModules({u"numpy"_s});
        dialog.startInstall();
    }
    QVERIFY(!close->isEnabled());

    // Escape, and the window's own close control, which sends a close event.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    dialog.close();
    QVERIFY(dialog.isVisible());
    QCOMPARE(rejected.count(), 0);
    QCOMPARE(logLines(dialog).count(reason), 2);

    if (download) {
        QTRY_VERIFY(!panel->isDownloading());
        if (install) {
            // The download's end leaves the installation running: still locked.
            QVERIFY(!close->isEnabled());
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(dialog.isVisible());
            QCOMPARE(logLines(dialog).count(reason), 3);
        }
    }
    if (install) {
        releasePip();
        QTRY_COMPARE(done.count(), 1);
    }
    QTRY_VERIFY(close->isEnabled());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!dialog.isVisible());
}

void tst_WhisperSpeechToTextInstallPythonDialog::closeAllowedWhileOnlyATestRuns()
{
    QVERIFY(mEnvironment->setScenario(slowSelfTestScenario()));
    WhisperSpeechToTextInstallPythonDialog dialog;
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QSignalSpy tested(&dialog, &WhisperSpeechToTextInstallPythonDialog::selfTestFinished);
    auto panel = dialog.findChild<WhisperSpeechToTextInstallPythonWidget *>(u"mWhisperInstallPythonWidget"_s);
    auto close = dialog.findChild<QPushButton *>(u"mCloseButton"_s);
    auto test = dialog.findChild<QPushButton *>(u"mTestButton"_s);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    dialog.startSelfTest();
    QVERIFY(panel->isTesting());
    QVERIFY(!test->isEnabled());
    QVERIFY(close->isEnabled());
    // A test changes nothing on disk: the window goes at once, without a word in the log.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!dialog.isVisible());
    QVERIFY(logLines(dialog).filter(u"stays open"_s).isEmpty());

    // The dialog passes the panel's verdict on.
    QTRY_COMPARE(tested.count(), 1);
    QCOMPARE(tested.constFirst().at(0).toBool(), true);
    QCOMPARE(tested.constFirst().at(1).toString(),
             u"Dictation works: tiny on CPU (int8), 0.30 s per pass: fast enough for live partials."_s);
    QCOMPARE(logLines(dialog).constLast(), tested.constFirst().at(1).toString());
}

void tst_WhisperSpeechToTextInstallPythonDialog::keepsItsSize()
{
    {
        WhisperSpeechToTextInstallPythonDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(500, 300));
        dialog.resize(640, 480);
        QTRY_COMPARE(dialog.size(), QSize(640, 480));
        QTest::mouseClick(dialog.findChild<QPushButton *>(u"mCloseButton"_s), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
    }
    WhisperSpeechToTextInstallPythonDialog again;
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.size(), QSize(640, 480));
}

void tst_WhisperSpeechToTextInstallPythonDialog::screenshot()
{
    // Saved where EARLOBE_SCREENSHOT_DIR points, for a person to look at.
    const QString folder = Screenshots::folder();
    if (folder.isEmpty())
        QSKIP("EARLOBE_SCREENSHOT_DIR is not set");
    WhisperSpeechToTextInstallPythonDialog dialog;
    dialog.resize(640, 420);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto chooser = dialog.findChild<WhisperSpeechToTextModelComboBox *>(u"mModelComboBox"_s);
    QTRY_COMPARE(chooser->count(), 3);
    QTRY_VERIFY(chooser->cachedModelsKnown());
    dialog.setModules({u"numpy"_s});
    dialog.startInstall();
    QTRY_VERIFY(dialog.findChild<QPushButton *>(u"mCloseButton"_s)->isEnabled());
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(dialog.grab().save(folder + "/whisper-install-dialog.png"_L1));
}

QTEST_MAIN(tst_WhisperSpeechToTextInstallPythonDialog)
#include "tst_whisperspeechtotextinstallpythondialog.moc"
