#include "fakehelperenvironment.h"

#include <whisperspeechtotextcachedmodelsjob.h>
#include <whisperspeechtotextmodelcombobox.h>
#include <whisperspeechtotextmodelsjob.h>

#include <QFont>
#include <QLocale>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

using ModelInfo = WhisperSpeechToTextModelsJob::ModelInfo;
using ModelInfos = WhisperSpeechToTextModelsJob::ModelInfos;

namespace
{
constexpr int JobTimeoutMs = 10000;

ModelInfo model(const QString &identifier, const QString &name, int sizeMib = 0, bool multilingual = false, bool isDefault = false)
{
    return {identifier, name, sizeMib, multilingual, isDefault};
}

const ModelInfos catalogue{model(u"tiny"_s, u"Tiny"_s, 72, true), model(u"base.en"_s, u"Base English"_s, 142),
                           model(u"small"_s, u"Small"_s, 466, true, true), model(u"large-v3"_s, u"Large"_s, 3094, true)};
const ModelInfos catalogueWithoutDefault{model(u"tiny"_s, u"Tiny"_s, 72, true), model(u"base.en"_s, u"Base English"_s, 142)};

// The same catalogue as the helper prints it.
const QByteArray catalogueJson = R"({"models":[{"id":"tiny","name":"Tiny","sizeMib":72,"multilingual":true},)"
                                 R"({"id":"base.en","name":"Base English","sizeMib":142},)"
                                 R"({"id":"small","name":"Small","sizeMib":466,"multilingual":true,"default":true},)"
                                 R"({"id":"large-v3","name":"Large","sizeMib":3094,"multilingual":true}]})";

QByteArray rawAction(const QByteArray &text)
{
    QByteArray escaped = text;
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return R"({"raw":")" + escaped + R"("})";
}

QByteArray cachedLines(const QStringList &models)
{
    QByteArray lines;
    for (const QString &identifier : models)
        lines += R"({"type":"cached","model":")" + identifier.toUtf8() + "\"}\n";
    return lines;
}

bool isBold(const QComboBox &box, int index)
{
    return box.itemData(index, Qt::FontRole).isValid();
}

// The items as "identifier" for plain ones and "*identifier" for bold ones, comma separated,
// with the current model after a bar; fonts that are set must be the box's font in bold.
QString describe(const WhisperSpeechToTextModelComboBox &box)
{
    QStringList items;
    for (int i = 0; i < box.count(); ++i) {
        const QVariant font = box.itemData(i, Qt::FontRole);
        QString item = box.itemData(i, Qt::UserRole).toString();
        if (font.isValid()) {
            QFont expected = box.font();
            expected.setWeight(QFont::Bold);
            item.prepend(font.value<QFont>() == expected ? u'*' : u'?');
        }
        items.append(item);
    }
    return items.join(u',') + u'|' + box.currentModel();
}

// Every signal of a chooser, in order, each with the chooser's items at that moment.
class ChooserLog : public QObject
{
public:
    explicit ChooserLog(WhisperSpeechToTextModelComboBox *box)
    {
        connect(box, &WhisperSpeechToTextModelComboBox::currentModelChanged, this, [this](const QString &identifier) {
            mEntries.append("currentModelChanged:"_L1 + identifier);
        });
        connect(box, &WhisperSpeechToTextModelComboBox::modelsLoaded, this, [this, box] {
            mEntries.append("modelsLoaded:"_L1 + describe(*box));
        });
        connect(box, &WhisperSpeechToTextModelComboBox::modelsFailed, this, [this, box] {
            mEntries.append("modelsFailed:"_L1 + describe(*box));
        });
        connect(box, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded, this, [this, box] {
            mEntries.append("cachedModelsLoaded:"_L1 + describe(*box));
        });
    }
    QStringList mEntries;
};
} // namespace

class tst_WhisperSpeechToTextModelComboBox : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void items_data();
    void items();
    void boldFollowsDownloadedState();
    void downloadedIsCaseSensitive();

    void setCurrentModel_data();
    void setCurrentModel();
    void wishOnEmptyChooser();
    void rebuildEmitsNothing();
    void userChoiceEmits();

    void fill_data();
    void fill();
    void refreshCachedModels_data();
    void refreshCachedModels();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextModelComboBox::initTestCase()
{
    // The size texts depend on the default locale.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_WhisperSpeechToTextModelComboBox::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    // A warning a test does not expect is a fault; expected ones are named with ignoreMessage.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
}

void tst_WhisperSpeechToTextModelComboBox::cleanup()
{
    mEnvironment.reset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_WhisperSpeechToTextModelComboBox::items_data()
{
    QTest::addColumn<ModelInfo>("info");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("plainText");
    QTest::addColumn<QString>("downloadedText");
    QTest::addColumn<QString>("toolTip");

    const QLocale english(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("multilingual default, under a GiB")
        << model(u"small"_s, u"Small"_s, 466, true, true) << english << u"Small (466 MiB)"_s << u"Small (466 MiB, downloaded)"_s
        << u"Transcribes every language whisper knows.\nTakes 466 MiB on disk, downloaded the first time it is used.\n"
           "Used when no model was chosen."_s;
    QTest::newRow("english only, just under a GiB, group separator")
        << model(u"medium.en"_s, u"Medium (english)"_s, 1023) << english << u"Medium (english) (1,023 MiB)"_s
        << u"Medium (english) (1,023 MiB, downloaded)"_s
        << u"Transcribes english only, but about twice as fast.\nTakes 1,023 MiB on disk, downloaded the first time it is used."_s;
    QTest::newRow("exactly one GiB")
        << model(u"medium"_s, u"Medium"_s, 1024, true) << english << u"Medium (1.0 GiB)"_s << u"Medium (1.0 GiB, downloaded)"_s
        << u"Transcribes every language whisper knows.\nTakes 1.0 GiB on disk, downloaded the first time it is used."_s;
    // Computed in 64 bits: in 32 bits, 3 GiB and more would overflow.
    QTest::newRow("several GiB")
        << model(u"large-v3"_s, u"Large"_s, 3094, true) << english << u"Large (3.0 GiB)"_s << u"Large (3.0 GiB, downloaded)"_s
        << u"Transcribes every language whisper knows.\nTakes 3.0 GiB on disk, downloaded the first time it is used."_s;
    QTest::newRow("german locale")
        << model(u"turbo"_s, u"Turbo"_s, 1536, true, true) << QLocale(QLocale::German, QLocale::Germany) << u"Turbo (1,5 GiB)"_s
        << u"Turbo (1,5 GiB, downloaded)"_s
        << u"Transcribes every language whisper knows.\nTakes 1,5 GiB on disk, downloaded the first time it is used.\nUsed when no model was chosen."_s;
}

// Each model as an item, whether the downloaded models are known before or after the catalogue.
void tst_WhisperSpeechToTextModelComboBox::items()
{
    QFETCH(ModelInfo, info);
    QFETCH(QLocale, locale);
    QFETCH(QString, plainText);
    QFETCH(QString, downloadedText);
    QFETCH(QString, toolTip);

    QLocale::setDefault(locale);
    const ModelInfos models{model(u"other"_s, u"Other"_s, 10), info};
    QFont font(u"Sans"_s, 17);
    font.setItalic(true);

    for (const bool listingFirst : {false, true}) {
        WhisperSpeechToTextModelComboBox box;
        box.setFont(font);
        if (listingFirst)
            box.setCachedModels({info.identifier});
        box.setModels(models);
        if (!listingFirst) {
            QCOMPARE(box.itemText(1), plainText);
            QVERIFY(!isBold(box, 1));
            box.setCachedModels({info.identifier});
        }
        QCOMPARE(box.count(), 2);
        QCOMPARE(box.itemData(1, Qt::UserRole), QVariant(info.identifier));
        QCOMPARE(box.itemText(1), downloadedText);
        QCOMPARE(box.itemData(1, Qt::ToolTipRole).toString(), toolTip);
        QFont bold = font;
        bold.setWeight(QFont::Bold);
        QCOMPARE(box.itemData(1, Qt::FontRole).value<QFont>(), bold);
        QVERIFY(box.itemIcon(1).isNull());
        QCOMPARE(box.itemText(0), u"Other (10 MiB)"_s);
        QVERIFY(!isBold(box, 0));
    }
}

void tst_WhisperSpeechToTextModelComboBox::boldFollowsDownloadedState()
{
    WhisperSpeechToTextModelComboBox box;
    QSignalSpy changed(&box, &WhisperSpeechToTextModelComboBox::currentModelChanged);
    box.setCurrentModel(u"tiny"_s);
    box.setCachedModels({u"tiny"_s, u"large-v3"_s});
    box.setModels(catalogue);
    QCOMPARE(describe(box), u"*tiny,base.en,small,*large-v3|tiny"_s);
    const QString tinyToolTip = box.itemData(0, Qt::ToolTipRole).toString();

    // The model left the disk: the mark goes, everything else stays.
    box.setCachedModels({u"large-v3"_s, u"small"_s});
    QCOMPARE(describe(box), u"tiny,base.en,*small,*large-v3|tiny"_s);
    QCOMPARE(box.itemText(0), u"Tiny (72 MiB)"_s);
    QCOMPARE(box.itemText(2), u"Small (466 MiB, downloaded)"_s);
    QCOMPARE(box.itemData(0, Qt::ToolTipRole).toString(), tinyToolTip);
    QCOMPARE(box.cachedModels(), (QStringList{u"large-v3"_s, u"small"_s}));
    QVERIFY(box.isModelDownloaded(u"small"_s));
    QVERIFY(!box.isModelDownloaded(u"tiny"_s));

    box.setCachedModels({});
    QCOMPARE(describe(box), u"tiny,base.en,small,large-v3|tiny"_s);
    QVERIFY(box.cachedModelsKnown());
    QCOMPARE(changed.count(), 0);
}

void tst_WhisperSpeechToTextModelComboBox::downloadedIsCaseSensitive()
{
    WhisperSpeechToTextModelComboBox box;
    QVERIFY(!box.cachedModelsKnown());
    box.setModels(catalogue);
    box.setCachedModels({u"Small"_s, u"TINY"_s});
    QVERIFY(box.cachedModelsKnown());
    QVERIFY(box.isModelDownloaded(u"Small"_s));
    QVERIFY(!box.isModelDownloaded(u"small"_s));
    QVERIFY(!box.isModelDownloaded(u"tiny"_s));
    QVERIFY(!box.isModelDownloaded(QString()));
    QCOMPARE(describe(box), u"tiny,base.en,small,large-v3|small"_s);
    QCOMPARE(box.itemText(2), u"Small (466 MiB)"_s);
}

void tst_WhisperSpeechToTextModelComboBox::setCurrentModel_data()
{
    QTest::addColumn<ModelInfos>("models");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<int>("index");

    QTest::newRow("wanted model") << catalogue << u"base.en"_s << 1;
    QTest::newRow("first item wanted") << catalogue << u"tiny"_s << 0;
    QTest::newRow("last item wanted") << catalogue << u"large-v3"_s << 3;
    QTest::newRow("unknown gives the default") << catalogue << u"medium"_s << 2;
    QTest::newRow("other case gives the default") << catalogue << u"TINY"_s << 2;
    QTest::newRow("nothing wanted gives the default") << catalogue << QString() << 2;
    QTest::newRow("unknown, no default: first item") << catalogueWithoutDefault << u"medium"_s << 0;
    QTest::newRow("wanted, no default") << catalogueWithoutDefault << u"base.en"_s << 1;
    QTest::newRow("duplicate identifiers: the first")
        << ModelInfos{model(u"a"_s, u"A"_s), model(u"b"_s, u"B"_s), model(u"b"_s, u"B again"_s)} << u"b"_s << 1;
}

// The same fallbacks apply on the filled chooser and when the catalogue arrives after the wish.
void tst_WhisperSpeechToTextModelComboBox::setCurrentModel()
{
    QFETCH(ModelInfos, models);
    QFETCH(QString, wanted);
    QFETCH(int, index);

    WhisperSpeechToTextModelComboBox box;
    box.setModels(models);
    const int last = box.count() - 1;
    box.setCurrentIndex(last);
    QSignalSpy changed(&box, &WhisperSpeechToTextModelComboBox::currentModelChanged);
    box.setCurrentModel(wanted);
    QCOMPARE(box.currentIndex(), index);
    QCOMPARE(box.currentModel(), models.at(index).identifier);
    // Selecting on a filled chooser is a change like any other, announced when the item moves.
    QCOMPARE(changed.count(), index == last ? 0 : 1);
    if (!changed.isEmpty())
        QCOMPARE(changed.constFirst().constFirst().toString(), models.at(index).identifier);

    WhisperSpeechToTextModelComboBox later;
    QSignalSpy laterChanged(&later, &WhisperSpeechToTextModelComboBox::currentModelChanged);
    later.setCurrentModel(wanted);
    later.setModels(models);
    QCOMPARE(later.currentIndex(), index);
    QCOMPARE(laterChanged.count(), 0);
}

void tst_WhisperSpeechToTextModelComboBox::wishOnEmptyChooser()
{
    WhisperSpeechToTextModelComboBox box;
    QSignalSpy changed(&box, &WhisperSpeechToTextModelComboBox::currentModelChanged);
    QCOMPARE(box.currentModel(), QString());
    box.setCurrentModel(u"base.en"_s);
    QCOMPARE(box.count(), 0);
    QCOMPARE(box.currentIndex(), -1);
    QCOMPARE(box.currentModel(), QString());

    // The last wish counts, and it survives an empty catalogue.
    box.setCurrentModel(u"tiny"_s);
    box.setModels({});
    QCOMPARE(box.currentModel(), QString());
    box.setModels(catalogue);
    QCOMPARE(box.currentModel(), u"tiny"_s);
    QCOMPARE(changed.count(), 0);
}

void tst_WhisperSpeechToTextModelComboBox::rebuildEmitsNothing()
{
    WhisperSpeechToTextModelComboBox box;
    QSignalSpy changed(&box, &WhisperSpeechToTextModelComboBox::currentModelChanged);
    box.setCurrentModel(u"large-v3"_s);
    box.setModels(catalogue);
    QCOMPARE(box.currentModel(), u"large-v3"_s);

    // The wanted model is gone from the new catalogue: the selection moves to the default.
    const ModelInfos smaller{model(u"tiny"_s, u"Tiny"_s, 72, true), model(u"small"_s, u"Small"_s, 466, true, true)};
    box.setModels(smaller);
    QCOMPARE(describe(box), u"tiny,small|small"_s);
    QCOMPARE(box.itemText(1), u"Small (466 MiB)"_s);

    // The new catalogue has no default: the first item.
    box.setModels({model(u"base.en"_s, u"Base"_s, 142), model(u"medium"_s, u"Medium"_s, 1463)});
    QCOMPARE(box.currentModel(), u"base.en"_s);

    box.setModels({});
    QCOMPARE(box.count(), 0);
    QCOMPARE(box.currentModel(), QString());

    box.setModels(catalogue);
    QCOMPARE(box.currentModel(), u"large-v3"_s);
    QCOMPARE(changed.count(), 0);

    // The guard ends with the rebuild.
    box.setCurrentIndex(0);
    QCOMPARE(changed.count(), 1);
}

void tst_WhisperSpeechToTextModelComboBox::userChoiceEmits()
{
    WhisperSpeechToTextModelComboBox box;
    box.setCurrentModel(u"tiny"_s);
    box.setModels(catalogue);
    QSignalSpy changed(&box, &WhisperSpeechToTextModelComboBox::currentModelChanged);

    box.setCurrentIndex(2);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), u"small"_s);

    QTest::keyClick(&box, Qt::Key_Down);
    QCOMPARE(box.currentModel(), u"large-v3"_s);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(1).at(0).toString(), u"large-v3"_s);

    QTest::keyClick(&box, Qt::Key_Home);
    QCOMPARE(changed.count(), 3);
    QCOMPARE(changed.at(2).at(0).toString(), u"tiny"_s);

    // Marking downloaded models is no change of choice.
    box.setCachedModels({u"tiny"_s});
    QCOMPARE(changed.count(), 3);
}

void tst_WhisperSpeechToTextModelComboBox::fill_data()
{
    QTest::addColumn<QByteArray>("modelsActions");
    QTest::addColumn<QByteArray>("downloadActions");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("cachedModels");
    QTest::addColumn<QString>("warning");

    const QByteArray catalogueAction = rawAction(catalogueJson);
    QTest::newRow("listing answers first") << R"({"sleep":500},)" + catalogueAction << rawAction(cachedLines({u"small"_s, u"tiny"_s}))
                                           << QStringList{u"cachedModelsLoaded:|"_s,
                                                          u"modelsLoaded:*tiny,base.en,*small,large-v3|base.en"_s}
                                           << QStringList{u"small"_s, u"tiny"_s} << QString();
    QTest::newRow("catalogue answers first") << catalogueAction << R"({"sleep":500},)" + rawAction(cachedLines({u"large-v3"_s}))
                                             << QStringList{u"modelsLoaded:tiny,base.en,small,large-v3|base.en"_s,
                                                            u"cachedModelsLoaded:tiny,base.en,small,*large-v3|base.en"_s}
                                             << QStringList{u"large-v3"_s} << QString();
    QTest::newRow("same model listed twice") << catalogueAction
                                             << R"({"sleep":500},)" + rawAction(cachedLines({u"base.en"_s, u"base.en"_s}))
                                             << QStringList{u"modelsLoaded:tiny,base.en,small,large-v3|base.en"_s,
                                                            u"cachedModelsLoaded:tiny,*base.en,small,large-v3|base.en"_s}
                                             << QStringList{u"base.en"_s, u"base.en"_s} << QString();
    QTest::newRow("identifier in another case")
        << catalogueAction << R"({"sleep":500},)" + rawAction(cachedLines({u"Base.en"_s}))
        << QStringList{u"modelsLoaded:tiny,base.en,small,large-v3|base.en"_s, u"cachedModelsLoaded:tiny,base.en,small,large-v3|base.en"_s}
        << QStringList{u"Base.en"_s} << QString();
    QTest::newRow("nothing on disk") << catalogueAction << R"({"sleep":500})"_ba
                                     << QStringList{u"modelsLoaded:tiny,base.en,small,large-v3|base.en"_s,
                                                    u"cachedModelsLoaded:tiny,base.en,small,large-v3|base.en"_s}
                                     << QStringList() << QString();
    QTest::newRow("catalogue fails") << rawAction(catalogueJson) + R"(,{"exit":1})"
                                     << R"({"sleep":500},)" + rawAction(cachedLines({u"small"_s}))
                                     << QStringList{u"modelsFailed:|"_s, u"cachedModelsLoaded:|"_s} << QStringList{u"small"_s}
                                     << uR"(^whisper models listing failed\. Exit code: 1 "")"_s;
    QTest::newRow("listing fails") << catalogueAction << R"({"sleep":500},)" + rawAction(cachedLines({u"small"_s})) + R"(,{"exit":2})"
                                   << QStringList{u"modelsLoaded:tiny,base.en,small,large-v3|base.en"_s} << QStringList()
                                   << uR"(^whisper cached models listing failed\. Exit code: 2$)"_s;
}

void tst_WhisperSpeechToTextModelComboBox::fill()
{
    QFETCH(QByteArray, modelsActions);
    QFETCH(QByteArray, downloadActions);
    QFETCH(QStringList, log);
    QFETCH(QStringList, cachedModels);
    QFETCH(QString, warning);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"models":[)" + modelsActions + R"(],"download":[)" + downloadActions + "]}}"));

    WhisperSpeechToTextModelComboBox box;
    ChooserLog chooserLog(&box);
    box.setCurrentModel(u"base.en"_s);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    box.fill();
    // Both jobs belong to the chooser and run side by side.
    QCOMPARE(box.findChildren<WhisperSpeechToTextModelsJob *>().size(), 1);
    QCOMPARE(box.findChildren<WhisperSpeechToTextCachedModelsJob *>().size(), 1);
    QVERIFY(chooserLog.mEntries.isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(box.findChildren<WhisperSpeechToTextModelsJob *>().isEmpty()
                                 && box.findChildren<WhisperSpeechToTextCachedModelsJob *>().isEmpty(),
                             JobTimeoutMs);
    QCOMPARE(chooserLog.mEntries, log);
    QCOMPARE(box.cachedModelsKnown(), !log.filter(u"cachedModelsLoaded"_s).isEmpty());
    QCOMPARE(box.cachedModels(), cachedModels);
    QStringList arguments = mEnvironment->startArguments();
    arguments.sort();
    QCOMPARE(arguments, (QStringList{u"download --all"_s, u"models"_s}));
}

void tst_WhisperSpeechToTextModelComboBox::refreshCachedModels_data()
{
    QTest::addColumn<QByteArray>("downloadActions");
    QTest::addColumn<QString>("items");
    QTest::addColumn<QStringList>("cachedModels");
    QTest::addColumn<QString>("warning");

    QTest::newRow("model now on disk") << rawAction(cachedLines({u"tiny"_s, u"small"_s})) << u"*tiny,base.en,*small,large-v3|small"_s
                                       << QStringList{u"tiny"_s, u"small"_s} << QString();
    QTest::newRow("model gone from disk") << QByteArray() << u"tiny,base.en,small,large-v3|small"_s << QStringList() << QString();
    // A failed listing says nothing about the disk: the earlier marks stay.
    QTest::newRow("listing crashes") << rawAction(cachedLines({u"small"_s})) + R"(,{"signal":9})" << u"*tiny,base.en,small,large-v3|small"_s
                                     << QStringList{u"tiny"_s} << uR"(^whisper cached models listing failed\. Exit code: \d+$)"_s;
}

void tst_WhisperSpeechToTextModelComboBox::refreshCachedModels()
{
    QFETCH(QByteArray, downloadActions);
    QFETCH(QString, items);
    QFETCH(QStringList, cachedModels);
    QFETCH(QString, warning);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"download":[)" + downloadActions + "]}}"));

    WhisperSpeechToTextModelComboBox box;
    box.setModels(catalogue);
    box.setCachedModels({u"tiny"_s});
    ChooserLog chooserLog(&box);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    box.refreshCachedModels();
    QTRY_VERIFY_WITH_TIMEOUT(box.findChildren<WhisperSpeechToTextCachedModelsJob *>().isEmpty(), JobTimeoutMs);
    QCOMPARE(describe(box), items);
    QCOMPARE(box.cachedModels(), cachedModels);
    QVERIFY(box.cachedModelsKnown());
    QCOMPARE(chooserLog.mEntries, warning.isEmpty() ? QStringList{"cachedModelsLoaded:"_L1 + items} : QStringList());
    // Only the listing runs, never the catalogue.
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"download --all"_s});
}

QTEST_MAIN(tst_WhisperSpeechToTextModelComboBox)
#include "tst_whisperspeechtotextmodelcombobox.moc"
