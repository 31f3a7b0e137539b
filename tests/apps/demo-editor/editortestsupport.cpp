#include "editortestsupport.h"
#include "fakehelperenvironment.h"
#include "screenshots.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

using namespace Qt::Literals::StringLiterals;

namespace EditorTestSupport
{
QByteArray checkAnswer(const QByteArray &json)
{
    QByteArray escaped = json;
    escaped.replace('\\', "\\\\").replace('"', "\\\"");
    return R"({"check":[{"raw":")" + escaped + R"(\n"}]})";
}

QByteArray usableCheck()
{
    // One helper script answers both checks: the keys of the two do not collide.
    return R"({"available":true,"python":"/usr/bin/python3","sampleRate":16000,"channels":1,"espeakNg":"/usr/bin/espeak-ng"})";
}

QByteArray scenario(const QByteArray &commands, const QByteArray &startup)
{
    return R"({"modes":)" + checkAnswer(usableCheck()) + R"(,"startup":)" + startup + R"(,"commands":{)" + commands + "}}";
}

std::unique_ptr<EditorWindow> startEditor(FakeHelperEnvironment *environment, const QByteArray &scenario)
{
    if (!environment->installFakeHelper(u"whisper_helper.py"_s) || !environment->installFakeHelper(u"kokoro_helper.py"_s)
        || !environment->createVenv(u"whisper"_s) || !environment->createVenv(u"kokoro"_s) || !environment->setScenario(scenario))
        return {};
    auto window = std::make_unique<EditorWindow>();
    QSignalSpy checked(window.get(), &EditorWindow::setupChecked);
    window->show();
    window->activateWindow();
    window->checkSetup();
    // A check that cannot run answers at once, inside checkSetup().
    if ((checked.isEmpty() && !checked.wait(HelperTimeoutMs)) || !QTest::qWaitForWindowActive(window.get()))
        return {};
    return window;
}

QList<QJsonObject> recordedCommands(const FakeHelperEnvironment *environment, const QString &cmd)
{
    QList<QJsonObject> commands;
    const QByteArray recorded = environment->recorded();
    for (qsizetype offset = 0; offset < recorded.size();) {
        const qsizetype end = recorded.indexOf('\n', offset);
        if (end < 0)
            break;
        const QJsonObject header = QJsonDocument::fromJson(recorded.mid(offset, end - offset)).object();
        offset = end + 1 + header.value("size"_L1).toInt();
        if (header.value("cmd"_L1).toString() == cmd)
            commands.append(header);
    }
    return commands;
}

bool screenshot(QWidget *window, const QString &name)
{
    return Screenshots::save(window, name);
}

void selectText(QTextEdit *editor, const QString &text)
{
    const int start = int(editor->toPlainText().indexOf(text));
    QTextCursor cursor(editor->document());
    cursor.setPosition(start);
    cursor.setPosition(start + int(text.size()), QTextCursor::KeepAnchor);
    editor->setTextCursor(cursor);
}

void moveCursorToEnd(QTextEdit *editor)
{
    QTextCursor cursor = editor->textCursor();
    cursor.movePosition(QTextCursor::End);
    editor->setTextCursor(cursor);
}
} // namespace EditorTestSupport
