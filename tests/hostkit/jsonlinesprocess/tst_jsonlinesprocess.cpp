#include "jsonlinesprocess.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;

using HostKit::JsonLinesProcess;

namespace
{
QString python()
{
    return QStandardPaths::findExecutable(u"python3"_s);
}

struct Outcome {
    QStringList objects;
    QStringList otherLines;
    int exitCode = 0;
    bool crashed = false;
    QString errorString;
    QString lastErrorLine;
};

// Runs a python snippet to its end and collects what the process object reported.
Outcome run(const QString &program, const QStringList &arguments)
{
    JsonLinesProcess process;
    Outcome outcome;
    QObject::connect(&process, &JsonLinesProcess::objectReceived, [&outcome](const QJsonObject &object) {
        outcome.objects.append(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    });
    QObject::connect(&process, &JsonLinesProcess::otherLineReceived, [&outcome](const QString &line) {
        outcome.otherLines.append(line);
    });
    QSignalSpy finished(&process, &JsonLinesProcess::finished);
    process.start(program, arguments);
    if (!finished.wait(20000) || finished.size() != 1)
        return outcome;
    outcome.exitCode = finished.at(0).at(0).toInt();
    outcome.crashed = finished.at(0).at(1).toBool();
    outcome.errorString = finished.at(0).at(2).toString();
    outcome.lastErrorLine = process.lastErrorLine();
    return outcome;
}
} // namespace

class tst_JsonLinesProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void killedProgram();
    void missingProgram();
    void objectsArriveBeforeTheEnd();
    void lastLine_data();
    void lastLine();
};

void tst_JsonLinesProcess::answers_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("objects");
    QTest::addColumn<QStringList>("otherLines");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastErrorLine");

    const QString prelude = u"import sys, time\nw = sys.stdout.write\nf = sys.stdout.flush\n"_s;
    QTest::newRow("two lines") << prelude + u"w('{\"a\": 1}\\n{\"b\": 2}\\n')"_s << QStringList{u"{\"a\":1}"_s, u"{\"b\":2}"_s}
                               << QStringList{} << 0 << QString();
    QTest::newRow("line in pieces") << prelude + u"w('{\"a\"'); f(); time.sleep(0.2); w(': \"x\"}\\n')"_s << QStringList{u"{\"a\":\"x\"}"_s}
                                    << QStringList{} << 0 << QString();
    QTest::newRow("last line without line feed") << prelude + u"w('{\"a\": 1}\\n{\"end\": true}')"_s
                                                 << QStringList{u"{\"a\":1}"_s, u"{\"end\":true}"_s} << QStringList{} << 0 << QString();
    QTest::newRow("other lines kept, blank ones dropped")
        << prelude + u"w('a warning\\n\\n  \\n[1, 2]\\n{\"a\": 1}\\n')"_s << QStringList{u"{\"a\":1}"_s}
        << QStringList{u"a warning"_s, u"[1, 2]"_s} << 0 << QString();
    QTest::newRow("failure with its reason") << prelude + u"sys.stderr.write('Traceback\\n  line\\nValueError: no model\\n\\n  \\n'); sys.exit(3)"_s
                                             << QStringList{} << QStringList{} << 3 << u"ValueError: no model"_s;
    QTest::newRow("utf-8") << prelude + u"sys.stdout.buffer.write('{\"t\": \"caf\\u00e9\"}\\n'.encode())"_s
                           << QStringList{u"{\"t\":\"caf\u00e9\"}"_s} << QStringList{} << 0 << QString();
}

void tst_JsonLinesProcess::answers()
{
    QFETCH(QString, script);
    QFETCH(QStringList, objects);
    QFETCH(QStringList, otherLines);
    QFETCH(int, exitCode);
    QFETCH(QString, lastErrorLine);
    const Outcome outcome = run(python(), {u"-c"_s, script});
    QCOMPARE(outcome.objects, objects);
    QCOMPARE(outcome.otherLines, otherLines);
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY(!outcome.crashed);
    QCOMPARE(outcome.lastErrorLine, lastErrorLine);
}

void tst_JsonLinesProcess::killedProgram()
{
    const Outcome outcome = run(python(), {u"-c"_s, u"import os, sys\nsys.stderr.write('Could not load library libcudnn\\n')\nsys.stderr.flush()\nos.abort()"_s});
    QVERIFY(outcome.crashed);
    QVERIFY(!outcome.errorString.isEmpty());
    QCOMPARE(outcome.lastErrorLine, u"Could not load library libcudnn"_s);
}

void tst_JsonLinesProcess::missingProgram()
{
    const Outcome outcome = run(u"/nonexistent/program"_s, {});
    QVERIFY(outcome.crashed);
    QCOMPARE(outcome.exitCode, -1);
    QVERIFY(!outcome.errorString.isEmpty());
}

void tst_JsonLinesProcess::objectsArriveBeforeTheEnd()
{
    // A stage line must be seen while the program still works, not with its end.
    JsonLinesProcess process;
    QSignalSpy objects(&process, &JsonLinesProcess::objectReceived);
    QSignalSpy finished(&process, &JsonLinesProcess::finished);
    process.start(python(), {u"-c"_s, u"import sys, time\nprint('{\"stage\": 1}', flush=True)\ntime.sleep(30)"_s});
    QVERIFY(objects.wait(20000));
    QVERIFY(process.isRunning());
    QVERIFY(finished.isEmpty());
    process.kill();
    QVERIFY(finished.wait(5000));
    QVERIFY(finished.at(0).at(1).toBool());
}

void tst_JsonLinesProcess::lastLine_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("line");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("blank lines only") << QByteArray("\n  \n\t\n") << QString();
    QTest::newRow("trailing blanks") << QByteArray("first\n  second line  \n\n") << u"second line"_s;
    QTest::newRow("no line feed") << QByteArray("one\ntwo") << u"two"_s;
    QTest::newRow("carriage returns") << QByteArray("one\r\ntwo\r\n") << u"two"_s;
}

void tst_JsonLinesProcess::lastLine()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, line);
    QCOMPARE(JsonLinesProcess::lastLine(output), line);
}

QTEST_GUILESS_MAIN(tst_JsonLinesProcess)

#include "tst_jsonlinesprocess.moc"
