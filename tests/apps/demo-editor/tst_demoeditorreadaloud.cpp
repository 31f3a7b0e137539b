#include "editortestsupport.h"
#include "editorwindow.h"
#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"
#include "wavfile.h"

#include <messagebanner.h>

#include <QAction>
#include <QLabel>
#include <QScrollBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace EditorTestSupport;

// The editor's read-aloud driven as a user would: what is sent to the helper, what the
// editor shows of the sentence and word being read, moving between sentences, saving.
class tst_DemoEditorReadAloud : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void readAloudSendsTheSelection();
    void readingHighlightsSentenceAndWord_data();
    void readingHighlightsSentenceAndWord();
    void nextAndPreviousSentence();
    void highlightedWordStaysInView();
    void readAloudErrorAppearsInWindow();
    void saveSpeechWritesWav_data();
    void saveSpeechWritesWav();

private:
    PulseAudioServer mAudioServer;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
QByteArray mark(const char *kind, int start, int length, int sample)
{
    return R"({"frame":{"type":"mark","id":"$id","kind":")" + QByteArray(kind) + R"(","start":)" + QByteArray::number(start)
        + R"(,"length":)" + QByteArray::number(length) + R"(,"sample":)" + QByteArray::number(sample) + "}},";
}

// Sent at once; the engine plays it, and reports each mark as playback reaches its sample.
QByteArray audio(double seconds)
{
    return R"({"audio":{"id":"$id","seconds":)" + QByteArray::number(seconds) + R"(,"chunkBytes":4800}},)";
}

// A "say" answered with a format, these frames (each with its trailing comma) and an end.
QByteArray sayCommand(const QByteArray &frames)
{
    return R"("say":[{"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}},)" + frames
        + R"({"frame":{"type":"end","id":"$id"}}])";
}

using Range = std::pair<int, int>;

// The ranges the editor shows as being read, the sentence first.
QList<Range> highlighted(const QTextEdit *editor)
{
    QList<Range> ranges;
    const QList<QTextEdit::ExtraSelection> selections = editor->extraSelections();
    for (const QTextEdit::ExtraSelection &selection : selections)
        ranges.append({selection.cursor.selectionStart(), selection.cursor.selectionEnd()});
    return ranges;
}

Range userSelection(const QTextEdit *editor)
{
    return {editor->textCursor().anchor(), editor->textCursor().position()};
}
} // namespace

void tst_DemoEditorReadAloud::initTestCase()
{
    QVERIFY2(mAudioServer.start(), qPrintable(mAudioServer.errorString()));
    // Every reading would otherwise wait up to two seconds for its first sound.
    QVERIFY(mAudioServer.runAtSoundCardLatency());
}

void tst_DemoEditorReadAloud::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_DemoEditorReadAloud::cleanup()
{
    mEnvironment.reset();
}

void tst_DemoEditorReadAloud::readAloudSendsTheSelection()
{
    // Long enough that pausing finds it still playing on a busy machine.
    auto window = startEditor(mEnvironment.get(), scenario(sayCommand(audio(10.0))));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(u"First sentence.\nSecond  sentence, with  blanks.\nThird."_s);
    selectText(editor, u"Second  sentence, with  blanks.\nThird"_s);

    child<QAction>(window.get(), u"bf_emma"_s)->trigger();
    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    auto pause = child<QAction>(window.get(), u"pauseAction"_s);
    QTRY_VERIFY_WITH_TIMEOUT(pause->isEnabled(), HelperTimeoutMs);
    QCOMPARE(child<QLabel>(window.get(), u"stateLabel"_s)->text(), u"Reading aloud"_s);
    QVERIFY(screenshot(window.get(), u"editor-read-aloud.png"_s));
    // The engine pauses only once audio plays; a press before that leaves Pause unchecked.
    pause->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (!pause->isChecked())
                pause->trigger();
            return child<QLabel>(window.get(), u"stateLabel"_s)->text() == u"Reading paused"_s;
        }(),
        HelperTimeoutMs);
    QVERIFY(pause->isChecked());

    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 1, HelperTimeoutMs);
    const QList<QJsonObject> says = recordedCommands(mEnvironment.get(), u"say"_s);
    QCOMPARE(says.constFirst().value("text"_L1).toString(), u"Second  sentence, with  blanks.\nThird"_s);
    QCOMPARE(says.constFirst().value("voice"_L1).toString(), u"bf_emma"_s);

    child<QAction>(window.get(), u"stopAction"_s)->trigger();
    QTRY_VERIFY(!pause->isEnabled());
    QCOMPARE(child<QLabel>(window.get(), u"stateLabel"_s)->text(), QString());

    // Without a selection, the text from the cursor on.
    QTextCursor cursor(editor->document());
    cursor.setPosition(int(editor->toPlainText().indexOf(u"Third"_s)));
    editor->setTextCursor(cursor);
    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 2, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constLast().value("text"_L1).toString(), u"Third."_s);
}

void tst_DemoEditorReadAloud::readingHighlightsSentenceAndWord_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("start");

    // Each reading speaks "Three four five. Six seven." from its start in the document.
    QTest::newRow("from the cursor") << u"Intro here. Three four five. Six seven."_s << 12 << 12 << 12;
    QTest::newRow("selection") << u"Intro here. Three four five. Six seven. Not this one."_s << 39 << 12 << 12;
    QTest::newRow("cursor at the end") << u"Three four five. Six seven."_s << 27 << 27 << 0;
}

void tst_DemoEditorReadAloud::readingHighlightsSentenceAndWord()
{
    QFETCH(QString, document);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(int, start);

    auto window = startEditor(mEnvironment.get(),
                              scenario(sayCommand(mark("sentence", 0, 16, 0) + mark("word", 0, 5, 0) + audio(0.6)
                                                  + mark("word", 6, 4, 14400) + audio(0.6) + mark("sentence", 17, 10, 28800)
                                                  + mark("word", 17, 3, 28800) + audio(0.6) + mark("word", 21, 5, 43200) + audio(0.6))));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(document);
    QTextCursor cursor(editor->document());
    cursor.setPosition(anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);
    const Range selected = userSelection(editor);
    const QColor selectionColour = editor->palette().color(QPalette::Highlight);

    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 1, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constFirst().value("text"_L1).toString(), u"Three four five. Six seven."_s);

    const int o = start;
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{o, o + 16}, {o, o + 5}}), HelperTimeoutMs);
    const QList<QTextEdit::ExtraSelection> selections = editor->extraSelections();
    const QColor base = editor->palette().color(QPalette::Base);
    QVERIFY(selections.at(0).format.background().color() != base);
    QVERIFY(selections.at(1).format.background().color() != selections.at(0).format.background().color());

    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{o, o + 16}, {o + 6, o + 10}}), HelperTimeoutMs);
    if (QByteArray(QTest::currentDataTag()) == "from the cursor")
        QVERIFY(screenshot(window.get(), u"editor-reading-word.png"_s));
    // Reading shows where it is without taking the user's cursor or selection, which lets it
    // show through.
    QCOMPARE(userSelection(editor), selected);
    QVERIFY(editor->palette().color(QPalette::Highlight).alpha() < selectionColour.alpha());

    // Pausing keeps the highlight; text typed before the reading moves what comes next along.
    auto pause = child<QAction>(window.get(), u"pauseAction"_s);
    pause->trigger();
    QVERIFY(pause->isChecked());
    QCOMPARE(highlighted(editor), (QList<Range>{{o, o + 16}, {o + 6, o + 10}}));
    QTextCursor(editor->document()).insertText(u"Hi. "_s);
    QCOMPARE(highlighted(editor), (QList<Range>{{o + 4, o + 20}, {o + 10, o + 14}}));
    pause->trigger();
    QVERIFY(!pause->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{o + 21, o + 31}, {o + 21, o + 24}}), HelperTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{o + 21, o + 31}, {o + 25, o + 30}}), HelperTimeoutMs);

    // The end of the reading takes the highlight away.
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), QList<Range>(), HelperTimeoutMs);
    QCOMPARE(editor->palette().color(QPalette::Highlight), selectionColour);
    QCOMPARE(child<QLabel>(window.get(), u"stateLabel"_s)->text(), QString());
    QVERIFY(!child<QAction>(window.get(), u"nextSentenceAction"_s)->isEnabled());
    QVERIFY(!child<QAction>(window.get(), u"previousSentenceAction"_s)->isEnabled());
}

void tst_DemoEditorReadAloud::nextAndPreviousSentence()
{
    // Every restart reads the rest of the selection; the helper answers each with the marks
    // of the text it is then sent.
    const QString document = u"Alpha one. Beta two.  Gamma three. Delta four."_s;
    const QString selection = u"Alpha one. Beta two.  Gamma three."_s;
    auto window = startEditor(mEnvironment.get(),
                              scenario(sayCommand(mark("sentence", 0, 10, 0) + audio(0.5) + mark("sentence", 11, 9, 12000) + audio(4))));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(document);
    selectText(editor, selection);
    auto next = child<QAction>(window.get(), u"nextSentenceAction"_s);
    auto previous = child<QAction>(window.get(), u"previousSentenceAction"_s);
    QVERIFY(!next->isEnabled());
    QVERIFY(!previous->isEnabled());

    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{11, 20}}), HelperTimeoutMs);
    QVERIFY(next->isEnabled());
    QVERIFY(previous->isEnabled());

    // Next, by its shortcut: from the first non-blank after the sentence being read.
    QVERIFY(mEnvironment->setScenario(scenario(sayCommand(mark("sentence", 0, 12, 0) + audio(4)))));
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_Right, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 2, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constLast().value("text"_L1).toString(), u"Gamma three."_s);
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{22, 34}}), HelperTimeoutMs);
    QVERIFY(screenshot(window.get(), u"editor-next-sentence.png"_s));

    // Nothing follows within the selection: the reading goes on.
    next->trigger();
    QCOMPARE(window->statusBar()->currentMessage(), u"This is the last sentence."_s);
    QTest::qWait(200);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).size(), 2);
    QVERIFY(child<QAction>(window.get(), u"pauseAction"_s)->isEnabled());

    // Previous: the sentence read before this one, though the reading skipped to here.
    QVERIFY(mEnvironment->setScenario(scenario(sayCommand(mark("sentence", 0, 9, 0) + audio(4)))));
    previous->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 3, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constLast().value("text"_L1).toString(), u"Beta two.  Gamma three."_s);
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{11, 20}}), HelperTimeoutMs);

    QVERIFY(mEnvironment->setScenario(scenario(sayCommand(mark("sentence", 0, 10, 0) + audio(4)))));
    previous->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 4, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constLast().value("text"_L1).toString(), selection);
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{0, 10}}), HelperTimeoutMs);

    // Nothing was read before the first sentence: it starts again.
    previous->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(mEnvironment.get(), u"say"_s).size(), 5, HelperTimeoutMs);
    QCOMPARE(recordedCommands(mEnvironment.get(), u"say"_s).constLast().value("text"_L1).toString(), selection);
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{0, 10}}), HelperTimeoutMs);
    QCOMPARE(editor->textCursor().selectedText(), selection);

    child<QAction>(window.get(), u"stopAction"_s)->trigger();
    QCOMPARE(highlighted(editor), QList<Range>());
    QVERIFY(!next->isEnabled());
    QVERIFY(!previous->isEnabled());
}

void tst_DemoEditorReadAloud::highlightedWordStaysInView()
{
    QStringList lines;
    for (int i = 1; i <= 120; ++i)
        lines.append(u"Line %1 is one sentence."_s.arg(i, 3, 10, QChar(u'0')));
    auto window = startEditor(mEnvironment.get(), scenario(sayCommand(mark("sentence", 0, 25, 0) + mark("word", 9, 2, 0) + audio(1))));
    QVERIFY(window);
    QTextEdit *editor = window->editor();
    editor->setPlainText(lines.join(u'\n'));
    selectText(editor, lines.mid(99).join(u'\n'));
    const Range selected = userSelection(editor);
    editor->verticalScrollBar()->setValue(0);

    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    const int word = int(editor->toPlainText().indexOf(u"Line 100"_s)) + 9;
    QTRY_COMPARE_WITH_TIMEOUT(highlighted(editor), (QList<Range>{{word - 9, word + 16}, {word, word + 2}}), HelperTimeoutMs);
    QTextCursor wordCursor(editor->document());
    wordCursor.setPosition(word);
    QVERIFY(editor->verticalScrollBar()->value() > 0);
    QVERIFY2(editor->viewport()->rect().contains(editor->cursorRect(wordCursor)), "the word being read is out of view");
    QVERIFY(screenshot(window.get(), u"editor-word-in-view.png"_s));
    QCOMPARE(userSelection(editor), selected);

    // Another file replaces the text being read: the reading ends with it.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"other.txt"_s);
    QVERIFY(FakeHelperEnvironment::writeFile(path, "Another text."));
    QVERIFY(window->openFile(path));
    QCOMPARE(highlighted(editor), QList<Range>());
    QVERIFY(!child<QAction>(window.get(), u"pauseAction"_s)->isEnabled());
}

void tst_DemoEditorReadAloud::readAloudErrorAppearsInWindow()
{
    auto window =
        startEditor(mEnvironment.get(), scenario(R"("say":[{"frame":{"type":"error","id":"$id","message":"voice file is damaged"}}])"));
    QVERIFY(window);
    window->editor()->setPlainText(u"Some text."_s);
    child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
    auto errorBanner = child<HostKit::MessageBanner>(window.get(), u"errorBanner"_s);
    QTRY_VERIFY_WITH_TIMEOUT(errorBanner->isVisible(), HelperTimeoutMs);
    QVERIFY2(errorBanner->text().contains(u"voice file is damaged"_s), qPrintable(errorBanner->text()));
}

void tst_DemoEditorReadAloud::saveSpeechWritesWav_data()
{
    QTest::addColumn<bool>("reading");

    QTest::newRow("idle") << false;
    // Saving stops the reading; that stop is not the end of the save.
    QTest::newRow("while reading") << true;
}

void tst_DemoEditorReadAloud::saveSpeechWritesWav()
{
    QFETCH(bool, reading);

    auto window = startEditor(mEnvironment.get(), scenario(sayCommand(audio(0.5))));
    QVERIFY(window);
    window->editor()->setPlainText(u"Save me."_s);
    if (reading) {
        child<QAction>(window.get(), u"readAloudAction"_s)->trigger();
        QVERIFY(child<QAction>(window.get(), u"pauseAction"_s)->isEnabled());
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(u"speech.wav"_s);
    window->saveSpeechTo(path);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), HelperTimeoutMs);

    WavFile wav;
    QVERIFY2(wav.read(path), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), 24000);
    QCOMPARE(wav.channelCount(), 1);
    QCOMPARE(wav.samples().size(), 24000);
    const QList<QJsonObject> says = recordedCommands(mEnvironment.get(), u"say"_s);
    QCOMPARE(says.size(), reading ? 2 : 1);
    QCOMPARE(says.constLast().value("text"_L1).toString(), u"Save me."_s);
}

QTEST_MAIN(tst_DemoEditorReadAloud)
#include "tst_demoeditorreadaloud.moc"
