#include "fakehelperenvironment.h"

#include <configgroup.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class tst_WhisperSpeechToTextUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void pathsFollowHome();
    void scriptMustBeExecutableOnPath_data();
    void scriptMustBeExecutableOnPath();
    void venvFilesMustExist();
    void pythonVersionPathSearchesPath();
    void fixedNames();
    void settingsRoundTrip_data();
    void settingsRoundTrip();
    void emptyValueDeletesKey_data();
    void emptyValueDeletesKey();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

using Loader = QString (*)();
using Saver = void (*)(const QString &);

void tst_WhisperSpeechToTextUtils::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_WhisperSpeechToTextUtils::cleanup()
{
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextUtils::pathsFollowHome()
{
    const QString home = mEnvironment->home();
    QCOMPARE(WhisperSpeechToTextUtils::defaultVenvPath(), home + "/.venv/whisper"_L1);
    QCOMPARE(WhisperSpeechToTextUtils::defaultVenvPython(), home + "/.venv/whisper/bin/python"_L1);
    QCOMPARE(WhisperSpeechToTextUtils::defaultVenvPip(), home + "/.venv/whisper/bin/pip"_L1);

    FakeHelperEnvironment other;
    QCOMPARE(WhisperSpeechToTextUtils::defaultVenvPath(), other.home() + "/.venv/whisper"_L1);
}

void tst_WhisperSpeechToTextUtils::scriptMustBeExecutableOnPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("found");

    QTest::newRow("executable") << u"whisper_helper.py"_s << true << true;
    QTest::newRow("not executable") << u"whisper_helper.py"_s << false << false;
    QTest::newRow("other name") << u"whisper.py"_s << true << false;
}

void tst_WhisperSpeechToTextUtils::scriptMustBeExecutableOnPath()
{
    QFETCH(QString, name);
    QFETCH(bool, executable);
    QFETCH(bool, found);

    QVERIFY(WhisperSpeechToTextUtils::pythonScriptPath().isEmpty());
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), name, executable));
    const QString expected = found ? mEnvironment->binDir() + "/whisper_helper.py"_L1 : QString();
    QCOMPARE(WhisperSpeechToTextUtils::pythonScriptPath(), expected);
}

void tst_WhisperSpeechToTextUtils::venvFilesMustExist()
{
    QVERIFY(WhisperSpeechToTextUtils::venvPython().isNull());
    QVERIFY(WhisperSpeechToTextUtils::venvPip().isNull());

    // An environment folder without an interpreter is no environment.
    QVERIFY(QDir().mkpath(WhisperSpeechToTextUtils::defaultVenvPath() + "/bin"_L1));
    QVERIFY(WhisperSpeechToTextUtils::venvPython().isNull());
    QCOMPARE(WhisperSpeechToTextUtils::defaultVenvPython(), mEnvironment->home() + "/.venv/whisper/bin/python"_L1);

    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QCOMPARE(WhisperSpeechToTextUtils::venvPython(), WhisperSpeechToTextUtils::defaultVenvPython());
    QVERIFY(WhisperSpeechToTextUtils::venvPip().isNull());

    // Existence is enough: pip need not be executable to be reported.
    QFile pip(WhisperSpeechToTextUtils::defaultVenvPip());
    QVERIFY(pip.open(QIODevice::WriteOnly));
    pip.close();
    QCOMPARE(WhisperSpeechToTextUtils::venvPip(), WhisperSpeechToTextUtils::defaultVenvPip());

    // Seen at once when the environment goes away.
    QVERIFY(QDir(WhisperSpeechToTextUtils::defaultVenvPath()).removeRecursively());
    QVERIFY(WhisperSpeechToTextUtils::venvPython().isNull());
    QVERIFY(WhisperSpeechToTextUtils::venvPip().isNull());
}

void tst_WhisperSpeechToTextUtils::pythonVersionPathSearchesPath()
{
    QCOMPARE(WhisperSpeechToTextUtils::pythonVersionPath(), u"/usr/bin/python3"_s);
    QVERIFY(mEnvironment->installScript(FakeHelperEnvironment::systemPython(), u"python3"_s));
    QCOMPARE(WhisperSpeechToTextUtils::pythonVersionPath(), mEnvironment->binDir() + "/python3"_L1);

    qputenv("PATH", "/nonexistent");
    QVERIFY(WhisperSpeechToTextUtils::pythonVersionPath().isEmpty());
}

void tst_WhisperSpeechToTextUtils::fixedNames()
{
    QCOMPARE(WhisperSpeechToTextUtils::pythonVersion(), u"python3"_s);
    QCOMPARE(WhisperSpeechToTextUtils::pythonScript(), u"whisper_helper.py"_s);
    QCOMPARE(WhisperSpeechToTextUtils::requiredModules(), QStringList({u"faster-whisper"_s, u"numpy"_s}));
    QCOMPARE(WhisperSpeechToTextUtils::groupName(), u"WhisperSpeechToText"_s);
}

struct Setting {
    Saver save;
    Loader load;
    QString key;
};

static const Setting settings[] = {
    {&WhisperSpeechToTextUtils::saveModel, &WhisperSpeechToTextUtils::loadModel, u"Model"_s},
    {&WhisperSpeechToTextUtils::saveLanguage, &WhisperSpeechToTextUtils::loadLanguage, u"Language"_s},
    {&WhisperSpeechToTextUtils::saveComputeType, &WhisperSpeechToTextUtils::loadComputeType, u"ComputeType"_s},
    {&WhisperSpeechToTextUtils::saveDevice, &WhisperSpeechToTextUtils::loadDevice, u"Device"_s},
};

static void addSettingRows()
{
    QTest::addColumn<int>("setting");
    for (int i = 0; i < int(std::size(settings)); ++i)
        QTest::newRow(qPrintable(settings[i].key)) << i;
}

// What another process would read from the file right now.
static QString storedValue(const QString &key)
{
    QSettings file(HostKit::ConfigGroup::configFilePath(), QSettings::IniFormat);
    return file.value(WhisperSpeechToTextUtils::groupName() + u'/' + key, u"<absent>"_s).toString();
}

void tst_WhisperSpeechToTextUtils::settingsRoundTrip_data()
{
    addSettingRows();
}

void tst_WhisperSpeechToTextUtils::settingsRoundTrip()
{
    QFETCH(int, setting);
    const auto &[saveValue, loadValue, key] = settings[setting];

    QCOMPARE(loadValue(), QString());
    const QString value = u"large-v3 \"quoted\" = ü"_s;
    saveValue(value);
    QCOMPARE(loadValue(), value);
    QCOMPARE(storedValue(key), value);
}

void tst_WhisperSpeechToTextUtils::emptyValueDeletesKey_data()
{
    addSettingRows();
}

void tst_WhisperSpeechToTextUtils::emptyValueDeletesKey()
{
    QFETCH(int, setting);
    const auto &[saveValue, loadValue, key] = settings[setting];

    saveValue(u"small"_s);
    QCOMPARE(storedValue(key), u"small"_s);
    saveValue(QString());
    QCOMPARE(storedValue(key), u"<absent>"_s);
    QCOMPARE(loadValue(), QString());
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextUtils)
#include "tst_whisperspeechtotextutils.moc"
