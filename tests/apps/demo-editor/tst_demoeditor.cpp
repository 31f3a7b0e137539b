#include "dictationsettingsdialog.h"
#include "editortestsupport.h"
#include "editorwindow.h"
#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <messagebanner.h>
#include <whisperspeechtotextutils.h>

#include <QAction>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QtEndian>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace EditorTestSupport;

// The editor's window driven as a user would for its setup checks and dictation.
class tst_DemoEditor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void setupBannersShowTheCheck_data();
    void setupBannersShowTheCheck();
    void dictationShowsPartialsThenInsertsFinalText();
    void escapeCancelsDictation();
    void dictationErrorAppearsInWindow();
    void settingsDialogStoresTheChoices();

private:
    [[nodiscard]] int loudestRecordedSample() const;
    [[nodiscard]] static QString preeditText(QTextEdit *editor);
    [[nodiscard]] static QColor preeditColor(QTextEdit *editor);

    PulseAudioServer mAudioServer;
    QTemporaryDir mSpeechDir;
    QString mSpeechWav;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
const QByteArray dictationCommands =
    R"("audio":[{"frame":{"type":"partial","id":"$id","text":" hello wor"}}],)"
    R"("stop":[{"frame":{"type":"final","id":"$id","text":" hello world"}},{"frame":{"type":"end","id":"$id"}}],)"
    R"("cancel":[{"frame":{"type":"final","id":"$id","text":"cancelled words"}},{"frame":{"type":"end","id":"$id"}}])";
} // namespace

void tst_DemoEditor::initTestCase()
{
    QVERIFY2(mAudioServer.start(), qPrintable(mAudioServer.errorString()));
    // What is played into the null sink is what the editor's microphone hears.
    QVERIFY(mAudioServer.addLoopbackMicrophone());
    mSpeechWav = mSpeechDir.filePath(u"speech.wav"_s);
    QVERIFY(QProcess::execute(u"espeak-ng"_s, {u"-w"_s, mSpeechWav, u"Hello world, this is a dictation test."_s}) == 0);
}

void tst_DemoEditor::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_DemoEditor::cleanup()
{
    mEnvironment.reset();
}

// The loudest sample of all the audio the dictation helper received.
int tst_DemoEditor::loudestRecordedSample() const
{
    int loudest = 0;
    const QByteArray recorded = mEnvironment->recorded();
    for (qsizetype offset = 0; offset < recorded.size();) {
        const qsizetype end = recorded.indexOf('\n', offset);
        if (end < 0)
            break;
        const QJsonObject header = QJsonDocument::fromJson(recorded.mid(offset, end - offset)).object();
        const int size = header.value("size"_L1).toInt();
        if (header.value("cmd"_L1).toString() == "audio"_L1) {
            for (int i = 0; i + 1 < size; i += 2)
                loudest = std::max(loudest, std::abs(int(qFromLittleEndian<qint16>(recorded.constData() + end + 1 + i))));
        }
        offset = end + 1 + size;
    }
    return loudest;
}

QString tst_DemoEditor::preeditText(QTextEdit *editor)
{
    return editor->textCursor().block().layout()->preeditAreaText();
}

QColor tst_DemoEditor::preeditColor(QTextEdit *editor)
{
    const QTextLayout *layout = editor->textCursor().block().layout();
    for (const QTextLayout::FormatRange &range : layout->formats()) {
        if (range.start >= layout->preeditAreaPosition())
            return range.format.foreground().color();
    }
    return {};
}

void tst_DemoEditor::setupBannersShowTheCheck_data()
{
    QTest::addColumn<bool>("helpers");
    QTest::addColumn<bool>("environments");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QString>("whisperText");
    QTest::addColumn<QString>("kokoroText");

    QTest::newRow("no helper scripts") << false << false << QByteArray() << u"Whisper is not usable. Please reinstall it."_s
                                       << u"Kokoro is not usable. Please reinstall it."_s;
    QTest::newRow("no environments") << true << false << QByteArray() << u"Whisper is not installed. Missing: faster-whisper, numpy"_s
                                     << u"Kokoro is not installed. Missing: kokoro, torch"_s;
    QTest::newRow("packages missing") << true << true << QByteArray(R"({"available":false,"missing":["numpy"],"espeakNg":""})")
                                      << u"Whisper is not installed. Missing: numpy"_s
                                      << u"Kokoro is not installed. Missing: numpy, espeak-ng"_s;
    QTest::newRow("usable") << true << true << usableCheck() << QString() << QString();
}

void tst_DemoEditor::setupBannersShowTheCheck()
{
    QFETCH(bool, helpers);
    QFETCH(bool, environments);
    QFETCH(QByteArray, check);
    QFETCH(QString, whisperText);
    QFETCH(QString, kokoroText);

    if (helpers) {
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
        QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    }
    if (environments) {
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    }
    QVERIFY(mEnvironment->setScenario(R"({"modes":)" + checkAnswer(check) + "}"));

    EditorWindow window;
    QSignalSpy checked(&window, &EditorWindow::setupChecked);
    window.show();
    window.checkSetup();
    QTRY_VERIFY_WITH_TIMEOUT(!checked.isEmpty(), HelperTimeoutMs);

    auto whisperBanner = child<HostKit::MessageBanner>(&window, u"whisperBanner"_s);
    auto kokoroBanner = child<HostKit::MessageBanner>(&window, u"kokoroBanner"_s);
    QCOMPARE(whisperBanner->isVisible(), !whisperText.isEmpty());
    QCOMPARE(kokoroBanner->isVisible(), !kokoroText.isEmpty());
    if (!whisperText.isEmpty())
        QCOMPARE(whisperBanner->text(), whisperText);
    if (!kokoroText.isEmpty())
        QCOMPARE(kokoroBanner->text(), kokoroText);
    if (QByteArray(QTest::currentDataTag()) == "no environments")
        QVERIFY(screenshot(&window, u"editor-setup-banners.png"_s));

    // Dictating without a usable setup says why, in the window.
    auto dictate = child<QAction>(&window, u"dictateAction"_s);
    dictate->trigger();
    auto errorBanner = child<HostKit::MessageBanner>(&window, u"errorBanner"_s);
    if (whisperText.isEmpty()) {
        QVERIFY(dictate->isChecked());
        child<QAction>(&window, u"cancelDictationAction"_s)->trigger();
    } else {
        QVERIFY(!dictate->isChecked());
        QVERIFY(errorBanner->isVisible());
        QCOMPARE(errorBanner->text(), u"Dictation is not set up: "_s + whisperText);
    }
}

void tst_DemoEditor::dictationShowsPartialsThenInsertsFinalText()
{
    auto window = startEditor(mEnvironment.get(), scenario(dictationCommands));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(u"Dear Anna,"_s);
    moveCursorToEnd(editor);

    auto dictate = child<QAction>(window.get(), u"dictateAction"_s);
    dictate->trigger();
    QVERIFY(dictate->isChecked());
    QCOMPARE(child<QLabel>(window.get(), u"stateLabel"_s)->text(), u"● Listening"_s);
    QProcess player;
    player.start(u"paplay"_s, {mSpeechWav});
    // Spaced from the word before it, as the final text will be.
    QTRY_COMPARE_WITH_TIMEOUT(preeditText(editor), u" hello wor"_s, HelperTimeoutMs);
    QCOMPARE(preeditColor(editor), QColor(Qt::gray));
    // Partial text is shown, not written: the document does not have it yet.
    QCOMPARE(editor->toPlainText(), u"Dear Anna,"_s);
    QVERIFY(screenshot(window.get(), u"editor-dictation-partial.png"_s));
    QVERIFY(player.waitForFinished(HelperTimeoutMs));

    dictate->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(editor->toPlainText(), u"Dear Anna, hello world"_s, HelperTimeoutMs);
    QCOMPARE(preeditText(editor), QString());
    QTRY_VERIFY(dictate->isEnabled());
    QVERIFY(!dictate->isChecked());

    const QList<QJsonObject> starts = recordedCommands(mEnvironment.get(), u"start"_s);
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.constFirst().value("partials"_L1), QJsonValue(true));
    QCOMPARE(recordedCommands(mEnvironment.get(), u"stop"_s).size(), 1);
    // The microphone really heard the speech played into the sink.
    QVERIFY2(loudestRecordedSample() > 1000, QByteArray::number(loudestRecordedSample()));

    // The dictated words are one step in the undo history.
    editor->undo();
    QCOMPARE(editor->toPlainText(), u"Dear Anna,"_s);
}

void tst_DemoEditor::escapeCancelsDictation()
{
    auto window = startEditor(mEnvironment.get(), scenario(dictationCommands));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(u"Unchanged "_s);
    moveCursorToEnd(editor);

    auto dictate = child<QAction>(window.get(), u"dictateAction"_s);
    dictate->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(preeditText(editor), u"hello wor"_s, HelperTimeoutMs);
    QTest::keyClick(editor, Qt::Key_Escape);
    QCOMPARE(preeditText(editor), QString());
    QVERIFY(!dictate->isChecked());

    // The helper answers the cancel with text for the abandoned utterance; none of it lands.
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"cancel"_s).size(), 1, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"cancel"_s).constFirst().value("id"_L1).toInt(), 1);
    QTest::qWait(500);
    QCOMPARE(editor->toPlainText(), u"Unchanged "_s);
    QCOMPARE(preeditText(editor), QString());

    // The next dictation works as usual.
    dictate->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(preeditText(editor), u"hello wor"_s, HelperTimeoutMs);
    dictate->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(editor->toPlainText(), u"Unchanged hello world"_s, HelperTimeoutMs);
}

void tst_DemoEditor::dictationErrorAppearsInWindow()
{
    auto window = startEditor(
        mEnvironment.get(), scenario(dictationCommands, R"([{"frame":{"type":"ready","available":false,"missing":["faster-whisper"]}}])"));
    QVERIFY(window);
    auto dictate = child<QAction>(window.get(), u"dictateAction"_s);
    dictate->trigger();
    auto errorBanner = child<HostKit::MessageBanner>(window.get(), u"errorBanner"_s);
    QTRY_VERIFY_WITH_TIMEOUT(errorBanner->isVisible(), HelperTimeoutMs);
    QCOMPARE(errorBanner->text(), u"Whisper is not installed. Missing: faster-whisper"_s);
    QVERIFY(!dictate->isChecked());
}

void tst_DemoEditor::settingsDialogStoresTheChoices()
{
    // The catalogue cannot be read here: the chooser stays empty and the stored model stays.
    WhisperSpeechToTextUtils::saveModel(u"small"_s);
    WhisperSpeechToTextUtils::saveLanguage(u"xx"_s);
    DictationSettingsDialog dialog;
    auto language = child<QComboBox>(&dialog, u"languageComboBox"_s);
    QCOMPARE(language->currentData().toString(), u"xx"_s);
    language->setCurrentIndex(language->findData(u"de"_s));
    auto computeType = child<QComboBox>(&dialog, u"computeTypeComboBox"_s);
    computeType->setCurrentIndex(computeType->findData(u"int8"_s));
    auto device = child<QComboBox>(&dialog, u"deviceComboBox"_s);
    device->setCurrentIndex(device->findData(u"cpu"_s));
    dialog.accept();

    QCOMPARE(WhisperSpeechToTextUtils::loadModel(), u"small"_s);
    QCOMPARE(WhisperSpeechToTextUtils::loadLanguage(), u"de"_s);
    QCOMPARE(WhisperSpeechToTextUtils::loadComputeType(), u"int8"_s);
    QCOMPARE(WhisperSpeechToTextUtils::loadDevice(), u"cpu"_s);
}

QTEST_MAIN(tst_DemoEditor)
#include "tst_demoeditor.moc"
