#include "folderremover.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

using HostKit::FolderRemover;

namespace
{
bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A tree big enough that removing it takes many turns of a 1 ms timer.
bool makeLargeTree(const QString &root, int dirs, int filesPerDir)
{
    for (int d = 0; d < dirs; ++d) {
        const QString dir = root + u"/d%1/sub"_s.arg(d);
        if (!QDir().mkpath(dir))
            return false;
        for (int f = 0; f < filesPerDir; ++f) {
            if (!writeFile(dir + u"/f%1"_s.arg(f), "x"))
                return false;
        }
    }
    return true;
}
} // namespace

class TestFolderRemover : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void removes_data();
    void removes();
    void largeTreeWhileEventLoopTurns();
    void removalFailureIsReported();
    void secondRemoveWhileRunningIsIgnored();
    void destroyedWhileRunningFinishesTheRemoval();

private:
    std::unique_ptr<QTemporaryDir> mDir;
    QStringList mImmutableFiles;
    QStringList mLockedDirs;
};

void TestFolderRemover::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
}

void TestFolderRemover::cleanup()
{
    for (const QString &file : std::as_const(mImmutableFiles))
        QProcess::execute(u"chattr"_s, {u"-i"_s, file});
    mImmutableFiles.clear();
    for (const QString &dir : std::as_const(mLockedDirs))
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    mLockedDirs.clear();
    mDir.reset();
}

void TestFolderRemover::removes_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("gone");

    // What is at the path when the removal starts, and whether the path is free afterwards.
    QTest::newRow("nothing") << u"nothing"_s << true;
    QTest::newRow("empty folder") << u"empty"_s << true;
    QTest::newRow("nested folder") << u"nested"_s << true;
    QTest::newRow("link to a user's folder") << u"link"_s << true;
    QTest::newRow("dangling link") << u"dangling"_s << true;
    QTest::newRow("plain file is left alone") << u"file"_s << false;
}

void TestFolderRemover::removes()
{
    QFETCH(QString, what);
    QFETCH(bool, gone);

    const QString path = mDir->path() + "/target"_L1;
    const QString userDir = mDir->path() + "/precious"_L1;
    QVERIFY(QDir().mkpath(userDir + "/sub"_L1));
    QVERIFY(writeFile(userDir + "/sub/data"_L1, "keep me"));
    if (what == "empty"_L1) {
        QVERIFY(QDir().mkpath(path));
    } else if (what == "nested"_L1) {
        QVERIFY(QDir().mkpath(path + "/a/b/c"_L1));
        QVERIFY(writeFile(path + "/a/b/c/file"_L1, "old"));
        // A link inside the tree goes as a link: what it points to stays.
        QVERIFY(QFile::link(userDir, path + "/a/inner-link"_L1));
    } else if (what == "link"_L1) {
        QVERIFY(QFile::link(userDir, path));
    } else if (what == "dangling"_L1) {
        QVERIFY(QFile::link(mDir->path() + "/gone"_L1, path));
    } else if (what == "file"_L1) {
        QVERIFY(writeFile(path, "not a folder"));
    }

    FolderRemover remover;
    QSignalSpy finished(&remover, &FolderRemover::finished);
    remover.remove(path);
    QCOMPARE(remover.path(), path);
    QVERIFY(remover.isRunning());
    QVERIFY(finished.wait());
    QVERIFY(!remover.isRunning());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);

    const QFileInfo info(path);
    QCOMPARE(!info.exists() && !info.isSymLink(), gone);
    QCOMPARE(readFile(userDir + "/sub/data"_L1), QByteArray("keep me"));
}

void TestFolderRemover::largeTreeWhileEventLoopTurns()
{
    const QString root = mDir->path() + "/large"_L1;
    QVERIFY(makeLargeTree(root, 50, 100));

    // Every tick that still finds the tree proves the event loop ran during the removal.
    int ticksDuringRemoval = 0;
    QTimer ticker;
    ticker.setInterval(1);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (QFileInfo::exists(root))
            ++ticksDuringRemoval;
    });

    FolderRemover remover;
    QSignalSpy finished(&remover, &FolderRemover::finished);
    ticker.start();
    remover.remove(root);
    QVERIFY(finished.wait(60000));
    ticker.stop();

    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(!QFileInfo::exists(root));
    QVERIFY2(ticksDuringRemoval > 0, "the event loop stood still while the tree was removed");
}

void TestFolderRemover::removalFailureIsReported()
{
    const QString path = mDir->path() + "/target"_L1;
    const QString locked = path + "/locked"_L1;
    QVERIFY(QDir().mkpath(locked));
    QVERIFY(writeFile(locked + "/keep"_L1, "old"));
    QVERIFY(writeFile(locked + "/probe"_L1, "old"));
    // A read-only folder stops an ordinary user; root needs the immutable attribute.
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    mLockedDirs.append(locked);
    for (const QString &name : {u"keep"_s, u"probe"_s}) {
        if (QProcess::execute(u"chattr"_s, {u"+i"_s, locked + u'/' + name}) == 0)
            mImmutableFiles.append(locked + u'/' + name);
    }
    if (QFile::remove(locked + "/probe"_L1))
        QSKIP("Files cannot be protected from deletion on this machine");

    FolderRemover remover;
    QSignalSpy finished(&remover, &FolderRemover::finished);
    remover.remove(path);
    QVERIFY(finished.wait());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QVERIFY(QFileInfo::exists(locked + "/keep"_L1));
}

void TestFolderRemover::secondRemoveWhileRunningIsIgnored()
{
    const QString first = mDir->path() + "/first"_L1;
    const QString second = mDir->path() + "/second"_L1;
    QVERIFY(makeLargeTree(first, 10, 50));
    QVERIFY(QDir().mkpath(second));

    FolderRemover remover;
    QSignalSpy finished(&remover, &FolderRemover::finished);
    remover.remove(first);
    remover.remove(second);
    QCOMPARE(remover.path(), first);
    QVERIFY(finished.wait());
    // Nothing more arrives for the ignored call.
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!QFileInfo::exists(first));
    QVERIFY(QFileInfo::exists(second));
}

void TestFolderRemover::destroyedWhileRunningFinishesTheRemoval()
{
    const QString root = mDir->path() + "/large"_L1;
    QVERIFY(makeLargeTree(root, 10, 50));

    auto remover = std::make_unique<FolderRemover>();
    remover->remove(root);
    remover.reset();
    // The destructor waited: the path is free for whatever the caller puts there next.
    QVERIFY(!QFileInfo::exists(root));
}

QTEST_GUILESS_MAIN(TestFolderRemover)
#include "tst_folderremover.moc"
