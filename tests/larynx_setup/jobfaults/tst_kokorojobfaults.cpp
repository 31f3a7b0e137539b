#include "fakehelperenvironment.h"
#include "processprobe.h"

#include <texttospeechkokorocheckjob.h>
#include <texttospeechkokorodownloadvoicejob.h>
#include <texttospeechkokoroinstalljob.h>
#include <texttospeechkokoroinstallpythonevenvjob.h>

#include <QFile>
#include <QMetaMethod>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
// A program that records its pid like the fake helper does and then waits for ever, as a
// slow pip or interpreter would.
const QByteArray stallingProgram = "#!/bin/sh\necho $$ >> \"$FAKE_HELPER_PIDS\"\nexec sleep 600\n";

// One spy on every signal the object declares beyond QObject's own.
std::vector<std::unique_ptr<QSignalSpy>> spyOnAllSignals(QObject *object)
{
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    const QMetaObject *meta = object->metaObject();
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            spies.push_back(std::make_unique<QSignalSpy>(object, meta->method(i)));
    }
    return spies;
}

int emitted(const std::vector<std::unique_ptr<QSignalSpy>> &spies)
{
    int count = 0;
    for (const auto &spy : spies)
        count += int(spy->size());
    return count;
}
} // namespace

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
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    // Every one-shot mode of the helper waits for ever.
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"check":[{"stall":true}],"models":[{"stall":true}],"download":[{"stall":true}]}})"));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/.venv/kokoro/bin/pip"_L1, stallingProgram));
    QVERIFY(
        QFile::setPermissions(mEnvironment->home() + "/.venv/kokoro/bin/pip"_L1, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->binDir() + "/python3.11"_L1, stallingProgram));
    QVERIFY(QFile::setPermissions(mEnvironment->binDir() + "/python3.11"_L1, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
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
    const auto spies = spyOnAllSignals(job);
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, 10000);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(!ProcessProbe::processGone(pid));
    QTest::qWait(100);
    QVERIFY(job);
    QCOMPARE(emitted(spies), 0);

    delete job.data();
    // Gone at once: killed and reaped by the destruction itself, no zombie left behind.
    QVERIFY(ProcessProbe::processGone(pid));
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
    QCOMPARE(ProcessProbe::children(), 0);
    QTest::qWait(300);
    QCOMPARE(emitted(spies), 0);
}

QTEST_GUILESS_MAIN(tst_KokoroJobFaults)
#include "tst_kokorojobfaults.moc"
