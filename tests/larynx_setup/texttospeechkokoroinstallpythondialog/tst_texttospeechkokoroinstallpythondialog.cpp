#include "fakehelperenvironment.h"
#include "screenshots.h"

#include <texttospeechkokoroinstallpythondialog.h>
#include <texttospeechkokoroinstallpythonwidget.h>
#include <texttospeechkokorovoicecombobox.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

// Declared before the scenario texts: moc misreads some raw string literals, so it must
// have seen the class by the time it meets them.
class tst_TextToSpeechKokoroInstallPythonDialog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void structure();
    void nothingToInstallLeavesCloseEnabled_data();
    void nothingToInstallLeavesCloseEnabled();
    void closeIsLockedWhileInstalling_data();
    void closeIsLockedWhileInstalling();
    void closeIsLockedWhileDownloading();
    void closeIsRefusedWhileWorking_data();
    void closeIsRefusedWhileWorking();
    void downloadEndingDuringInstallKeepsCloseLocked();
    void keepsItsSize();
    void selfTestLeavesCloseAllowed();
    void realInstallation_data();
    void realInstallation();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
QString qtCloseText()
{
    QDialogButtonBox box(QDialogButtonBox::Close);
    return box.button(QDialogButtonBox::Close)->text();
}

QPushButton *closeButton(const QDialog &dialog)
{
    return dialog.findChild<QPushButton *>(u"mCloseButton"_s);
}

TextToSpeechKokoroInstallPythonWidget *panelOf(const QDialog &dialog)
{
    return dialog.findChild<TextToSpeechKokoroInstallPythonWidget *>(u"mKokoroInstallPythonWidget"_s);
}

QStringList logLines(const QDialog &dialog)
{
    const QString text = dialog.findChild<QPlainTextEdit *>(u"mPlainTextEdit"_s)->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

QPushButton *downloadButton(const QDialog &dialog)
{
    auto voiceLayout = panelOf(dialog)->layout()->itemAt(1)->layout();
    return qobject_cast<QPushButton *>(voiceLayout->itemAt(2)->widget());
}

// The helper's self-test of any voice: it works, after a moment.
constexpr auto selfTestWorks = "\"selftest\":[{\"sleep\":300},{\"raw\":\"{\\\"type\\\":\\\"result\\\",\\\"ok\\\":true,"
                               "\\\"synthesisSeconds\\\":1.2,\\\"audioSeconds\\\":4.8,\\\"realTimeFactor\\\":0.25,"
                               "\\\"verdict\\\":\\\"smooth\\\"}\\n\"}]";

QByteArray withSelfTest(const QByteArray &modes)
{
    return "{\"modes\":{"_ba + modes + (modes.isEmpty() ? "" : ",") + selfTestWorks + "}}";
}

QString worksLine(const QString &voice)
{
    return u"Read-aloud works: %1 on CPU, 4.8 s of speech in 1.2 s (real-time factor 0.25): fast enough to read without pauses."_s.arg(voice);
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

void tst_TextToSpeechKokoroInstallPythonDialog::init()
{
    QTest::failOnWarning(QRegularExpression(u"^(?!QStandardPaths|This plugin does not support).*"_s));
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->setScenario(withSelfTest({})));
    // A quick stand-in for "python3.11 -m venv"; the real one is used where it matters.
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_venv_python.py"), u"python3.11"_s));
}

void tst_TextToSpeechKokoroInstallPythonDialog::cleanup()
{
    for (const char *name :
         {"FAKE_VENV_SLEEP", "FAKE_VENV_EXIT", "FAKE_PIP_FAIL", "PIP_NO_INDEX", "PIP_FIND_LINKS", "PIP_DISABLE_PIP_VERSION_CHECK"})
        qunsetenv(name);
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroInstallPythonDialog::structure()
{
    TextToSpeechKokoroInstallPythonDialog dialog;
    QCOMPARE(dialog.windowTitle(), u"Install Kokoro Package"_s);
    auto layout = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(layout);
    QCOMPARE(layout->objectName(), u"mainlayout"_s);
    // The style's margins, not the panel's zero ones.
    QDialog plain;
    const QVBoxLayout reference(&plain);
    QCOMPARE(layout->contentsMargins(), reference.contentsMargins());
    QCOMPARE(layout->count(), 2);
    auto panel = qobject_cast<TextToSpeechKokoroInstallPythonWidget *>(layout->itemAt(0)->widget());
    QVERIFY(panel && panel->objectName() == "mKokoroInstallPythonWidget"_L1);
    auto box = qobject_cast<QDialogButtonBox *>(layout->itemAt(1)->widget());
    QVERIFY(box && box->objectName() == "box"_L1);
    auto close = closeButton(dialog);
    QVERIFY(close);
    QCOMPARE(box->buttons(), QList<QAbstractButton *>{close});
    QCOMPARE(box->buttonRole(close), QDialogButtonBox::RejectRole);
    QCOMPARE(close->text(), qtCloseText());
    QVERIFY(!close->icon().isNull());
    QVERIFY(close->isEnabled());
}

void tst_TextToSpeechKokoroInstallPythonDialog::nothingToInstallLeavesCloseEnabled_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("only espeak-ng") << QStringList{
        u"espeak-ng"_s} << QStringList{u"espeak-ng is missing. Please install it with your package manager."_s, u"Nothing to install."_s};
    QTest::newRow("nothing") << QStringList() << QStringList{u"Nothing to install."_s};
}

void tst_TextToSpeechKokoroInstallPythonDialog::nothingToInstallLeavesCloseEnabled()
{
    QFETCH(QStringList, modules);
    QFETCH(QStringList, lines);

    TextToSpeechKokoroInstallPythonDialog dialog;
    dialog.setModules(modules);
    QCOMPARE(panelOf(dialog)->modules(), modules);
    dialog.startInstall();
    QVERIFY(closeButton(dialog)->isEnabled());
    QCOMPARE(logLines(dialog), lines);
}

void tst_TextToSpeechKokoroInstallPythonDialog::closeIsLockedWhileInstalling_data()
{
    QTest::addColumn<QByteArray>("venvExit");
    QTest::addColumn<QByteArray>("pipFail");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("installation succeeds") << "0"_ba << QByteArray() << true << u"Installation done."_s;
    QTest::newRow("environment fails") << "1"_ba << QByteArray() << false << u"Unable to create the python virtual environment."_s;
    QTest::newRow("a module fails") << "0"_ba
                                    << "kokoro"_ba << false << u"Installation failed."_s;
}

void tst_TextToSpeechKokoroInstallPythonDialog::closeIsLockedWhileInstalling()
{
    QFETCH(QByteArray, venvExit);
    QFETCH(QByteArray, pipFail);
    QFETCH(bool, succeeds);
    QFETCH(QString, lastLine);

    qputenv("FAKE_VENV_SLEEP", "500");
    qputenv("FAKE_VENV_EXIT", venvExit);
    qputenv("FAKE_PIP_FAIL", pipFail);
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^(Unable to create venv|\"?Unable to install module)"_s));
    TextToSpeechKokoroInstallPythonDialog dialog;
    // The host hears the end from the dialog itself.
    QSignalSpy done(&dialog, &TextToSpeechKokoroInstallPythonDialog::installDone);
    QSignalSpy failed(&dialog, &TextToSpeechKokoroInstallPythonDialog::installFailed);
    auto close = closeButton(dialog);
    dialog.setModules({u"espeak-ng"_s, u"kokoro"_s, u"torch"_s});
    dialog.startInstall();
    QVERIFY(!close->isEnabled());
    QTest::qWait(200);
    QVERIFY(!close->isEnabled());
    QTRY_COMPARE(done.count() + failed.count(), 1);
    QVERIFY(close->isEnabled());
    // The test after a good installation does not hold the window.
    QCOMPARE(panelOf(dialog)->isTesting(), succeeds);
    QTRY_VERIFY(!panelOf(dialog)->isTesting());
    QStringList tail{lastLine};
    if (succeeds)
        tail.append(worksLine(u"af_heart"_s));
    const QStringList lines = logLines(dialog);
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QTest::qWait(200);
    QCOMPARE(done.count(), succeeds ? 1 : 0);
    QCOMPARE(failed.count(), succeeds ? 0 : 1);
}

void tst_TextToSpeechKokoroInstallPythonDialog::closeIsLockedWhileDownloading()
{
    const QByteArray scenario = withSelfTest(R"("download":[{"sleep":500},{"raw":"{\"type\":\"downloading\",\"file\":\"x\"}\n"}])");
    QVERIFY(mEnvironment->setScenario(scenario));
    TextToSpeechKokoroInstallPythonDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"af_heart"_s});
    auto close = closeButton(dialog);
    QTest::mouseClick(downloadButton(dialog), Qt::LeftButton);
    QVERIFY(!close->isEnabled());
    QTRY_VERIFY(close->isEnabled());
    QTRY_COMPARE(logLines(dialog), QStringList({u"Downloading x…"_s, u"Download Voices done."_s, worksLine(u"af_heart"_s)}));
    QCOMPARE(mEnvironment->startArguments(), QStringList({u"download --json model af_heart"_s, u"selftest af_heart"_s}));
}

void tst_TextToSpeechKokoroInstallPythonDialog::closeIsRefusedWhileWorking_data()
{
    QTest::addColumn<bool>("install");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("reason");
    const QString installReason =
        u"The window stays open until the installation ends: closing it now would leave a half-built environment."_s;
    const QString downloadReason = u"The window stays open until the voice download ends."_s;
    for (const QString &how : {u"escape"_s, u"close button"_s, u"window close control"_s}) {
        QTest::addRow("installing, %s", qPrintable(how)) << true << how << installReason;
        QTest::addRow("downloading, %s", qPrintable(how)) << false << how << downloadReason;
    }
}

void tst_TextToSpeechKokoroInstallPythonDialog::closeIsRefusedWhileWorking()
{
    QFETCH(bool, install);
    QFETCH(QString, how);
    QFETCH(QString, reason);

    qputenv("FAKE_VENV_SLEEP", "600");
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[{"sleep":600}]}})"));
    TextToSpeechKokoroInstallPythonDialog dialog;
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QSignalSpy done(&dialog, &TextToSpeechKokoroInstallPythonDialog::installDone);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    if (install) {
        dialog.setModules({u"kokoro"_s});
        dialog.startInstall();
    } else {
        dialog.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"af_heart"_s});
        QTest::mouseClick(downloadButton(dialog), Qt::LeftButton);
    }
    QVERIFY(!closeButton(dialog)->isEnabled());

    const auto tryToClose = [&dialog, &how] {
        if (how == "escape"_L1)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else if (how == "close button"_L1)
            Q_EMIT dialog.findChild<QDialogButtonBox *>(u"box"_s)->rejected();
        else
            dialog.close();
    };
    tryToClose();
    QVERIFY(dialog.isVisible());
    QCOMPARE(rejected.count(), 0);
    QCOMPARE(logLines(dialog).constLast(), reason);

    QTRY_VERIFY(closeButton(dialog)->isEnabled());
    QCOMPARE(done.count(), install ? 1 : 0);
    tryToClose();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(rejected.count(), 1);
}

void tst_TextToSpeechKokoroInstallPythonDialog::downloadEndingDuringInstallKeepsCloseLocked()
{
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[{"sleep":200}]}})"));
    qputenv("FAKE_VENV_SLEEP", "1200");
    TextToSpeechKokoroInstallPythonDialog dialog;
    QSignalSpy done(&dialog, &TextToSpeechKokoroInstallPythonDialog::installDone);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"af_heart"_s});
    QTest::mouseClick(downloadButton(dialog), Qt::LeftButton);
    dialog.setModules({u"kokoro"_s});
    dialog.startInstall();

    QTRY_COMPARE(logLines(dialog).count(u"Download Voices done."_s), 1);
    QVERIFY(done.isEmpty());
    QVERIFY(!closeButton(dialog)->isEnabled());
    QVERIFY(!downloadButton(dialog)->isEnabled());
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(closeButton(dialog)->isEnabled());
    QVERIFY(downloadButton(dialog)->isEnabled());
}

void tst_TextToSpeechKokoroInstallPythonDialog::keepsItsSize()
{
    {
        TextToSpeechKokoroInstallPythonDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(500, 300));
        dialog.resize(640, 480);
        QTRY_COMPARE(dialog.size(), QSize(640, 480));
        QTest::mouseClick(closeButton(dialog), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
    }
    TextToSpeechKokoroInstallPythonDialog again;
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.size(), QSize(640, 480));
}

void tst_TextToSpeechKokoroInstallPythonDialog::selfTestLeavesCloseAllowed()
{
    const QByteArray scenario = R"({"modes":{"selftest":[{"sleep":2000}]}})";
    QVERIFY(mEnvironment->setScenario(scenario));
    TextToSpeechKokoroInstallPythonDialog dialog;
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.setTestVoice(u"bf_emma"_s);
    dialog.startSelfTest();
    QVERIFY(panelOf(dialog)->isTesting());
    QVERIFY(closeButton(dialog)->isEnabled());
    QVERIFY(!dialog.findChild<QPushButton *>(u"mTestButton"_s)->isEnabled());
    QTRY_COMPARE(mEnvironment->startArguments(), QStringList{u"selftest bf_emma"_s});
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(rejected.count(), 1);
}

void tst_TextToSpeechKokoroInstallPythonDialog::realInstallation_data()
{
    QTest::addColumn<QStringList>("wheels");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("every wheel there") << QStringList{u"torch"_s, u"kokoro"_s} << true;
    QTest::newRow("kokoro missing") << QStringList{u"torch"_s} << false;
}

void tst_TextToSpeechKokoroInstallPythonDialog::realInstallation()
{
    QFETCH(QStringList, wheels);
    QFETCH(bool, succeeds);

    // The real python3.11 -m venv, then the environment's real pip, offline from local wheels.
    QVERIFY(QFile::remove(mEnvironment->binDir() + "/python3.11"_L1));
    const QString wheelDir = mEnvironment->home() + "/wheels"_L1;
    QVERIFY(makeWheels(wheelDir, wheels));
    qputenv("PIP_NO_INDEX", "1");
    qputenv("PIP_FIND_LINKS", wheelDir.toUtf8());
    qputenv("PIP_DISABLE_PIP_VERSION_CHECK", "1");
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^\"?Unable to install module. Exit code: 1"_s));

    TextToSpeechKokoroInstallPythonDialog dialog;
    dialog.resize(640, 420);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy done(panelOf(dialog), &TextToSpeechKokoroInstallPythonWidget::installDone);
    QSignalSpy failed(panelOf(dialog), &TextToSpeechKokoroInstallPythonWidget::installFailed);
    QSignalSpy tested(&dialog, &TextToSpeechKokoroInstallPythonDialog::selfTestFinished);
    auto close = closeButton(dialog);
    dialog.setModules({u"espeak-ng"_s, u"kokoro"_s, u"torch"_s});
    dialog.startInstall();
    QVERIFY(!close->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(done.count() + failed.count() == 1, 120000);
    QVERIFY(close->isEnabled());

    const QStringList lines = logLines(dialog);
    QCOMPARE(
        lines.mid(0, 4),
        QStringList({u"espeak-ng is missing. Please install it with your package manager."_s, u"Creating the python virtual environment…"_s,
                     u"Python virtual environment created."_s, u"Installing modules: kokoro, torch"_s}));
    QVERIFY2(lines.contains(u"Successfully installed torch-0.1"_s), qPrintable(lines.join(u'\n')));
    if (!succeeds) {
        // pip's real words do not name what it was asked to install; the log does.
        QCOMPARE(lines.mid(lines.size() - 3),
                 QStringList({u"Unable to install kokoro."_s, u"Unable to install module. Exit code: 1"_s, u"Installation failed."_s}));
        QCOMPARE(failed.count(), 1);
        QVERIFY(tested.isEmpty());
        return;
    }
    QVERIFY(lines.contains(u"Successfully installed kokoro-0.1"_s));
    QVERIFY(lines.contains(u"Installation done."_s));
    QCOMPARE(done.count(), 1);
    QTRY_COMPARE(tested.count(), 1);
    QCOMPARE(tested.constFirst(), QVariantList({true, worksLine(u"af_heart"_s)}));
    QCOMPARE(logLines(dialog).mid(lines.indexOf(u"Installation done."_s)), QStringList({u"Installation done."_s, worksLine(u"af_heart"_s)}));

    // Saved where EARLOBE_SCREENSHOT_DIR points, for a person to look at.
    const QString folder = Screenshots::folder();
    if (folder.isEmpty())
        return;
    dialog.findChild<TextToSpeechKokoroVoiceComboBox *>()->setSelectedVoices({u"af_heart"_s, u"bf_emma"_s, u"ff_siwis"_s});
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(dialog.grab().save(folder + "/kokoro-install-dialog.png"_L1));
}

QTEST_MAIN(tst_TextToSpeechKokoroInstallPythonDialog)
#include "tst_texttospeechkokoroinstallpythondialog.moc"
