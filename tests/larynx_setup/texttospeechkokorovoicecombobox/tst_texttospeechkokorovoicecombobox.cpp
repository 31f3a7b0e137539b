#include "screenshots.h"

#include <texttospeechkokoroutils.h>
#include <texttospeechkokorovoicecombobox.h>

#include <QAbstractItemView>
#include <QDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

class TextToSpeechKokoroVoiceComboBoxTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void model();
    void initialDisplay();
    void clickTogglesAndKeepsPopupOpen();
    void clickSeveralInARow();
    void keyTogglesCurrentEntry_data();
    void keyTogglesCurrentEntry();
    void otherKeysMoveAsUsual();
    void clickInFieldOpensPopup();
    void displayIsElidedAndFollowsResize();
    void currentIndexChangeKeepsDisplay();
    void setSelectedVoices_data();
    void setSelectedVoices();
    void onlyCheckedCounts();
    void otherRolesDoNotEmit();
    void screenshot();
};

namespace
{
int rowOf(const QComboBox &box, const QString &identifier)
{
    return box.findData(identifier, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

bool popupVisible(QComboBox &box)
{
    return box.view()->window()->isVisible();
}

// Opens the list of a shown chooser and returns its view.
QAbstractItemView *openPopup(QComboBox &box)
{
    box.showPopup();
    if (!QTest::qWaitForWindowExposed(box.view()->window()))
        return nullptr;
    return box.view();
}

void clickEntry(QAbstractItemView *view, int row)
{
    const QModelIndex index = view->model()->index(row, 0);
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

// The field is elided to the line edit's width, which a hidden widget gets only when shown.
struct ShownChooser {
    explicit ShownChooser(int width = 600)
    {
        box.resize(width, box.sizeHint().height());
        box.show();
        ok = QTest::qWaitForWindowExposed(&box);
    }
    TextToSpeechKokoroVoiceComboBox box;
    bool ok = false;
};
} // namespace

void TextToSpeechKokoroVoiceComboBoxTest::model()
{
    const TextToSpeechKokoroVoiceComboBox box;
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices =
        TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::VoiceFilter::Default);
    QCOMPARE(voices.size(), 41);
    QCOMPARE(box.count(), voices.size());

    auto model = qobject_cast<QStandardItemModel *>(box.model());
    QVERIFY(model);
    QCOMPARE(model->parent(), &box);
    for (int row = 0; row < voices.size(); ++row) {
        const QModelIndex index = model->index(row, 0);
        QCOMPARE(index.data(Qt::UserRole).toString(), voices.at(row).identifier);
        QVERIFY(!index.data(Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(model->flags(index) & Qt::ItemIsUserCheckable);
        QCOMPARE(index.data(Qt::CheckStateRole), QVariant(int(Qt::Unchecked)));
    }
    QCOMPARE(model->rowCount(), 41);
    QCOMPARE(model->columnCount(), 1);

    struct Expected {
        QString identifier;
        QString text;
        QString toolTip;
    };
    const QList<Expected> expected{
        {u"af_heart"_s, u"Heart (Female)"_s, u"Heart (English (United States), Female)"_s},
        {u"am_adam"_s, u"Adam (Male)"_s, u"Adam (English (United States), Male)"_s},
        {u"bf_emma"_s, u"Emma (Female)"_s, u"Emma (English (United Kingdom), Female)"_s},
        {u"ef_dora"_s, u"Dora (Female)"_s, u"Dora (Spanish (Spain), Female)"_s},
        {u"pf_dora"_s, u"Dora (Female)"_s, u"Dora (Portuguese (Brazil), Female)"_s},
        {u"pm_santa"_s, u"Santa (Male)"_s, u"Santa (Portuguese (Brazil), Male)"_s},
    };
    for (const Expected &entry : expected) {
        const int row = rowOf(box, entry.identifier);
        QVERIFY2(row >= 0, qPrintable(entry.identifier));
        QCOMPARE(box.itemText(row), entry.text);
        QCOMPARE(box.itemData(row, Qt::ToolTipRole).toString(), entry.toolTip);
    }
    QCOMPARE(rowOf(box, u"jf_alpha"_s), -1);
    QCOMPARE(rowOf(box, u"zm_yunyang"_s), -1);
    // The icon keeps the chooser's device pixel ratio, so it is drawn sharp.
    const QIcon icon = box.itemIcon(0);
    QCOMPARE(icon.availableSizes().constFirst().width(), int(32 * std::max(box.devicePixelRatio(), 1.0) + 0.5));
}

void TextToSpeechKokoroVoiceComboBoxTest::initialDisplay()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    const TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QVERIFY(box.isEditable());
    QVERIFY(box.lineEdit()->isReadOnly());
    QCOMPARE(box.insertPolicy(), QComboBox::NoInsert);
    QCOMPARE(box.lineEdit()->text(), u"No voice selected"_s);
    QCOMPARE(box.toolTip(), QString());
    QCOMPARE(box.selectedVoices(), QStringList());
}

void TextToSpeechKokoroVoiceComboBoxTest::clickTogglesAndKeepsPopupOpen()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    const int currentIndex = box.currentIndex();
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);

    clickEntry(view, rowOf(box, u"af_heart"_s));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toStringList(), QStringList{u"af_heart"_s});
    QCOMPARE(box.selectedVoices(), QStringList{u"af_heart"_s});
    QCOMPARE(box.itemData(rowOf(box, u"af_heart"_s), Qt::CheckStateRole), QVariant(int(Qt::Checked)));
    QCOMPARE(box.lineEdit()->text(), u"Heart (Female)"_s);
    QCOMPARE(box.toolTip(), u"Heart (Female)"_s);
    QVERIFY(popupVisible(box));
    QCOMPARE(box.currentIndex(), currentIndex);

    clickEntry(view, rowOf(box, u"af_heart"_s));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toStringList(), QStringList());
    QCOMPARE(box.lineEdit()->text(), u"No voice selected"_s);
    QCOMPARE(box.toolTip(), QString());
    QVERIFY(popupVisible(box));

    // Escape still closes the list, the ticks stay.
    clickEntry(view, rowOf(box, u"am_adam"_s));
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY(!popupVisible(box));
    QCOMPARE(box.selectedVoices(), QStringList{u"am_adam"_s});
    QCOMPARE(box.lineEdit()->text(), u"Adam (Male)"_s);
}

void TextToSpeechKokoroVoiceComboBoxTest::clickSeveralInARow()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);

    for (const QString &identifier : {u"af_bella"_s, u"af_heart"_s, u"bm_george"_s, u"pm_santa"_s, u"bm_george"_s})
        clickEntry(view, rowOf(box, identifier));
    QVERIFY(popupVisible(box));
    QCOMPARE(spy.count(), 5);
    // Every signal carries the whole ticked set, in list order.
    QCOMPARE(spy.at(1).at(0).toStringList(), (QStringList{u"af_heart"_s, u"af_bella"_s}));
    QCOMPARE(spy.at(3).at(0).toStringList(), (QStringList{u"af_heart"_s, u"af_bella"_s, u"bm_george"_s, u"pm_santa"_s}));
    const QStringList expected{u"af_heart"_s, u"af_bella"_s, u"pm_santa"_s};
    QCOMPARE(spy.at(4).at(0).toStringList(), expected);
    QCOMPARE(box.selectedVoices(), expected);
    QCOMPARE(box.toolTip(), u"Heart (Female), Bella (Female), Santa (Male)"_s);
}

void TextToSpeechKokoroVoiceComboBoxTest::keyTogglesCurrentEntry_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("space") << int(Qt::Key_Space);
    QTest::newRow("select") << int(Qt::Key_Select);
}

void TextToSpeechKokoroVoiceComboBoxTest::keyTogglesCurrentEntry()
{
    QFETCH(int, key);

    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);

    view->setCurrentIndex(view->model()->index(rowOf(box, u"ff_siwis"_s), 0));
    QTest::keyClick(view, Qt::Key(key));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(box.selectedVoices(), QStringList{u"ff_siwis"_s});
    QVERIFY(popupVisible(box));

    QTest::keyClick(view, Qt::Key(key));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(box.selectedVoices(), QStringList());
    QVERIFY(popupVisible(box));
}

void TextToSpeechKokoroVoiceComboBoxTest::otherKeysMoveAsUsual()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);

    view->setCurrentIndex(view->model()->index(0, 0));
    QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(view->currentIndex().row(), 1);
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(box.selectedVoices(), QStringList{box.itemData(1).toString()});
    QCOMPARE(spy.count(), 1);
}

void TextToSpeechKokoroVoiceComboBoxTest::clickInFieldOpensPopup()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QVERIFY(!popupVisible(box));
    QTest::mouseClick(box.lineEdit(), Qt::LeftButton, {}, box.lineEdit()->rect().center());
    QTRY_VERIFY(popupVisible(box));
    QCOMPARE(box.lineEdit()->text(), u"No voice selected"_s);
    QVERIFY(!box.lineEdit()->hasSelectedText());
}

void TextToSpeechKokoroVoiceComboBoxTest::displayIsElidedAndFollowsResize()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    box.setSelectedVoices({u"af_heart"_s, u"af_bella"_s});
    const QString full = u"Heart (Female), Bella (Female)"_s;
    QCOMPARE(box.lineEdit()->text(), full);
    QCOMPARE(box.toolTip(), full);

    box.resize(110, box.height());
    QTRY_VERIFY(box.lineEdit()->text() != full);
    const QString narrow = box.lineEdit()->text();
    QVERIFY2(narrow.endsWith(QChar(0x2026)), qPrintable(narrow));
    QVERIFY(full.startsWith(narrow.chopped(1)));
    QCOMPARE(narrow, QFontMetrics(box.lineEdit()->font()).elidedText(full, Qt::ElideRight, box.lineEdit()->width()));
    QCOMPARE(box.toolTip(), full);

    box.resize(150, box.height());
    QTRY_VERIFY(box.lineEdit()->text().size() > narrow.size());
    QCOMPARE(box.lineEdit()->text(), QFontMetrics(box.lineEdit()->font()).elidedText(full, Qt::ElideRight, box.lineEdit()->width()));

    box.resize(600, box.height());
    QTRY_COMPARE(box.lineEdit()->text(), full);
}

void TextToSpeechKokoroVoiceComboBoxTest::currentIndexChangeKeepsDisplay()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    box.setCurrentIndex(5);
    QCOMPARE(box.lineEdit()->text(), u"No voice selected"_s);
    box.setSelectedVoices({u"am_adam"_s});
    box.setCurrentIndex(7);
    QCOMPARE(box.lineEdit()->text(), u"Adam (Male)"_s);
    QCOMPARE(spy.count(), 1);
}

void TextToSpeechKokoroVoiceComboBoxTest::setSelectedVoices_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("identifiers");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two, reported in list order")
        << QStringList() << QStringList{u"af_bella"_s, u"af_heart"_s} << QStringList{u"af_heart"_s, u"af_bella"_s};
    QTest::newRow("unticks the others") << QStringList{u"am_adam"_s, u"ef_dora"_s} << QStringList{u"ef_dora"_s, u"pf_dora"_s}
                                        << QStringList{u"ef_dora"_s, u"pf_dora"_s};
    QTest::newRow("case-sensitive, unknown ignored")
        << QStringList() << QStringList{u"AF_HEART"_s, u"af_nobody"_s, u"jf_alpha"_s, u"am_echo"_s} << QStringList{u"am_echo"_s};
    QTest::newRow("empty clears") << QStringList{u"af_heart"_s} << QStringList() << QStringList();
    QTest::newRow("same set again") << QStringList{u"af_heart"_s} << QStringList{u"af_heart"_s} << QStringList{u"af_heart"_s};
}

void TextToSpeechKokoroVoiceComboBoxTest::setSelectedVoices()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, identifiers);
    QFETCH(QStringList, expected);

    ShownChooser shown(1000);
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    box.setSelectedVoices(before);
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    box.setSelectedVoices(identifiers);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toStringList(), expected);
    QCOMPARE(box.selectedVoices(), expected);
    QStringList ticked;
    QStringList texts;
    for (int row = 0; row < box.count(); ++row) {
        if (box.itemData(row, Qt::CheckStateRole).toInt() == Qt::Checked) {
            ticked.append(box.itemData(row).toString());
            texts.append(box.itemText(row));
        }
    }
    QCOMPARE(ticked, expected);
    const QString joined = texts.join(u", "_s);
    QCOMPARE(box.lineEdit()->text(), expected.isEmpty() ? u"No voice selected"_s : joined);
    QCOMPARE(box.toolTip(), joined);
}

void TextToSpeechKokoroVoiceComboBoxTest::onlyCheckedCounts()
{
    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    box.model()->setData(box.model()->index(2, 0), Qt::PartiallyChecked, Qt::CheckStateRole);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toStringList(), QStringList());
    QCOMPARE(box.selectedVoices(), QStringList());
    QCOMPARE(box.lineEdit()->text(), u"No voice selected"_s);

    // A click turns a partly ticked entry into a ticked one.
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);
    clickEntry(view, 2);
    QCOMPARE(box.selectedVoices(), QStringList{box.itemData(2).toString()});
}

void TextToSpeechKokoroVoiceComboBoxTest::otherRolesDoNotEmit()
{
    TextToSpeechKokoroVoiceComboBox box;
    QSignalSpy spy(&box, &TextToSpeechKokoroVoiceComboBox::selectedVoicesChanged);
    box.setItemData(3, u"another tip"_s, Qt::ToolTipRole);
    box.setItemText(4, u"Renamed"_s);
    QCOMPARE(spy.count(), 0);
    // A change that names no role may have touched the check state.
    Q_EMIT box.model()->dataChanged(box.model()->index(0, 0), box.model()->index(0, 0));
    QCOMPARE(spy.count(), 1);
}

void TextToSpeechKokoroVoiceComboBoxTest::screenshot()
{
    const QString directory = Screenshots::folder();
    if (directory.isEmpty())
        QSKIP("EARLOBE_SCREENSHOT_DIR is not set");
    QVERIFY(QDir().mkpath(directory));

    ShownChooser shown;
    QVERIFY(shown.ok);
    TextToSpeechKokoroVoiceComboBox &box = shown.box;
    box.resize(360, box.height());
    QAbstractItemView *view = openPopup(box);
    QVERIFY(view);
    for (const QString &identifier : {u"af_heart"_s, u"af_bella"_s, u"am_adam"_s})
        clickEntry(view, rowOf(box, identifier));
    view->scrollToTop();
    QVERIFY(popupVisible(box));
    QVERIFY(view->window()->grab().save(directory + u"/voicecombobox-popup.png"_s));
    QVERIFY(box.grab().save(directory + u"/voicecombobox.png"_s));
}

QTEST_MAIN(TextToSpeechKokoroVoiceComboBoxTest)
#include "tst_texttospeechkokorovoicecombobox.moc"
