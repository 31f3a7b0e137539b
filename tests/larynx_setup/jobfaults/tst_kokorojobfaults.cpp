#include "allsignalsspy.h"
#include "fakehelperenvironment.h"
#include "processprobe.h"

#include <texttospeechkokorocheckjob.h>
#include <texttospeechkokorodownloadvoicejob.h>
#include <texttospeechkokoroinstalljob.h>
#include <texttospeechkokoroinstallpythonevenvjob.h>

#include <QPointer>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

class tst_KokoroJobFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void destroyedWhileRunning_data();
    void destroyedWhileRunning();

private:
    QObject *startJob(const QString &kind);

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_KokoroJobFaults::init()
{
    // A job that leaves its process to QProcess's destructor gets it killed and reaped too, but
    // only after a warning: the job itself must end what it started.
    QTest::failOnWarning(QRegularExpression(u"Destroyed while process"_s));
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    // Every one-shot mode of the helper waits for ever.
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"check":[{"stall":true}],"models":[{"stall":true}],"download":[{"stall":true}]}})"));
    QVERIFY(FakeHelperEnvironment::writeStallingProgram(mEnvironment->home() + "/.venv/kokoro/bin/pip"_L1));
    QVERIFY(FakeHelperEnvironment::writeStallingProgram(mEnvironment->binDir() + "/python3.11"_L1));
}

void tst_KokoroJobFaults::cleanup()
{
    mEnvironment.reset();
}

QObject *tst_KokoroJobFaults::startJob(const QString &kind)
{
    if (kind == "check"_L1) {
        auto job = new TextToSpeechKokoroCheckJob;
        job->start();
        return job;
    }
    if (kind == "download"_L1) {
        auto job = new TextToSpeechKokoroDownloadVoiceJob;
        job->setVoices({u"af_heart"_s});
        job->start();
        return job;
    }
    if (kind == "install"_L1) {
        auto job = new TextToSpeechKokoroInstallJob;
        job->setModules({u"numpy"_s});
        job->start();
        return job;
    }
    auto job = new TextToSpeechKokoroInstallPythonEvenvJob;
    job->start();
    return job;
}

void tst_KokoroJobFaults::destroyedWhileRunning_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("check") << u"check"_s;
    QTest::newRow("download") << u"download"_s;
    QTest::newRow("install") << u"install"_s;
    QTest::newRow("venv") << u"venv"_s;
}

void tst_KokoroJobFaults::destroyedWhileRunning()
{
    QFETCH(QString, kind);

    QPointer<QObject> job = startJob(kind);
    QVERIFY(job);
    const AllSignalsSpy spies(job);
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, 10000);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(!ProcessProbe::processGone(pid));
    QTest::qWait(100);
    QVERIFY(job);
    QCOMPARE(spies.count(), 0);

    delete job.data();
    // Gone at once: killed and reaped by the destruction itself, no zombie left behind.
    QVERIFY(ProcessProbe::processGone(pid));
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
    QCOMPARE(ProcessProbe::children(), 0);
    QTest::qWait(300);
    QCOMPARE(spies.count(), 0);
}

QTEST_GUILESS_MAIN(tst_KokoroJobFaults)
#include "tst_kokorojobfaults.moc"
