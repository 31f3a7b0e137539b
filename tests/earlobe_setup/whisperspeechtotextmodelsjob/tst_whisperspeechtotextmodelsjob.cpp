#include "fakehelperenvironment.h"

#include <whisperspeechtotextmodelsjob.h>
#include <whisperspeechtotextutils.h>

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSequentialIterable>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;

using ModelInfo = WhisperSpeechToTextModelsJob::ModelInfo;
using ModelInfos = WhisperSpeechToTextModelsJob::ModelInfos;

namespace
{
constexpr int JobTimeoutMs = 10000;

QByteArray modelsScenario(const QByteArray &actions)
{
    return R"({"modes":{"models":)" + actions + "}}";
}

// A "raw" action writing the text as it is, escaped for the scenario's JSON.
QByteArray rawAction(const QByteArray &text)
{
    QByteArray escaped = text;
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return R"({"raw":")" + escaped + R"("})";
}

ModelInfo model(const QString &identifier, const QString &name, int sizeMib = 0, bool multilingual = false, bool isDefault = false)
{
    return {identifier, name, sizeMib, multilingual, isDefault};
}

const QByteArray twoModels = R"({"models": [{"id": "tiny", "name": "Tiny", "sizeMib": 72, "multilingual": true},
                                            {"id": "small", "name": "Small", "sizeMib": 466, "multilingual": true, "default": true}]})";
const ModelInfos twoModelInfos{model(u"tiny"_s, u"Tiny"_s, 72, true), model(u"small"_s, u"Small"_s, 466, true, true)};

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

// An interpreter path that exists but cannot be executed.
bool createBrokenVenvPython()
{
    if (!QDir().mkpath(WhisperSpeechToTextUtils::defaultVenvPath() + "/bin"_L1))
        return false;
    QFile file(WhisperSpeechToTextUtils::defaultVenvPython());
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

// Watches the two final signals of one job, and whether the job is still alive.
class ModelsJobWatcher
{
public:
    explicit ModelsJobWatcher(WhisperSpeechToTextModelsJob *job)
        : job(job)
        , loaded(job, &WhisperSpeechToTextModelsJob::modelsLoaded)
        , failed(job, &WhisperSpeechToTextModelsJob::modelsFailed)
    {
    }

    [[nodiscard]] qsizetype total() const
    {
        return loaded.count() + failed.count();
    }

    [[nodiscard]] ModelInfos models() const
    {
        return loaded.isEmpty() ? ModelInfos() : loaded.constFirst().constFirst().value<ModelInfos>();
    }

    QPointer<WhisperSpeechToTextModelsJob> job;
    QSignalSpy loaded;
    QSignalSpy failed;
};
} // namespace

class tst_WhisperSpeechToTextModelsJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void metaTypesRegistered();

    void parseModels_data();
    void parseModels();
    void equality_data();
    void equality();
    void debugOutput();

    void helperAnswer_data();
    void helperAnswer();
    void crashAfterAnswerFails();
    void modelsTravelThroughQueuedConnection();

    void cannotStart_data();
    void cannotStart();
    void interpreterChoice_data();
    void interpreterChoice();
    void interpreterCannotStart();
    void silentHelperTimesOut();
    void destructionKillsHelper();

    void realHelperCatalogue();

private:
    bool installPythonWrapper();
    [[nodiscard]] QStringList wrapperCalls() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextModelsJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    // A warning a test does not expect is a fault; expected ones are named with ignoreMessage.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
}

void tst_WhisperSpeechToTextModelsJob::cleanup()
{
    mEnvironment.reset();
}

// A "python3" first on PATH that notes its arguments and hands over to the system interpreter.
bool tst_WhisperSpeechToTextModelsJob::installPythonWrapper()
{
    const QString path = mEnvironment->binDir() + "/python3"_L1;
    QFile file(path);
    const QByteArray script = "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(mEnvironment->home()) + "/wrapper.log'\nexec "
        + QFile::encodeName(FakeHelperEnvironment::systemPython()) + " \"$@\"\n";
    return file.open(QIODevice::WriteOnly) && file.write(script) == script.size()
        && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

QStringList tst_WhisperSpeechToTextModelsJob::wrapperCalls() const
{
    QFile file(mEnvironment->home() + "/wrapper.log"_L1);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void tst_WhisperSpeechToTextModelsJob::metaTypesRegistered()
{
    // First of all tests, so that nothing in this test program has registered the types before.
    const QMetaType info = QMetaType::fromName("WhisperSpeechToTextModelsJob::ModelInfo");
    const QMetaType list = QMetaType::fromName("QList<WhisperSpeechToTextModelsJob::ModelInfo>");
    QVERIFY(info.isValid());
    QVERIFY(list.isValid());
    QCOMPARE(info, QMetaType::fromType<ModelInfo>());
    QCOMPARE(list, QMetaType::fromType<ModelInfos>());

    const QVariant variant = QVariant::fromValue(twoModelInfos);
    QVERIFY(variant.canConvert<QSequentialIterable>());
    const auto iterable = variant.value<QSequentialIterable>();
    QCOMPARE(iterable.size(), 2);
    QCOMPARE(iterable.at(1).value<ModelInfo>(), twoModelInfos.at(1));
}

void tst_WhisperSpeechToTextModelsJob::parseModels_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<ModelInfos>("models");
    QTest::addColumn<QString>("defaultModel");

    QTest::newRow("empty output") << QByteArray() << ModelInfos() << QString();
    QTest::newRow("not JSON") << "Traceback (most recent call last):\n"_ba << ModelInfos() << QString();
    QTest::newRow("array at top") << R"([{"id": "tiny"}])"_ba << ModelInfos() << QString();
    QTest::newRow("no models key") << R"({"catalogue": [{"id": "tiny"}]})"_ba << ModelInfos() << QString();
    QTest::newRow("models not an array") << R"({"models": {"id": "tiny"}})"_ba << ModelInfos() << QString();
    QTest::newRow("empty list") << R"({"models": []})"_ba << ModelInfos() << QString();

    QTest::newRow("id and size only") << R"({"models": [{"id": "tiny", "sizeMib": 72}]})"_ba << ModelInfos{model(u"tiny"_s, u"tiny"_s, 72)}
                                      << QString();
    QTest::newRow("empty name gives id") << R"({"models": [{"id": "base", "name": ""}]})"_ba << ModelInfos{model(u"base"_s, u"base"_s)}
                                         << QString();
    QTest::newRow("complete entries") << twoModels << twoModelInfos << u"small"_s;
    QTest::newRow("entries without id skipped, order kept")
        << R"({"models": [{"id": "b"}, {"name": "No id", "default": true}, {"id": "", "name": "Empty id"}, {"id": 7}, {"id": "a"}]})"_ba
        << ModelInfos{model(u"b"_s, u"b"_s), model(u"a"_s, u"a"_s)} << QString();
    QTest::newRow("non-object entries skipped")
        << R"({"models": [3, "tiny", null, [{"id": "x"}], {"id": "base"}]})"_ba << ModelInfos{model(u"base"_s, u"base"_s)} << QString();
    QTest::newRow("two defaults: the first wins")
        << R"({"models": [{"id": "tiny"}, {"id": "base", "default": true}, {"id": "small", "default": true}]})"_ba
        << ModelInfos{model(u"tiny"_s, u"tiny"_s), model(u"base"_s, u"base"_s, 0, false, true),
                      model(u"small"_s, u"small"_s, 0, false, true)}
        << u"base"_s;
    QTest::newRow("duplicates kept") << R"({"models": [{"id": "tiny"}, {"id": "tiny", "name": "Again"}]})"_ba
                                     << ModelInfos{model(u"tiny"_s, u"tiny"_s), model(u"tiny"_s, u"Again"_s)} << QString();
    QTest::newRow("wrong types read as absent")
        << R"({"models": [{"id": "tiny", "name": 5, "sizeMib": "72", "multilingual": "yes", "default": 1}]})"_ba
        << ModelInfos{model(u"tiny"_s, u"tiny"_s)} << QString();
}

void tst_WhisperSpeechToTextModelsJob::parseModels()
{
    QFETCH(QByteArray, output);
    QFETCH(ModelInfos, models);
    QFETCH(QString, defaultModel);

    const ModelInfos parsed = WhisperSpeechToTextModelsJob::parseModels(output);
    QCOMPARE(parsed, models);
    for (const ModelInfo &info : parsed)
        QVERIFY(info.isValid());
    QCOMPARE(WhisperSpeechToTextModelsJob::defaultModel(parsed), defaultModel);
}

void tst_WhisperSpeechToTextModelsJob::equality_data()
{
    QTest::addColumn<ModelInfo>("other");
    QTest::addColumn<bool>("equal");

    const ModelInfo base = model(u"small"_s, u"Small"_s, 466, true, false);
    QTest::newRow("same") << base << true;
    QTest::newRow("identifier") << model(u"small.en"_s, u"Small"_s, 466, true, false) << false;
    QTest::newRow("name") << model(u"small"_s, u"Small (multi)"_s, 466, true, false) << false;
    QTest::newRow("sizeMib") << model(u"small"_s, u"Small"_s, 467, true, false) << false;
    QTest::newRow("multilingual") << model(u"small"_s, u"Small"_s, 466, false, false) << false;
    QTest::newRow("isDefault only") << model(u"small"_s, u"Small"_s, 466, true, true) << false;
}

void tst_WhisperSpeechToTextModelsJob::equality()
{
    QFETCH(ModelInfo, other);
    QFETCH(bool, equal);

    const ModelInfo base = model(u"small"_s, u"Small"_s, 466, true, false);
    QCOMPARE(base == other, equal);
    QCOMPARE(other == base, equal);
}

void tst_WhisperSpeechToTextModelsJob::debugOutput()
{
    QString text;
    // One blank between items, as between any two items of a debug stream.
    QDebug(&text) << "model" << model(u"small"_s, u"Small \"v2\""_s, 466, true, false) << 1;
    QCOMPARE(text, uR"(model identifier "small" name "Small \"v2\"" sizeMib 466 multilingual true isDefault false 1 )"_s);

    // The operator leaves the stream's own spacing as it found it.
    text.clear();
    QDebug(&text).nospace() << "[" << model(u"tiny"_s, u"tiny"_s) << "]";
    QCOMPARE(text, uR"([identifier "tiny" name "tiny" sizeMib 0 multilingual false isDefault false])"_s);
}

void tst_WhisperSpeechToTextModelsJob::helperAnswer_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<ModelInfos>("syncModels");

    QTest::newRow("catalogue") << "[" + rawAction(twoModels) + "]" << true << QString() << twoModelInfos;
    QTest::newRow("catalogue, chatter on stderr")
        << "[" + rawAction(twoModels) + R"(, {"stderr": "loading"}])" << true << QString() << twoModelInfos;
    QTest::newRow("empty list, exit 0") << "[" + rawAction(R"({"models": []})") + "]" << false
                                        << uR"(whisper models listing failed. Exit code: 0 "")"_s << ModelInfos();
    QTest::newRow("no usable entry, exit 0") << "[" + rawAction(R"({"models": [{"name": "No id"}]})") + "]" << false
                                             << uR"(whisper models listing failed. Exit code: 0 "")"_s << ModelInfos();
    QTest::newRow("not JSON, stderr") << R"([{"raw": "oops"}, {"stderr": "bad things"}])"_ba << false
                                      << uR"(whisper models listing failed. Exit code: 0 "bad things")"_s << ModelInfos();
    // A catalogue from a helper that then reports an error is not trusted; the blocking form
    // hands it over anyway and leaves the judgement to its caller.
    QTest::newRow("catalogue, exit 3") << "[" + rawAction(twoModels) + R"(, {"stderr": "boom\n"}, {"exit": 3}])" << false
                                       << uR"(whisper models listing failed. Exit code: 3 "boom\n")"_s << twoModelInfos;
}

// The asynchronous job and the blocking form, on the same helper answer.
void tst_WhisperSpeechToTextModelsJob::helperAnswer()
{
    QFETCH(QByteArray, actions);
    QFETCH(bool, loaded);
    QFETCH(QString, warning);
    QFETCH(ModelInfos, syncModels);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario(actions)));

    auto job = new WhisperSpeechToTextModelsJob;
    QVERIFY(job->canStart());
    ModelsJobWatcher watcher(job);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.total(), 1);
    QCOMPARE(watcher.loaded.count(), loaded ? 1 : 0);
    if (loaded)
        QCOMPARE(watcher.models(), syncModels);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"models"_s});

    QCOMPARE(WhisperSpeechToTextModelsJob::modelsSynchronously(JobTimeoutMs), syncModels);
}

void tst_WhisperSpeechToTextModelsJob::crashAfterAnswerFails()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario("[" + rawAction(twoModels) + R"(, {"stall": true}])")));

    auto job = new WhisperSpeechToTextModelsJob;
    ModelsJobWatcher watcher(job);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, JobTimeoutMs);
    QTest::qWait(200);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^whisper models listing failed\. Exit code: \d+ ""$)"_s));
    QCOMPARE(::kill(pid_t(mEnvironment->pids().constFirst()), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.failed.count(), 1);
    QCOMPARE(watcher.loaded.count(), 0);
}

void tst_WhisperSpeechToTextModelsJob::modelsTravelThroughQueuedConnection()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario("[" + rawAction(twoModels) + "]")));

    std::optional<ModelInfos> received;
    auto job = new WhisperSpeechToTextModelsJob;
    connect(
        job, &WhisperSpeechToTextModelsJob::modelsLoaded, this,
        [&received](const ModelInfos &models) {
            received = models;
        },
        Qt::QueuedConnection);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(received.has_value(), JobTimeoutMs);
    QCOMPARE(*received, twoModelInfos);
}

void tst_WhisperSpeechToTextModelsJob::cannotStart_data()
{
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("scriptExecutable");
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("systemPython");

    QTest::newRow("no script") << false << false << true << true;
    QTest::newRow("script not executable") << true << false << true << true;
    QTest::newRow("no interpreter at all") << true << true << false << false;
}

void tst_WhisperSpeechToTextModelsJob::cannotStart()
{
    QFETCH(bool, script);
    QFETCH(bool, scriptExecutable);
    QFETCH(bool, venv);
    QFETCH(bool, systemPython);

    if (script)
        QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), u"whisper_helper.py"_s, scriptExecutable));
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    if (!systemPython)
        qputenv("PATH", QFile::encodeName(mEnvironment->binDir()));
    QCOMPARE(WhisperSpeechToTextUtils::pythonVersionPath().isEmpty(), !systemPython);

    auto job = new WhisperSpeechToTextModelsJob;
    QVERIFY(!job->canStart());
    ModelsJobWatcher watcher(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextModelsJob");
    job->start();
    // Refusals come from within start(), before any event loop runs.
    QCOMPARE(watcher.failed.count(), 1);
    QTRY_VERIFY(!watcher.job);
    QCOMPARE(watcher.total(), 1);

    QTest::ignoreMessage(QtWarningMsg, R"(Unable to find "whisper_helper.py")");
    QVERIFY(WhisperSpeechToTextModelsJob::modelsSynchronously(JobTimeoutMs).isEmpty());
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextModelsJob::interpreterChoice_data()
{
    QTest::addColumn<bool>("venv");
    QTest::newRow("environment's interpreter first") << true;
    QTest::newRow("system interpreter without environment") << false;
}

void tst_WhisperSpeechToTextModelsJob::interpreterChoice()
{
    QFETCH(bool, venv);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(installPythonWrapper());
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario("[" + rawAction(twoModels) + "]")));

    auto job = new WhisperSpeechToTextModelsJob;
    QVERIFY(job->canStart());
    ModelsJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.models(), twoModelInfos);

    QCOMPARE(WhisperSpeechToTextModelsJob::modelsSynchronously(JobTimeoutMs), twoModelInfos);

    QCOMPARE(mEnvironment->startArguments(), (QStringList{u"models"_s, u"models"_s}));
    const QString systemCall = WhisperSpeechToTextUtils::pythonScriptPath() + " models"_L1;
    QCOMPARE(wrapperCalls(), (venv ? QStringList() : QStringList{systemCall, systemCall}));
}

void tst_WhisperSpeechToTextModelsJob::interpreterCannotStart()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(createBrokenVenvPython());

    auto job = new WhisperSpeechToTextModelsJob;
    QVERIFY(job->canStart());
    ModelsJobWatcher watcher(job);
    const QString program = QRegularExpression::escape(WhisperSpeechToTextUtils::defaultVenvPython());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^Unable to start "%1" ".+"$)"_s.arg(program)));
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.failed.count(), 1);
    QCOMPARE(watcher.total(), 1);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^whisper models listing did not answer: ".+"$)"_s));
    QVERIFY(WhisperSpeechToTextModelsJob::modelsSynchronously(JobTimeoutMs).isEmpty());
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextModelsJob::silentHelperTimesOut()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario("[" + rawAction(twoModels) + R"(, {"stall": true}])")));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^whisper models listing did not answer: ".+"$)"_s));
    QElapsedTimer timer;
    timer.start();
    const ModelInfos models = WhisperSpeechToTextModelsJob::modelsSynchronously(500);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    // What came before the helper fell silent is not a catalogue.
    QVERIFY(models.isEmpty());

    const QList<qint64> pids = mEnvironment->pids();
    QCOMPARE(pids.size(), 1);
    QTRY_VERIFY(!processAlive(pids.constFirst()));
}

void tst_WhisperSpeechToTextModelsJob::destructionKillsHelper()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(modelsScenario(R"([{"stall": true}])")));

    QObject parent;
    auto job = new WhisperSpeechToTextModelsJob(&parent);
    ModelsJobWatcher watcher(job);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, JobTimeoutMs);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(processAlive(pid));

    QElapsedTimer timer;
    timer.start();
    delete job;
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    // Already reaped: the destructor waited for the killed helper.
    QVERIFY(!processAlive(pid));
    QTest::qWait(100);
    QCOMPARE(watcher.total(), 0);
}

void tst_WhisperSpeechToTextModelsJob::realHelperCatalogue()
{
    QVERIFY(mEnvironment->installScript(QStringLiteral(TESTS_SOURCE_DIR "/../helpers/whisper_helper.py"), u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));

    auto job = new WhisperSpeechToTextModelsJob;
    ModelsJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.loaded.count(), 1);
    const ModelInfos models = watcher.models();
    QVERIFY(!models.isEmpty());
    QCOMPARE(std::count_if(models.cbegin(), models.cend(),
                           [](const ModelInfo &info) {
                               return info.isDefault;
                           }),
             1);
    QCOMPARE(WhisperSpeechToTextModelsJob::defaultModel(models), u"small"_s);
    for (const ModelInfo &info : models) {
        QVERIFY(info.isValid());
        QVERIFY2(info.sizeMib > 0, qPrintable(info.identifier));
    }

    QCOMPARE(WhisperSpeechToTextModelsJob::modelsSynchronously(JobTimeoutMs), models);
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextModelsJob)
#include "tst_whisperspeechtotextmodelsjob.moc"
