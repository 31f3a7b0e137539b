#include <texttospeechkokoroinstallmessagewidget.h>

#include <QAction>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::TextToSpeechKokoroInstallMessageWidget;

class tst_TextToSpeechKokoroInstallMessageWidget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void looksLikeAnErrorBanner();
    void installHandsBackTheStoredList_data();
    void installHandsBackTheStoredList();
    void buttonTriggersInstall();
};

void tst_TextToSpeechKokoroInstallMessageWidget::looksLikeAnErrorBanner()
{
    TextToSpeechKokoroInstallMessageWidget banner;
    QCOMPARE(banner.messageType(), HostKit::MessageBanner::Error);
    QVERIFY(banner.wordWrap());
    QVERIFY(banner.isCloseButtonVisible());
    QVERIFY(banner.text().isEmpty());
    QCOMPARE(banner.actions().size(), 1);
    QCOMPARE(banner.actions().constFirst()->text(), u"Install"_s);
    QCOMPARE(banner.actions().constFirst()->parent(), &banner);
    // Named like the dictation banner's action, so a host finds either the same way.
    QCOMPARE(banner.actions().constFirst()->objectName(), u"installAction"_s);
}

void tst_TextToSpeechKokoroInstallMessageWidget::installHandsBackTheStoredList_data()
{
    QTest::addColumn<QList<QStringList>>("lists");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("never set") << QList<QStringList>() << QStringList();
    QTest::newRow("the second list wins") << QList<QStringList>{{u"kokoro"_s, u"torch"_s}, {u"torch"_s}} << QStringList{u"torch"_s};
    QTest::newRow("espeak-ng alone is passed on") << QList<QStringList>{{u"espeak-ng"_s}} << QStringList{u"espeak-ng"_s};
}

void tst_TextToSpeechKokoroInstallMessageWidget::installHandsBackTheStoredList()
{
    QFETCH(QList<QStringList>, lists);
    QFETCH(QStringList, expected);

    TextToSpeechKokoroInstallMessageWidget banner;
    for (const QStringList &list : std::as_const(lists))
        banner.setMissingPackages(list);
    QSignalSpy spy(&banner, &TextToSpeechKokoroInstallMessageWidget::installPackages);
    banner.actions().constFirst()->trigger();
    banner.actions().constFirst()->trigger();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toStringList(), expected);
    QCOMPARE(spy.at(1).at(0).toStringList(), expected);
}

void tst_TextToSpeechKokoroInstallMessageWidget::buttonTriggersInstall()
{
    TextToSpeechKokoroInstallMessageWidget banner;
    banner.setText(u"Kokoro is not installed. Missing: kokoro, torch"_s);
    banner.setMissingPackages({u"kokoro"_s, u"torch"_s});
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QSignalSpy spy(&banner, &TextToSpeechKokoroInstallMessageWidget::installPackages);

    QToolButton *button = nullptr;
    const QList<QToolButton *> buttons = banner.findChildren<QToolButton *>();
    for (QToolButton *candidate : buttons) {
        if (candidate->defaultAction() == banner.actions().constFirst())
            button = candidate;
    }
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toStringList(), QStringList({u"kokoro"_s, u"torch"_s}));
    QVERIFY(banner.isVisible());
}

QTEST_MAIN(tst_TextToSpeechKokoroInstallMessageWidget)
#include "tst_texttospeechkokoroinstallmessagewidget.moc"
