#include "messagebanner.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <memory>

using namespace Qt::StringLiterals;

using HostKit::MessageBanner;

namespace
{
QToolButton *buttonFor(const MessageBanner &banner, const QAction *action)
{
    const auto buttons = banner.findChildren<QToolButton *>();
    for (QToolButton *button : buttons) {
        if (button->defaultAction() == action && button->objectName() != u"closeButton")
            return button;
    }
    return nullptr;
}

// The actions of the banner's buttons in the order the layout shows them.
QList<QAction *> buttonOrder(const MessageBanner &banner)
{
    QList<QAction *> order;
    for (int i = 0; i < banner.layout()->count(); ++i) {
        auto *button = qobject_cast<QToolButton *>(banner.layout()->itemAt(i)->widget());
        if (button && button->defaultAction())
            order.append(button->defaultAction());
    }
    return order;
}

QToolButton *closeButton(const MessageBanner &banner)
{
    return banner.findChild<QToolButton *>(u"closeButton"_s);
}

QLabel *messageLabel(const MessageBanner &banner)
{
    return banner.findChild<QLabel *>(u"messageLabel"_s);
}
} // namespace

class TestMessageBanner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void actionsBecomeButtons();
    void buttonsFollowTheirAction();
    void removingActions_data();
    void removingActions();
    void closeButtonCloses();
    void closeButtonVisibility();
    void properties();
    void eachTypeLooksDifferent();

private:
    QTemporaryDir mHome;
};

void TestMessageBanner::initTestCase()
{
    QVERIFY(mHome.isValid());
    qputenv("HOME", QFile::encodeName(mHome.path()));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestMessageBanner::actionsBecomeButtons()
{
    MessageBanner banner(u"Something happened"_s);
    QAction first(u"First"_s);
    QAction second(u"Second"_s);
    QAction third(u"Third"_s);
    banner.addAction(&first);
    banner.addAction(&second);
    banner.insertAction(&second, &third);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));

    QCOMPARE(buttonOrder(banner), (QList<QAction *>{&first, &third, &second}));
    QVERIFY(banner.layout()->indexOf(buttonFor(banner, &second)) < banner.layout()->indexOf(closeButton(banner)));

    QSignalSpy firstSpy(&first, &QAction::triggered);
    QSignalSpy secondSpy(&second, &QAction::triggered);
    QToolButton *button = buttonFor(banner, &second);
    QVERIFY(button);
    QVERIFY(button->isVisible());
    QCOMPARE(button->text(), u"Second"_s);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(secondSpy.count(), 1);
    QCOMPARE(firstSpy.count(), 0);
}

void TestMessageBanner::buttonsFollowTheirAction()
{
    MessageBanner banner;
    QAction action(u"Install"_s);
    banner.addAction(&action);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QToolButton *button = buttonFor(banner, &action);
    QVERIFY(button);

    action.setText(u"Reinstall"_s);
    QCOMPARE(button->text(), u"Reinstall"_s);

    action.setEnabled(false);
    QVERIFY(!button->isEnabled());
    action.setEnabled(true);
    QVERIFY(button->isEnabled());

    action.setVisible(false);
    QVERIFY(!button->isVisible());
    action.setVisible(true);
    QVERIFY(button->isVisible());

    // An action hidden before it is added gets a hidden button.
    QAction hidden(u"Hidden"_s);
    hidden.setVisible(false);
    banner.addAction(&hidden);
    QVERIFY(buttonFor(banner, &hidden));
    QVERIFY(!buttonFor(banner, &hidden)->isVisible());
}

void TestMessageBanner::removingActions_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("removeAction") << u"remove"_s;
    QTest::newRow("action deleted") << u"delete"_s;
    QTest::newRow("removed by its own trigger") << u"trigger"_s;
    QTest::newRow("removed by its own trigger from the keyboard") << u"key"_s;
}

void TestMessageBanner::removingActions()
{
    QFETCH(QString, how);

    MessageBanner banner;
    QAction kept(u"Kept"_s);
    auto removed = std::make_unique<QAction>(u"Removed"_s);
    banner.addAction(&kept);
    banner.addAction(removed.get());
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));

    QPointer<QToolButton> button = buttonFor(banner, removed.get());
    QVERIFY(button);

    if (how == u"remove") {
        banner.removeAction(removed.get());
    } else if (how == u"delete") {
        removed.reset();
    } else {
        QSignalSpy triggered(removed.get(), &QAction::triggered);
        connect(removed.get(), &QAction::triggered, &banner, [&banner, &removed] {
            banner.removeAction(removed.get());
        });
        if (how == u"key")
            QTest::keyClick(button, Qt::Key_Space);
        else
            QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(triggered.count(), 1);
    }

    QVERIFY(!button);
    QCOMPARE(buttonOrder(banner), QList<QAction *>{&kept});
    QVERIFY(buttonFor(banner, &kept)->isVisible());
    if (removed)
        QVERIFY(!banner.actions().contains(removed.get()));
}

void TestMessageBanner::closeButtonCloses()
{
    QWidget window;
    auto *banner = new MessageBanner(u"Done"_s, &window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(banner->isVisible());

    QSignalSpy closed(banner, &MessageBanner::closed);
    QToolButton *button = closeButton(*banner);
    QVERIFY(button);
    QVERIFY(!button->icon().isNull());
    QTest::mouseClick(button, Qt::LeftButton);

    QCOMPARE(closed.count(), 1);
    QVERIFY(!banner->isVisible());
}

void TestMessageBanner::closeButtonVisibility()
{
    // Asked before the banner is ever shown, as a host setting it up would.
    MessageBanner banner;
    QVERIFY(banner.isCloseButtonVisible());
    banner.setCloseButtonVisible(false);
    QVERIFY(!banner.isCloseButtonVisible());

    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    QVERIFY(!closeButton(banner)->isVisible());
    QVERIFY(!banner.isCloseButtonVisible());

    banner.setCloseButtonVisible(true);
    QVERIFY(closeButton(banner)->isVisible());
    QVERIFY(banner.isCloseButtonVisible());
}

void TestMessageBanner::properties()
{
    MessageBanner banner(u"First text"_s);
    QCOMPARE(banner.text(), u"First text"_s);
    QCOMPARE(messageLabel(banner)->text(), u"First text"_s);

    banner.setText(u"Second text, much longer than the first one"_s);
    QCOMPARE(banner.text(), u"Second text, much longer than the first one"_s);
    QCOMPARE(messageLabel(banner)->text(), banner.text());

    QVERIFY(!banner.wordWrap());
    banner.setWordWrap(true);
    QVERIFY(banner.wordWrap());
    QVERIFY(messageLabel(banner)->wordWrap());
    banner.setWordWrap(false);
    QVERIFY(!messageLabel(banner)->wordWrap());

    QCOMPARE(banner.messageType(), MessageBanner::Information);
    banner.setMessageType(MessageBanner::Error);
    QCOMPARE(banner.messageType(), MessageBanner::Error);
}

void TestMessageBanner::eachTypeLooksDifferent()
{
    const QList<MessageBanner::MessageType> types{MessageBanner::Positive, MessageBanner::Information, MessageBanner::Warning,
                                                  MessageBanner::Error};
    MessageBanner banner(u"Look"_s);
    banner.resize(300, 60);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));

    QList<QRgb> backgrounds;
    QList<QImage> icons;
    for (const MessageBanner::MessageType type : types) {
        banner.setMessageType(type);
        backgrounds.append(banner.grab().toImage().pixel(1, 1));
        icons.append(banner.findChild<QLabel *>(u"iconLabel"_s)->pixmap().toImage());
    }

    const QRgb plain = QApplication::palette().color(QPalette::Window).rgb();
    for (qsizetype i = 0; i < types.size(); ++i) {
        QVERIFY2(backgrounds[i] != plain, qPrintable(QString::number(i)));
        QVERIFY(!icons[i].isNull());
        for (qsizetype j = i + 1; j < types.size(); ++j) {
            QVERIFY2(backgrounds[i] != backgrounds[j], qPrintable(u"%1 %2"_s.arg(i).arg(j)));
            QVERIFY2(icons[i] != icons[j], qPrintable(u"%1 %2"_s.arg(i).arg(j)));
        }
    }
}

QTEST_MAIN(TestMessageBanner)
#include "tst_messagebanner.moc"
