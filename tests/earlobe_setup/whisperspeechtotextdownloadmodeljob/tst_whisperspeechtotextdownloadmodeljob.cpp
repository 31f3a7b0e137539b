#include "fakehelperenvironment.h"

#include <whisperspeechtotextdownloadmodeljob.h>

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;

using DownloadEvent = WhisperSpeechToTextDownloadModelJob::DownloadEvent;

// Every signal of a job, in order, as text; "cached" notes wasCached() when the job ends well.
class JobLog : public QObject
{
public:
    explicit JobLog(WhisperSpeechToTextDownloadModelJob *job)
    {
        connect(job, &WhisperSpeechToTextDownloadModelJob::downloadMessage, this, [this](const QString &message) {
            mEntries.append("message:"_L1 + message);
        });
        connect(job, &WhisperSpeechToTextDownloadModelJob::downloadProgress, this, [this](int percent, qint64 received, qint64 total) {
            mEntries.append(u"progress:%1/%2/%3"_s.arg(percent).arg(received).arg(total));
        });
        connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelDone, this, [this, job] {
            mEntries.append(job->wasCached() ? u"done:cached"_s : u"done"_s);
        });
        connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelFailed, this, [this] {
            mEntries.append(u"failed"_s);
        });
    }
    [[nodiscard]] bool ended() const
    {
        return !mEntries.isEmpty() && (mEntries.constLast().startsWith("done"_L1) || mEntries.constLast() == "failed"_L1);
    }
    QStringList mEntries;
};

class tst_WhisperSpeechToTextDownloadModelJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void parseEvent_data();
    void parseEvent();
    void download_data();
    void download();
    void refusals_data();
    void refusals();
    void interpreterThatCannotStart();
    void destructionStopsTheDownload();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextDownloadModelJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
}

void tst_WhisperSpeechToTextDownloadModelJob::cleanup()
{
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextDownloadModelJob::parseEvent_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");

    QTest::newRow("everything")
        << R"({"type":"progress","model":"small","message":"m","path":"/p","received":5000000000,"total":6000000000,"percent":83})"_ba
        << u"progress"_s << u"small"_s << u"m"_s << u"/p"_s << qint64(5000000000) << qint64(6000000000) << 83;
    QTest::newRow("no percent means unknown") << R"({"type":"progress","received":1})"_ba << u"progress"_s << QString() << QString()
                                              << QString() << qint64(1) << qint64(0) << -1;
    QTest::newRow("percent that is not a number") << R"({"type":"progress","percent":"50"})"_ba << u"progress"_s << QString() << QString()
                                                  << QString() << qint64(0) << qint64(0) << 0;
    QTest::newRow("no type: nothing else is read")
        << R"({"model":"small","percent":50})"_ba << QString() << QString() << QString() << QString() << qint64(0) << qint64(0) << -1;
    QTest::newRow("empty type") << R"({"type":"","percent":50})"_ba << QString() << QString() << QString() << QString() << qint64(0)
                                << qint64(0) << -1;
    QTest::newRow("not JSON") << "progress 50%"_ba << QString() << QString() << QString() << QString() << qint64(0) << qint64(0) << -1;
    QTest::newRow("carriage return before the line feed") << "{\"type\":\"start\",\"model\":\"tiny\"}\r"_ba << u"start"_s << u"tiny"_s
                                                          << QString() << QString() << qint64(0) << qint64(0) << -1;
}

void tst_WhisperSpeechToTextDownloadModelJob::parseEvent()
{
    QFETCH(QByteArray, line);
    const DownloadEvent event = WhisperSpeechToTextDownloadModelJob::parseEvent(line);
    QTEST(event.type, "type");
    QTEST(event.model, "model");
    QTEST(event.message, "message");
    QTEST(event.path, "path");
    QTEST(event.received, "received");
    QTEST(event.total, "total");
    QTEST(event.percent, "percent");
    QCOMPARE(event.isValid(), !event.type.isEmpty());
}

void tst_WhisperSpeechToTextDownloadModelJob::download_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("downloaded with progress")
        << R"({"raw":"{\"type\":\"start\",\"model\":\"tiny\"}\n{\"type\":\"progress\",\"model\":\"tiny\",\"received\":10,\"total\":40,\"percent\":25}\n"},)"
           R"({"raw":"{\"type\":\"progress\",\"received\":40,\"total\":40}\n{\"type\":\"finished\",\"model\":\"tiny\",\"path\":\"/x\"}\n"})"_ba
        << QStringList{u"message:Downloading the tiny model…"_s, u"progress:25/10/40"_s, u"progress:-1/40/40"_s,
                       u"message:The tiny model is downloaded."_s, u"done"_s};
    QTest::newRow("line split across reads") << R"({"raw":"{\"type\":\"prog"},{"sleep":200},{"raw":"ress\",\"percent\":7}\n"})"_ba
                                             << QStringList{u"progress:7/0/0"_s, u"done"_s};
    QTest::newRow("last line without line feed is dropped")
        << R"({"raw":"{\"type\":\"progress\",\"percent\":1}\n{\"type\":\"finished\",\"model\":\"tiny\"}"})"_ba
        << QStringList{u"progress:1/0/0"_s, u"done"_s};
    QTest::newRow("lines without type give nothing")
        << R"({"raw":"{\"percent\":50}\n{\"type\":\"\",\"percent\":50}\nnot json\n\n{\"type\":\"unknown\"}\n"})"_ba
        << QStringList{u"done"_s};
    QTest::newRow("already on disk") << R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"})"_ba
                                     << QStringList{u"message:The tiny model is already downloaded."_s, u"done:cached"_s};
    QTest::newRow("error event then exit 0") << R"({"raw":"{\"type\":\"error\",\"model\":\"tiny\",\"message\":\"disk full\"}\n"})"_ba
                                             << QStringList{u"message:Unable to download the tiny model: disk full"_s, u"done"_s};
    QTest::newRow("exit 2 fails without a message") << R"({"stderr":"Traceback"},{"exit":2})"_ba << QStringList{u"failed"_s};
    QTest::newRow("killed") << R"({"raw":"{\"type\":\"start\",\"model\":\"tiny\"}\n"},{"signal":9})"_ba
                            << QStringList{u"message:Downloading the tiny model…"_s, u"failed"_s};
}

void tst_WhisperSpeechToTextDownloadModelJob::download()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, expected);

    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[)" + actions + "]}}"));
    QPointer<WhisperSpeechToTextDownloadModelJob> job = new WhisperSpeechToTextDownloadModelJob;
    job->setModel(u"tiny"_s);
    QCOMPARE(job->model(), u"tiny"_s);
    QVERIFY(job->canStart());
    JobLog log(job);
    if (expected.contains(u"failed"_s))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Unable to download model tiny\\. Exit code: -?\\d+$"_s));
    if (actions.contains("disk full"))
        QTest::ignoreMessage(QtWarningMsg, "Unable to download \"tiny\" \"disk full\"");
    job->start();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mEntries, expected);
    QTRY_VERIFY(!job);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"download --model tiny"_s});
}

void tst_WhisperSpeechToTextDownloadModelJob::refusals_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("script");
    QTest::newRow("no model") << QString() << true << true;
    QTest::newRow("no virtual environment") << u"tiny"_s << false << true;
    QTest::newRow("no helper script") << u"tiny"_s << true << false;
}

void tst_WhisperSpeechToTextDownloadModelJob::refusals()
{
    QFETCH(QString, model);
    QFETCH(bool, venv);
    QFETCH(bool, script);

    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));

    QPointer<WhisperSpeechToTextDownloadModelJob> job = new WhisperSpeechToTextDownloadModelJob;
    job->setModel(model);
    QVERIFY(!job->canStart());
    JobLog log(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextDownloadModelJob");
    job->start();
    // The refusal comes from inside start(), so a caller connected beforehand sees it.
    QCOMPARE(log.mEntries, QStringList{u"failed"_s});
    QTRY_VERIFY(!job);
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_WhisperSpeechToTextDownloadModelJob::interpreterThatCannotStart()
{
    const QString python = mEnvironment->home() + "/.venv/whisper/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QFile file(python);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    QPointer<WhisperSpeechToTextDownloadModelJob> job = new WhisperSpeechToTextDownloadModelJob;
    job->setModel(u"tiny"_s);
    JobLog log(job);
    QTest::ignoreMessage(QtWarningMsg, qPrintable("Unable to start "_L1 + python));
    job->start();
    QTRY_COMPARE(log.mEntries, QStringList{u"failed"_s});
    QTRY_VERIFY(!job);
}

void tst_WhisperSpeechToTextDownloadModelJob::destructionStopsTheDownload()
{
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[{"stall":true}]}})"));
    auto job = std::make_unique<WhisperSpeechToTextDownloadModelJob>();
    job->setModel(u"large-v3"_s);
    JobLog log(job.get());
    job->start();
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(::kill(pid_t(pid), 0) == 0);
    job.reset();
    QVERIFY(::kill(pid_t(pid), 0) != 0);
    QVERIFY(log.mEntries.isEmpty());
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextDownloadModelJob)
#include "tst_whisperspeechtotextdownloadmodeljob.moc"
