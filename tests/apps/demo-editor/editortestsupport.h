#pragma once

#include "editorwindow.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class FakeHelperEnvironment;
class QTextEdit;

// What the editor's tests share: scenarios for the fake helpers, a window started against
// them, the commands they received, and pictures of the window.
namespace EditorTestSupport
{
constexpr int HelperTimeoutMs = 10000;

// The fake helpers' answer to both environment checks, with this JSON line.
QByteArray checkAnswer(const QByteArray &json);
// A check answer that finds both features usable.
QByteArray usableCheck();
// A whole scenario: usable checks, the startup frames and these "commands" entries.
QByteArray scenario(const QByteArray &commands, const QByteArray &startup = R"([{"frame":{"type":"ready","available":true}}])");

// Both fake helpers and their environments in place, the window shown, active, and checked;
// null when any of it fails.
std::unique_ptr<EditorWindow> startEditor(FakeHelperEnvironment *environment, const QByteArray &scenario);
// The headers of the commands the helpers received with this "cmd", in order.
QList<QJsonObject> recordedCommands(const FakeHelperEnvironment *environment, const QString &cmd);
// Saves a picture of window under name for a person to look at, when asked for by
// EARLOBE_SCREENSHOT_DIR (a folder, see Screenshots); false when it could not be saved.
bool screenshot(QWidget *window, const QString &name);

void selectText(QTextEdit *editor, const QString &text);
void moveCursorToEnd(QTextEdit *editor);

template<typename T> T *child(QObject *window, const QString &name)
{
    return window->findChild<T *>(name);
}
} // namespace EditorTestSupport
