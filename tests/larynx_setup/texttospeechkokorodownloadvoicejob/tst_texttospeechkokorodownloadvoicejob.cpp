#include "fakehelperenvironment.h"

#include <texttospeechkokorodownloadvoicejob.h>

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::TextToSpeechKokoroDownloadVoiceJob;

// Declared before the scenario texts: moc misreads some raw string literals.
class tst_TextToSpeechKokoroDownloadVoiceJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void download_data();
    void download();
    void arguments_data();
    void arguments();
    void refusals_data();
    void refusals();
    void interpreterThatCannotStart();
    void destructionStopsTheDownload();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

// Every signal of a job, in order, as text.
class JobLog : public QObject
{
public:
    explicit JobLog(TextToSpeechKokoroDownloadVoiceJob *job)
    {
        connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadMessage, this, [this](const QString &message) {
            mEntries.append("message:"_L1 + message);
        });
        connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadProgress, this, [this](int index, int total) {
            mEntries.append(u"progress:%1/%2"_s.arg(index).arg(total));
        });
        connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesDone, this, [this] {
            mEntries.append(u"done"_s);
        });
        connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesFailed, this, [this] {
            mEntries.append(u"failed"_s);
        });
    }
    [[nodiscard]] bool ended() const
    {
        return mEntries.contains(u"done"_s) || mEntries.contains(u"failed"_s);
    }
    QStringList mEntries;
};

void tst_TextToSpeechKokoroDownloadVoiceJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoroDownloadVoiceJob::cleanup()
{
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroDownloadVoiceJob::download_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("files with progress")
        << R"({"raw":"{\"type\":\"downloading\",\"file\":\"kokoro-v1_0.pth\"}\n{\"type\":\"progress\",\"file\":\"kokoro-v1_0.pth\",\"index\":1,\"total\":2}\n"},)"
           R"({"raw":"{\"type\":\"downloading\",\"file\":\"voices/af_heart.pt\"}\n{\"type\":\"progress\",\"index\":2,\"total\":2}\n{\"type\":\"finished\"}\n"})"_ba
        << QString()
        << QStringList{u"message:Downloading kokoro-v1_0.pth…"_s, u"progress:1/2"_s, u"message:Downloading voices/af_heart.pt…"_s,
                       u"progress:2/2"_s, u"done"_s};
    QTest::newRow("error event goes on")
        << R"({"raw":"{\"type\":\"error\",\"file\":\"voices/bf_emma.pt\",\"message\":\"not found\"}\n{\"type\":\"progress\",\"index\":\"x\",\"total\":2.5}\n"})"_ba
        << u"Unable to download \"voices/bf_emma.pt\" \"not found\""_s
        << QStringList{u"progress:0/0"_s, u"message:Unable to download voices/bf_emma.pt: not found"_s, u"progress:0/0"_s, u"done"_s};
    QTest::newRow("event split across reads")
        << R"({"raw":"{\"type\":\"down"},{"sleep":200},{"raw":"loading\",\"file\":\"config.json\"}\r\n"})"_ba << QString()
        << QStringList{u"message:Downloading config.json…"_s, u"done"_s};
    QTest::newRow("last line without line feed is dropped")
        << R"({"raw":"{\"type\":\"progress\",\"index\":1,\"total\":1}\n{\"type\":\"downloading\",\"file\":\"x\"}"})"_ba << QString()
        << QStringList{u"progress:1/1"_s, u"done"_s};
    QTest::newRow("lines that give nothing") << R"({"raw":"{\"type\":\"finished\"}\n\nnot json\n{}\n[1]\n"})"_ba << QString()
                                             << QStringList{u"done"_s};
    QTest::newRow("exit 2 with standard error")
        << R"({"raw":"{\"type\":\"downloading\",\"file\":\"voices/af_heart.pt\"}\n"},{"stderr":"  Traceback\nOSError: disk full\n\n"},{"exit":2})"_ba
        << u"Unable to download voices af_heart bf_emma. Exit code: 2 OSError: disk full"_s
        << QStringList{u"message:Downloading voices/af_heart.pt…"_s, u"message:OSError: disk full"_s, u"failed"_s};
    // The log gets the one line that says what went wrong, not the traceback as one paragraph.
    QTest::newRow("python traceback")
        << R"({"stderr":"Traceback (most recent call last):\n  File \"/x/kokoro_helper.py\", line 9, in <module>\n    main()\n)"
           R"(urllib.error.URLError: <urlopen error [Errno -3] Temporary failure in name resolution>\n"},{"exit":1})"_ba
        << u"Unable to download voices af_heart bf_emma. Exit code: 1 urllib.error.URLError: <urlopen error [Errno -3] Temporary failure in name resolution>"_s
        << QStringList{u"message:urllib.error.URLError: <urlopen error [Errno -3] Temporary failure in name resolution>"_s, u"failed"_s};
    // Nothing on standard error: the error events, already in the log, explain the failure.
    QTest::newRow("error events, silent standard error")
        << R"({"raw":"{\"type\":\"error\",\"file\":\"a.pt\",\"message\":\"not found\"}\n{\"type\":\"error\",\"file\":\"b.pt\",\"message\":\"disk full\"}\n"},{"exit":1})"_ba
        << u"^Unable to download voices af_heart bf_emma\\. Exit code: 1 disk full$"_s
        << QStringList{u"progress:0/0"_s, u"message:Unable to download a.pt: not found"_s, u"progress:0/0"_s,
                       u"message:Unable to download b.pt: disk full"_s, u"failed"_s};
    QTest::newRow("exit 1 without standard error")
        << R"({"exit":1})"_ba << u"Unable to download voices af_heart bf_emma. Exit code: 1 "_s << QStringList{u"failed"_s};
    QTest::newRow("killed") << R"({"signal":9})"_ba << u"^Unable to download voices af_heart bf_emma\\. Exit code: \\d+ $"_s
                            << QStringList{u"failed"_s};
}

void tst_TextToSpeechKokoroDownloadVoiceJob::download()
{
    QFETCH(QByteArray, actions);
    QFETCH(QString, warning);
    QFETCH(QStringList, expected);

    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[)" + actions + "]}}"));
    QPointer<TextToSpeechKokoroDownloadVoiceJob> job = new TextToSpeechKokoroDownloadVoiceJob;
    job->setVoices({u"af_heart"_s, u"bf_emma"_s});
    QVERIFY(job->canStart());
    JobLog log(job);
    if (warning.startsWith(u'^'))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    else if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    job->start();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mEntries, expected);
    QTRY_VERIFY(!job);
}

void tst_TextToSpeechKokoroDownloadVoiceJob::arguments_data()
{
    QTest::addColumn<bool>("model");
    QTest::addColumn<QString>("expected");
    QTest::newRow("with the model") << true << u"download --json model af_heart bf_emma"_s;
    QTest::newRow("voices only") << false << u"download --json af_heart bf_emma"_s;
}

void tst_TextToSpeechKokoroDownloadVoiceJob::arguments()
{
    QFETCH(bool, model);
    QFETCH(QString, expected);

    QPointer<TextToSpeechKokoroDownloadVoiceJob> job = new TextToSpeechKokoroDownloadVoiceJob;
    QVERIFY(job->downloadModel());
    job->setDownloadModel(model);
    QCOMPARE(job->downloadModel(), model);
    job->setVoices({u"af_heart"_s, u"bf_emma"_s});
    JobLog log(job);
    job->start();
    QTRY_VERIFY(log.ended());
    QCOMPARE(mEnvironment->startArguments(), QStringList{expected});
}

void tst_TextToSpeechKokoroDownloadVoiceJob::refusals_data()
{
    QTest::addColumn<QStringList>("voices");
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("script");
    QTest::newRow("no voices") << QStringList() << true << true;
    QTest::newRow("no virtual environment") << QStringList{u"af_heart"_s} << false << true;
    QTest::newRow("no helper script") << QStringList{u"af_heart"_s} << true << false;
}

void tst_TextToSpeechKokoroDownloadVoiceJob::refusals()
{
    QFETCH(QStringList, voices);
    QFETCH(bool, venv);
    QFETCH(bool, script);

    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));

    QPointer<TextToSpeechKokoroDownloadVoiceJob> job = new TextToSpeechKokoroDownloadVoiceJob;
    job->setVoices(voices);
    QVERIFY(!job->canStart());
    JobLog log(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroDownloadVoiceJob");
    job->start();
    QCOMPARE(log.mEntries, QStringList{u"failed"_s});
    QTRY_VERIFY(!job);
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_TextToSpeechKokoroDownloadVoiceJob::interpreterThatCannotStart()
{
    const QString python = mEnvironment->home() + "/.venv/kokoro/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QVERIFY(FakeHelperEnvironment::writeFile(python, "not a program"));

    QPointer<TextToSpeechKokoroDownloadVoiceJob> job = new TextToSpeechKokoroDownloadVoiceJob;
    job->setVoices({u"af_heart"_s});
    JobLog log(job);
    QTest::ignoreMessage(QtWarningMsg, qPrintable("Unable to start "_L1 + python));
    job->start();
    QTRY_COMPARE(log.mEntries, QStringList{u"failed"_s});
    QTRY_VERIFY(!job);
}

void tst_TextToSpeechKokoroDownloadVoiceJob::destructionStopsTheDownload()
{
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[{"stall":true}]}})"));
    auto job = std::make_unique<TextToSpeechKokoroDownloadVoiceJob>();
    job->setVoices({u"af_heart"_s});
    JobLog log(job.get());
    job->start();
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(::kill(pid_t(pid), 0) == 0);
    job.reset();
    QVERIFY(::kill(pid_t(pid), 0) != 0);
    QVERIFY(log.mEntries.isEmpty());
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroDownloadVoiceJob)
#include "tst_texttospeechkokorodownloadvoicejob.moc"
