#include <whisperspeechtotextinstallmessagewidget.h>

#include <QAction>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace Qt::Literals::StringLiterals;

class tst_WhisperSpeechToTextInstallMessageWidget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void looksLikeAnErrorBanner();
    void installHandsBackTheStoredList_data();
    void installHandsBackTheStoredList();
    void buttonTriggersInstall();
};

void tst_WhisperSpeechToTextInstallMessageWidget::looksLikeAnErrorBanner()
{
    WhisperSpeechToTextInstallMessageWidget banner;
    QCOMPARE(banner.messageType(), HostKit::MessageBanner::Error);
    QVERIFY(banner.wordWrap());
    QVERIFY(banner.isCloseButtonVisible());
    // The host sets the text, usually the check's error text.
    QVERIFY(banner.text().isEmpty());

    auto action = banner.findChild<QAction *>(u"installAction"_s);
    QVERIFY(action);
    QCOMPARE(action->text(), u"Install"_s);
    QCOMPARE(banner.actions(), QList<QAction *>{action});
}

void tst_WhisperSpeechToTextInstallMessageWidget::installHandsBackTheStoredList_data()
{
    QTest::addColumn<QList<QStringList>>("lists");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("never set") << QList<QStringList>() << QStringList();
    QTest::newRow("set once") << QList<QStringList>{{u"faster-whisper"_s, u"numpy"_s}} << QStringList{u"faster-whisper"_s, u"numpy"_s};
    QTest::newRow("the second list wins") << QList<QStringList>{{u"faster-whisper"_s, u"numpy"_s}, {u"numpy"_s}} << QStringList{u"numpy"_s};
}

void tst_WhisperSpeechToTextInstallMessageWidget::installHandsBackTheStoredList()
{
    QFETCH(QList<QStringList>, lists);
    QFETCH(QStringList, expected);

    WhisperSpeechToTextInstallMessageWidget banner;
    for (const QStringList &list : std::as_const(lists))
        banner.setMissingPackages(list);
    QSignalSpy spy(&banner, &WhisperSpeechToTextInstallMessageWidget::installPackages);
    auto action = banner.findChild<QAction *>(u"installAction"_s);
    action->trigger();
    action->trigger();
    // The banner neither forgets the list nor closes: the user may ask again.
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toStringList(), expected);
    QCOMPARE(spy.at(1).at(0).toStringList(), expected);
}

void tst_WhisperSpeechToTextInstallMessageWidget::buttonTriggersInstall()
{
    WhisperSpeechToTextInstallMessageWidget banner;
    banner.setText(u"Whisper is not installed. Missing: numpy"_s);
    banner.setMissingPackages({u"numpy"_s});
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QSignalSpy spy(&banner, &WhisperSpeechToTextInstallMessageWidget::installPackages);

    QToolButton *button = nullptr;
    const QList<QToolButton *> buttons = banner.findChildren<QToolButton *>();
    for (QToolButton *candidate : buttons) {
        if (candidate->defaultAction() && candidate->defaultAction()->objectName() == "installAction"_L1)
            button = candidate;
    }
    QVERIFY(button);
    QVERIFY(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toStringList(), QStringList{u"numpy"_s});
    QVERIFY(banner.isVisible());
}

QTEST_MAIN(tst_WhisperSpeechToTextInstallMessageWidget)
#include "tst_whisperspeechtotextinstallmessagewidget.moc"
