#include "toolrun.h"

#include <QProcess>

using namespace Qt::Literals::StringLiterals;

namespace
{
QStringList lines(const QByteArray &output)
{
    QStringList result = QString::fromUtf8(output).split(u'\n');
    if (!result.isEmpty() && result.constLast().isEmpty())
        result.removeLast();
    return result;
}
} // namespace

ToolRun ToolRun::run(const QStringList &arguments, const QProcessEnvironment &changes, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
    const QStringList keys = changes.keys();
    for (const QString &key : keys)
        environment.insert(key, changes.value(key));

    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TOOL_PATH), arguments);
    ToolRun result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err.append(u"<the tool did not end within %1 ms>"_s.arg(timeoutMs));
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.out = lines(process.readAllStandardOutput());
    result.err = lines(process.readAllStandardError()) + result.err;
    return result;
}

ToolRun ToolRun::run(const QStringList &arguments, int timeoutMs)
{
    return run(arguments, {}, timeoutMs);
}

QByteArray ToolRun::describe() const
{
    return "exit code " + QByteArray::number(exitCode) + "\n--- standard output:\n" + out.join(u'\n').toUtf8() + "\n--- standard error:\n"
        + err.join(u'\n').toUtf8();
}
