#include "fakehelperenvironment.h"

#include <texttospeechkokoroutils.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>
#include <QVariant>

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;
using TextEditTextToSpeech::TextToSpeechKokoroUtils::Gender;
using TextEditTextToSpeech::TextToSpeechKokoroUtils::KokoroVoice;
using TextEditTextToSpeech::TextToSpeechKokoroUtils::VoiceFilter;

Q_DECLARE_METATYPE(TextEditTextToSpeech::TextToSpeechKokoroUtils::VoiceFilter)
Q_DECLARE_METATYPE(TextEditTextToSpeech::TextToSpeechKokoroUtils::Gender)

class tst_TextToSpeechKokoroUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void catalogueEnds();
    void identifiersInOrder();
    void derivedFields_data();
    void derivedFields();
    void namesRepeatIdentifiersDoNot();
    void gendersFromSecondLetter();
    void filters_data();
    void filters();
    void localesInOrder();
    void languageCode_data();
    void languageCode();
    void everyVoiceHasALanguageCode();
    void defaultVoiceAndItemData();

    void pathsFollowHome();
    void scriptMustBeExecutableOnPath_data();
    void scriptMustBeExecutableOnPath();
    void venvFilesMustExist();
    void pythonVersionPathSearchesPathOnly();
    void fixedNames();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

// Written out rather than taken from the library: the order is what callers rely on.
// clang-format off
static const QStringList allIdentifiers = {
    u"af_heart"_s, u"af_alloy"_s, u"af_aoede"_s, u"af_bella"_s, u"af_jessica"_s, u"af_kore"_s, u"af_nicole"_s,
    u"af_nova"_s, u"af_river"_s, u"af_sarah"_s, u"af_sky"_s,
    u"am_adam"_s, u"am_echo"_s, u"am_eric"_s, u"am_fenrir"_s, u"am_liam"_s, u"am_michael"_s, u"am_onyx"_s,
    u"am_puck"_s, u"am_santa"_s,
    u"bf_alice"_s, u"bf_emma"_s, u"bf_isabella"_s, u"bf_lily"_s,
    u"bm_daniel"_s, u"bm_fable"_s, u"bm_george"_s, u"bm_lewis"_s,
    u"ef_dora"_s, u"em_alex"_s, u"em_santa"_s,
    u"ff_siwis"_s,
    u"hf_alpha"_s, u"hf_beta"_s, u"hm_omega"_s, u"hm_psi"_s,
    u"if_sara"_s, u"im_nicola"_s,
    u"pf_dora"_s, u"pm_alex"_s, u"pm_santa"_s,
    u"jf_alpha"_s, u"jf_gongitsune"_s, u"jf_nezumi"_s, u"jf_tebukuro"_s, u"jm_kumo"_s,
    u"zf_xiaobei"_s, u"zf_xiaoni"_s, u"zf_xiaoxiao"_s, u"zf_xiaoyi"_s,
    u"zm_yunjian"_s, u"zm_yunxi"_s, u"zm_yunxia"_s, u"zm_yunyang"_s,
};
// clang-format on

static QStringList identifiers(const QList<KokoroVoice> &voices)
{
    QStringList result;
    for (const KokoroVoice &voice : voices)
        result.append(voice.identifier);
    return result;
}

static QStringList localeNames(const QList<QLocale> &locales)
{
    QStringList result;
    for (const QLocale &locale : locales)
        result.append(locale.name());
    return result;
}

static KokoroVoice findVoice(const QString &identifier)
{
    const QList<KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All);
    for (const KokoroVoice &voice : voices) {
        if (voice.identifier == identifier)
            return voice;
    }
    return {};
}

void tst_TextToSpeechKokoroUtils::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_TextToSpeechKokoroUtils::cleanup()
{
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroUtils::catalogueEnds()
{
    const QList<KokoroVoice> shown = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::Default);
    QCOMPARE(shown.size(), 41);

    const KokoroVoice &first = shown.constFirst();
    QCOMPARE(first.identifier, u"af_heart"_s);
    QCOMPARE(first.name, u"Heart"_s);
    QCOMPARE(first.locale, QLocale(u"en_US"_s));
    QCOMPARE(first.gender, Gender::Female);
    QCOMPARE(first.hiddenByDefault, false);

    const KokoroVoice &lastShown = shown.constLast();
    QCOMPARE(lastShown.identifier, u"pm_santa"_s);
    QCOMPARE(lastShown.name, u"Santa"_s);
    QCOMPARE(lastShown.locale, QLocale(u"pt_BR"_s));
    QCOMPARE(lastShown.gender, Gender::Male);
    QCOMPARE(lastShown.hiddenByDefault, false);

    const QList<KokoroVoice> all = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All);
    QCOMPARE(all.size(), 54);
    QCOMPARE(all.constFirst().identifier, u"af_heart"_s);

    const KokoroVoice &last = all.constLast();
    QCOMPARE(last.identifier, u"zm_yunyang"_s);
    QCOMPARE(last.name, u"Yunyang"_s);
    QCOMPARE(last.locale, QLocale(u"zh_CN"_s));
    QCOMPARE(last.gender, Gender::Male);
    QCOMPARE(last.hiddenByDefault, true);
}

void tst_TextToSpeechKokoroUtils::identifiersInOrder()
{
    QCOMPARE(identifiers(TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All)), allIdentifiers);
    // The hidden languages come last, so the default catalogue is the start of the full one.
    QCOMPARE(identifiers(TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::Default)), allIdentifiers.mid(0, 41));
}

void tst_TextToSpeechKokoroUtils::derivedFields_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<Gender>("gender");
    QTest::addColumn<bool>("hidden");

    // One voice or more of every language, both genders, and names of different lengths.
    QTest::newRow("american male") << u"am_michael"_s << u"Michael"_s << u"en_US"_s << Gender::Male << false;
    QTest::newRow("british female") << u"bf_isabella"_s << u"Isabella"_s << u"en_GB"_s << Gender::Female << false;
    QTest::newRow("british male") << u"bm_george"_s << u"George"_s << u"en_GB"_s << Gender::Male << false;
    QTest::newRow("spanish") << u"ef_dora"_s << u"Dora"_s << u"es_ES"_s << Gender::Female << false;
    QTest::newRow("french") << u"ff_siwis"_s << u"Siwis"_s << u"fr_FR"_s << Gender::Female << false;
    QTest::newRow("hindi, short word") << u"hm_psi"_s << u"Psi"_s << u"hi_IN"_s << Gender::Male << false;
    QTest::newRow("italian") << u"im_nicola"_s << u"Nicola"_s << u"it_IT"_s << Gender::Male << false;
    QTest::newRow("portuguese") << u"pf_dora"_s << u"Dora"_s << u"pt_BR"_s << Gender::Female << false;
    QTest::newRow("japanese female") << u"jf_gongitsune"_s << u"Gongitsune"_s << u"ja_JP"_s << Gender::Female << true;
    QTest::newRow("japanese male") << u"jm_kumo"_s << u"Kumo"_s << u"ja_JP"_s << Gender::Male << true;
    QTest::newRow("chinese, only first letter raised") << u"zf_xiaoxiao"_s << u"Xiaoxiao"_s << u"zh_CN"_s << Gender::Female << true;
}

void tst_TextToSpeechKokoroUtils::derivedFields()
{
    QFETCH(QString, identifier);
    QFETCH(QString, name);
    QFETCH(QString, locale);
    QFETCH(Gender, gender);
    QFETCH(bool, hidden);

    const KokoroVoice voice = findVoice(identifier);
    QCOMPARE(voice.identifier, identifier);
    QCOMPARE(voice.name, name);
    QCOMPARE(voice.locale.name(), locale);
    QCOMPARE(voice.gender, gender);
    QCOMPARE(voice.hiddenByDefault, hidden);
}

void tst_TextToSpeechKokoroUtils::namesRepeatIdentifiersDoNot()
{
    const QList<KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All);
    QHash<QString, QStringList> byName;
    for (const KokoroVoice &voice : voices)
        byName[voice.name].append(voice.identifier);

    QCOMPARE(byName.value(u"Dora"_s), QStringList({u"ef_dora"_s, u"pf_dora"_s}));
    QCOMPARE(byName.value(u"Alex"_s), QStringList({u"em_alex"_s, u"pm_alex"_s}));
    QCOMPARE(byName.value(u"Santa"_s), QStringList({u"am_santa"_s, u"em_santa"_s, u"pm_santa"_s}));
    QCOMPARE(byName.value(u"Alpha"_s), QStringList({u"hf_alpha"_s, u"jf_alpha"_s}));

    const QStringList ids = identifiers(voices);
    QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), ids.size());
}

void tst_TextToSpeechKokoroUtils::gendersFromSecondLetter()
{
    // 29 voices have f as second letter, 25 have m; a catalogue voice is never Unknown.
    int female = 0;
    int male = 0;
    const QList<KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All);
    for (const KokoroVoice &voice : voices) {
        if (voice.gender == Gender::Female)
            ++female;
        else if (voice.gender == Gender::Male)
            ++male;
        else
            QFAIL(qPrintable(voice.identifier + u" has no gender"_s));
    }
    QCOMPARE(female, 29);
    QCOMPARE(male, 25);
}

void tst_TextToSpeechKokoroUtils::filters_data()
{
    QTest::addColumn<VoiceFilter>("filter");
    QTest::addColumn<int>("voiceCount");
    QTest::addColumn<int>("localeCount");
    QTest::addColumn<int>("hiddenCount");

    QTest::newRow("Default") << VoiceFilter::Default << 41 << 7 << 0;
    QTest::newRow("All") << VoiceFilter::All << 54 << 9 << 13;
    // A value this build does not know must not hide anything.
    QTest::newRow("unknown value") << VoiceFilter(7) << 54 << 9 << 13;
    QTest::newRow("negative value") << VoiceFilter(-1) << 54 << 9 << 13;
}

void tst_TextToSpeechKokoroUtils::filters()
{
    QFETCH(VoiceFilter, filter);
    QFETCH(int, voiceCount);
    QFETCH(int, localeCount);
    QFETCH(int, hiddenCount);

    const QList<KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(filter);
    QCOMPARE(voices.size(), voiceCount);
    const auto hidden = std::count_if(voices.cbegin(), voices.cend(), [](const KokoroVoice &voice) {
        return voice.hiddenByDefault;
    });
    QCOMPARE(int(hidden), hiddenCount);
    QCOMPARE(TextToSpeechKokoroUtils::availableLocales(filter).size(), localeCount);
}

void tst_TextToSpeechKokoroUtils::localesInOrder()
{
    const QStringList shown = {u"en_US"_s, u"en_GB"_s, u"es_ES"_s, u"fr_FR"_s, u"hi_IN"_s, u"it_IT"_s, u"pt_BR"_s};
    QCOMPARE(localeNames(TextToSpeechKokoroUtils::availableLocales(VoiceFilter::Default)), shown);
    QCOMPARE(localeNames(TextToSpeechKokoroUtils::availableLocales(VoiceFilter::All)), shown + QStringList({u"ja_JP"_s, u"zh_CN"_s}));

    // Without an argument both lists leave the hidden languages out.
    QCOMPARE(localeNames(TextToSpeechKokoroUtils::availableLocales()), shown);
    QCOMPARE(identifiers(TextToSpeechKokoroUtils::kokoroVoices()), allIdentifiers.mid(0, 41));
}

void tst_TextToSpeechKokoroUtils::languageCode_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("code");

    QTest::newRow("british") << u"bf_emma"_s << u"b"_s;
    QTest::newRow("chinese") << u"zm_yunxi"_s << u"z"_s;
    QTest::newRow("american") << u"af_heart"_s << u"a"_s;
    QTest::newRow("portuguese") << u"pm_santa"_s << u"p"_s;
    QTest::newRow("japanese") << u"jf_alpha"_s << u"j"_s;
    QTest::newRow("two letters") << u"ef"_s << u"e"_s;
    // Only the first character counts, not whether the voice exists.
    QTest::newRow("unknown voice") << u"hx"_s << u"h"_s;
    QTest::newRow("single letter a") << u"a"_s << QString();
    QTest::newRow("single letter e") << u"e"_s << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("unknown letter") << u"xf_foo"_s << QString();
    QTest::newRow("upper case") << u"Af_heart"_s << QString();
    QTest::newRow("underscore second") << u"f_siwis"_s << u"f"_s;
    QTest::newRow("leading blank") << u" af_heart"_s << QString();
}

void tst_TextToSpeechKokoroUtils::languageCode()
{
    QFETCH(QString, identifier);
    QFETCH(QString, code);

    QCOMPARE(TextToSpeechKokoroUtils::languageCode(identifier), code);
}

void tst_TextToSpeechKokoroUtils::everyVoiceHasALanguageCode()
{
    // The engine refuses a voice without a code, so every catalogue voice must have one.
    const QList<KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(VoiceFilter::All);
    for (const KokoroVoice &voice : voices)
        QCOMPARE(TextToSpeechKokoroUtils::languageCode(voice.identifier), voice.identifier.left(1));
}

void tst_TextToSpeechKokoroUtils::defaultVoiceAndItemData()
{
    const KokoroVoice empty;
    QCOMPARE(empty.gender, Gender::Unknown);
    QCOMPARE(empty.hiddenByDefault, false);
    QCOMPARE(int(Gender::Male), 0);
    QCOMPARE(int(Gender::Female), 1);
    QCOMPARE(int(Gender::Unknown), 2);
    QCOMPARE(int(VoiceFilter::Default), 0);
    QCOMPARE(int(VoiceFilter::All), 1);

    // The voice chooser keeps voices as item data.
    const KokoroVoice voice = findVoice(u"jf_nezumi"_s);
    const QVariant data = QVariant::fromValue(voice);
    QVERIFY(data.canConvert<KokoroVoice>());
    const KokoroVoice back = data.value<KokoroVoice>();
    QCOMPARE(back.identifier, u"jf_nezumi"_s);
    QCOMPARE(back.name, u"Nezumi"_s);
    QCOMPARE(back.locale, QLocale(u"ja_JP"_s));
    QCOMPARE(back.gender, Gender::Female);
    QCOMPARE(back.hiddenByDefault, true);
}

void tst_TextToSpeechKokoroUtils::pathsFollowHome()
{
    const QString home = mEnvironment->home();
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPath(), home + "/.venv/kokoro"_L1);
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPython(), home + "/.venv/kokoro/bin/python"_L1);
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPip(), home + "/.venv/kokoro/bin/pip"_L1);

    FakeHelperEnvironment other;
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPath(), other.home() + "/.venv/kokoro"_L1);
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPython(), other.home() + "/.venv/kokoro/bin/python"_L1);
}

void tst_TextToSpeechKokoroUtils::scriptMustBeExecutableOnPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("found");

    QTest::newRow("executable") << u"kokoro_helper.py"_s << true << true;
    QTest::newRow("not executable") << u"kokoro_helper.py"_s << false << false;
    QTest::newRow("whisper's script") << u"whisper_helper.py"_s << true << false;
    QTest::newRow("without extension") << u"kokoro_helper"_s << true << false;
}

void tst_TextToSpeechKokoroUtils::scriptMustBeExecutableOnPath()
{
    QFETCH(QString, name);
    QFETCH(bool, executable);
    QFETCH(bool, found);

    QVERIFY(TextToSpeechKokoroUtils::pythonScriptPath().isEmpty());
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), name, executable));
    const QString expected = found ? mEnvironment->binDir() + "/kokoro_helper.py"_L1 : QString();
    QCOMPARE(TextToSpeechKokoroUtils::pythonScriptPath(), expected);
}

void tst_TextToSpeechKokoroUtils::venvFilesMustExist()
{
    QVERIFY(TextToSpeechKokoroUtils::venvPython().isNull());
    QVERIFY(TextToSpeechKokoroUtils::venvPip().isNull());
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPython(), mEnvironment->home() + "/.venv/kokoro/bin/python"_L1);
    QCOMPARE(TextToSpeechKokoroUtils::defaultVenvPip(), mEnvironment->home() + "/.venv/kokoro/bin/pip"_L1);

    // The whisper environment is no kokoro environment.
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(TextToSpeechKokoroUtils::venvPython().isNull());

    // An environment folder without an interpreter is no environment.
    QVERIFY(QDir().mkpath(TextToSpeechKokoroUtils::defaultVenvPath() + "/bin"_L1));
    QVERIFY(TextToSpeechKokoroUtils::venvPython().isNull());

    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QCOMPARE(TextToSpeechKokoroUtils::venvPython(), TextToSpeechKokoroUtils::defaultVenvPython());
    QVERIFY(TextToSpeechKokoroUtils::venvPip().isNull());

    QFile pip(TextToSpeechKokoroUtils::defaultVenvPip());
    QVERIFY(pip.open(QIODevice::WriteOnly));
    pip.close();
    QCOMPARE(TextToSpeechKokoroUtils::venvPip(), TextToSpeechKokoroUtils::defaultVenvPip());

    // Seen at once when the environment goes away.
    QVERIFY(QDir(TextToSpeechKokoroUtils::defaultVenvPath()).removeRecursively());
    QVERIFY(TextToSpeechKokoroUtils::venvPython().isNull());
    QVERIFY(TextToSpeechKokoroUtils::venvPip().isNull());
}

void tst_TextToSpeechKokoroUtils::pythonVersionPathSearchesPathOnly()
{
    const QString bin = mEnvironment->binDir();
    QVERIFY(mEnvironment->installScript(FakeHelperEnvironment::systemPython(), u"python3.11"_s));
    QCOMPARE(TextToSpeechKokoroUtils::pythonVersionPath(), bin + "/python3.11"_L1);

    // Another version is no substitute: only the name python3.11 counts.
    qputenv("PATH", QFile::encodeName(bin));
    QVERIFY(QFile::remove(bin + "/python3.11"_L1));
    QVERIFY(mEnvironment->installScript(FakeHelperEnvironment::systemPython(), u"python3"_s));
    QVERIFY(mEnvironment->installScript(FakeHelperEnvironment::systemPython(), u"python3.12"_s));
    QVERIFY(TextToSpeechKokoroUtils::pythonVersionPath().isEmpty());

    qputenv("PATH", "/nonexistent");
    QVERIFY(TextToSpeechKokoroUtils::pythonVersionPath().isEmpty());
}

void tst_TextToSpeechKokoroUtils::fixedNames()
{
    QCOMPARE(TextToSpeechKokoroUtils::pythonVersion(), u"python3.11"_s);
    QCOMPARE(TextToSpeechKokoroUtils::pythonScript(), u"kokoro_helper.py"_s);
    QCOMPARE(TextToSpeechKokoroUtils::requiredModules(), QStringList({u"kokoro"_s, u"torch"_s}));
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroUtils)
#include "tst_texttospeechkokoroutils.moc"
