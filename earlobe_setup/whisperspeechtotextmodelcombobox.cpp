#include "whisperspeechtotextmodelcombobox.h"
#include "whisperspeechtotextcachedmodelsjob.h"

#include <translation.h>

#include <QFont>
#include <QLocale>

namespace
{
constexpr qint64 BytesPerMib = 1048576;

QString sizeText(int sizeMib)
{
    // Whole mebibytes read better below a gibibyte; above, one decimal tells 1.5 from 1.0 GiB.
    return QLocale().formattedDataSize(qint64(sizeMib) * BytesPerMib, sizeMib >= 1024 ? 1 : 0, QLocale::DataSizeIecFormat);
}

QString modelItemText(const WhisperSpeechToTextModelsJob::ModelInfo &info, bool downloaded)
{
    if (downloaded)
        return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:inlistbox <model name> (<size on disk>), the model is already downloaded",
                               "%1 (%2, downloaded)", info.name, sizeText(info.sizeMib));
    return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:inlistbox <model name> (<size on disk>)", "%1 (%2)", info.name,
                           sizeText(info.sizeMib));
}

QString modelToolTip(const WhisperSpeechToTextModelsJob::ModelInfo &info)
{
    QStringList lines;
    lines.append(info.multilingual
                     ? HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:tooltip", "Transcribes every language whisper knows.")
                     : HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:tooltip", "Transcribes english only, but about twice as fast."));
    lines.append(HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:tooltip", "Takes %1 on disk, downloaded the first time it is used.",
                                 sizeText(info.sizeMib)));
    if (info.isDefault)
        lines.append(HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:tooltip", "Used when no model was chosen."));
    return lines.join(u'\n');
}
} // namespace

WhisperSpeechToTextModelComboBox::WhisperSpeechToTextModelComboBox(QWidget *parent)
    : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, &WhisperSpeechToTextModelComboBox::slotCurrentIndexChanged);
}

WhisperSpeechToTextModelComboBox::~WhisperSpeechToTextModelComboBox() = default;

void WhisperSpeechToTextModelComboBox::fill()
{
    auto modelsJob = new WhisperSpeechToTextModelsJob(this);
    connect(modelsJob, &WhisperSpeechToTextModelsJob::modelsLoaded, this, [this](const WhisperSpeechToTextModelsJob::ModelInfos &models) {
        setModels(models);
        Q_EMIT modelsLoaded();
    });
    connect(modelsJob, &WhisperSpeechToTextModelsJob::modelsFailed, this, &WhisperSpeechToTextModelComboBox::modelsFailed);
    modelsJob->start();

    refreshCachedModels();
}

void WhisperSpeechToTextModelComboBox::refreshCachedModels()
{
    // A failed listing stays silent: the items simply keep their marks.
    auto cachedJob = new WhisperSpeechToTextCachedModelsJob(this);
    connect(cachedJob, &WhisperSpeechToTextCachedModelsJob::cachedModelsLoaded, this, [this](const QStringList &models) {
        setCachedModels(models);
        Q_EMIT cachedModelsLoaded();
    });
    cachedJob->start();
}

void WhisperSpeechToTextModelComboBox::setModels(const WhisperSpeechToTextModelsJob::ModelInfos &models)
{
    // The rebuild is not the user's choice: clear(), the first item becoming current and the
    // final selection all pass through the change handler.
    mUpdating = true;
    clear();
    mModels = models;
    mDefaultModel = WhisperSpeechToTextModelsJob::defaultModel(models);
    for (const WhisperSpeechToTextModelsJob::ModelInfo &info : std::as_const(mModels)) {
        const bool downloaded = mCachedModels.contains(info.identifier);
        addItem(modelItemText(info, downloaded), info.identifier);
        const int index = count() - 1;
        setItemData(index, modelToolTip(info), Qt::ToolTipRole);
        applyFont(index, downloaded);
    }
    setCurrentModel(mWantedModel);
    mUpdating = false;
}

void WhisperSpeechToTextModelComboBox::setCachedModels(const QStringList &models)
{
    mCachedModels = models;
    mCachedModelsKnown = true;
    for (int i = 0; i < count() && i < mModels.count(); ++i) {
        const WhisperSpeechToTextModelsJob::ModelInfo &info = mModels.at(i);
        const bool downloaded = mCachedModels.contains(info.identifier);
        setItemText(i, modelItemText(info, downloaded));
        applyFont(i, downloaded);
    }
}

bool WhisperSpeechToTextModelComboBox::cachedModelsKnown() const
{
    return mCachedModelsKnown;
}

QStringList WhisperSpeechToTextModelComboBox::cachedModels() const
{
    return mCachedModels;
}

bool WhisperSpeechToTextModelComboBox::isModelDownloaded(const QString &identifier) const
{
    return mCachedModels.contains(identifier);
}

void WhisperSpeechToTextModelComboBox::setCurrentModel(const QString &identifier)
{
    mWantedModel = identifier;
    if (count() == 0)
        return;
    int index = findData(identifier, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        index = findData(mDefaultModel, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    setCurrentIndex(index < 0 ? 0 : index);
}

QString WhisperSpeechToTextModelComboBox::currentModel() const
{
    return currentData(Qt::UserRole).toString();
}

void WhisperSpeechToTextModelComboBox::slotCurrentIndexChanged()
{
    if (mUpdating)
        return;
    Q_EMIT currentModelChanged(currentModel());
}

void WhisperSpeechToTextModelComboBox::applyFont(int index, bool downloaded)
{
    if (downloaded) {
        QFont bold = font();
        bold.setWeight(QFont::Bold);
        setItemData(index, bold, Qt::FontRole);
    } else {
        // An empty value removes a bold font set while the model was still on disk.
        setItemData(index, QVariant(), Qt::FontRole);
    }
}
