#include "whisperspeechtotextinstallpythonwidget.h"
#include "whisperspeechtotextdownloadmodeljob.h"
#include "whisperspeechtotextinstalljob.h"
#include "whisperspeechtotextinstallpythonevenvjob.h"
#include "whisperspeechtotextmodelcombobox.h"
#include "whisperspeechtotextselftestjob.h"
#include "whisperspeechtotextutils.h"

#include <translation.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace
{
QString dataSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}
} // namespace

WhisperSpeechToTextInstallPythonWidget::WhisperSpeechToTextInstallPythonWidget(QWidget *parent)
    : QWidget(parent)
    , mPlainTextEdit(new QPlainTextEdit(this))
    , mModelComboBox(new WhisperSpeechToTextModelComboBox(this))
    , mDownloadModelButton(new QPushButton(this))
    , mTestButton(new QPushButton(this))
    , mDownloadProgressBar(new QProgressBar(this))
{
    auto mainLayout = new QVBoxLayout(this);
    mainLayout->setObjectName(u"mainLayout"_s);
    mainLayout->setContentsMargins(0, 0, 0, 0);

    mPlainTextEdit->setObjectName(u"mPlainTextEdit"_s);
    mPlainTextEdit->setReadOnly(true);
    mainLayout->addWidget(mPlainTextEdit);

    mDownloadProgressBar->setObjectName(u"mDownloadProgressBar"_s);
    mDownloadProgressBar->setRange(0, 100);
    mDownloadProgressBar->hide();
    mainLayout->addWidget(mDownloadProgressBar);

    auto modelLayout = new QHBoxLayout;
    modelLayout->setObjectName(u"modelLayout"_s);
    modelLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addLayout(modelLayout);

    auto modelLabel = new QLabel(HostKit::i18ndc(TRANSLATION_DOMAIN, "@label:listbox", "Model used for dictation:"), this);
    modelLabel->setObjectName(u"modelLabel"_s);
    modelLayout->addWidget(modelLabel);

    mModelComboBox->setObjectName(u"mModelComboBox"_s);
    modelLayout->addWidget(mModelComboBox, 1);

    mDownloadModelButton->setObjectName(u"mDownloadModelButton"_s);
    mDownloadModelButton->setIcon(QIcon::fromTheme(u"download-symbolic"_s));
    mDownloadModelButton->setText(HostKit::i18ndc(TRANSLATION_DOMAIN, "@action:button", "Download Model"));
    mDownloadModelButton->setEnabled(false);
    modelLayout->addWidget(mDownloadModelButton);

    mTestButton->setObjectName(u"mTestButton"_s);
    mTestButton->setIcon(QIcon::fromTheme(u"system-run"_s));
    mTestButton->setText(HostKit::i18ndc(TRANSLATION_DOMAIN, "@action:button", "Test"));
    modelLayout->addWidget(mTestButton);

    connect(mDownloadModelButton, &QPushButton::clicked, this, &WhisperSpeechToTextInstallPythonWidget::downloadModel);
    connect(mTestButton, &QPushButton::clicked, this, &WhisperSpeechToTextInstallPythonWidget::startSelfTest);
    connect(mModelComboBox, &WhisperSpeechToTextModelComboBox::modelsLoaded, mDownloadModelButton, [this] {
        mCatalogueLoaded = true;
        updateButtons();
    });
    connect(mModelComboBox, &WhisperSpeechToTextModelComboBox::currentModelChanged, this, [this](const QString &identifier) {
        WhisperSpeechToTextUtils::saveModel(identifier);
        showModelHint();
    });
    connect(mModelComboBox, &WhisperSpeechToTextModelComboBox::cachedModelsLoaded, this,
            &WhisperSpeechToTextInstallPythonWidget::showModelHint);

    // Only a wish while the chooser is empty: filling it selects without reporting a change,
    // so opening the panel never rewrites the stored model.
    mModelComboBox->setCurrentModel(WhisperSpeechToTextUtils::loadModel());
    mModelComboBox->fill();
    updateButtons();
}

WhisperSpeechToTextInstallPythonWidget::~WhisperSpeechToTextInstallPythonWidget() = default;

QStringList WhisperSpeechToTextInstallPythonWidget::modules() const
{
    return mModules;
}

void WhisperSpeechToTextInstallPythonWidget::setModules(const QStringList &modules)
{
    mModules = modules;
}

bool WhisperSpeechToTextInstallPythonWidget::isInstalling() const
{
    return mInstalling;
}

bool WhisperSpeechToTextInstallPythonWidget::isDownloading() const
{
    return mDownloading;
}

bool WhisperSpeechToTextInstallPythonWidget::isTesting() const
{
    return mTesting;
}

bool WhisperSpeechToTextInstallPythonWidget::isBusy() const
{
    return mInstalling || mDownloading;
}

void WhisperSpeechToTextInstallPythonWidget::appendLogMessage(const QString &text)
{
    appendLog(text);
}

void WhisperSpeechToTextInstallPythonWidget::appendLog(const QString &text)
{
    const QString line = text.trimmed();
    if (!line.isEmpty())
        mPlainTextEdit->appendPlainText(line);
}

void WhisperSpeechToTextInstallPythonWidget::showModelHint()
{
    const QString model = mModelComboBox->currentModel();
    if (model.isEmpty() || !mModelComboBox->cachedModelsKnown() || mModelComboBox->isModelDownloaded(model))
        return;
    appendLog(
        HostKit::i18nd(TRANSLATION_DOMAIN,
                       "The %1 model is not on disk: it is downloaded the first time it is used, which makes that dictation a long one. "
                       "The Download Model button does it now.",
                       model));
}

void WhisperSpeechToTextInstallPythonWidget::startInstall()
{
    if (mInstalling)
        return;
    if (mModules.isEmpty()) {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Nothing to install."));
        Q_EMIT installInProgress(false);
        Q_EMIT installDone();
        return;
    }

    mInstalling = true;
    updateButtons();
    Q_EMIT installInProgress(true);
    appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Creating the python virtual environment…"));
    auto job = new WhisperSpeechToTextInstallPythonEvenvJob(this);
    connect(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Python virtual environment created."));
        installModules();
    });
    connect(job, &WhisperSpeechToTextInstallPythonEvenvJob::installMessage, this, &WhisperSpeechToTextInstallPythonWidget::appendLog);
    connect(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to create the python virtual environment."));
        mInstalling = false;
        updateButtons();
        Q_EMIT installInProgress(false);
        Q_EMIT installFailed();
    });
    job->start();
}

void WhisperSpeechToTextInstallPythonWidget::installModules()
{
    // The required modules always come first; the host's extra ones follow in its order.
    QStringList modules = WhisperSpeechToTextUtils::requiredModules();
    for (const QString &module : std::as_const(mModules)) {
        // A blank name would make pip fail the whole installation.
        const QString name = module.trimmed();
        if (!name.isEmpty() && !modules.contains(name))
            modules.append(name);
    }
    appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installing modules in %1: %2", WhisperSpeechToTextUtils::defaultVenvPath(),
                             modules.join(", "_L1)));

    auto job = new WhisperSpeechToTextInstallJob(this);
    job->setModules(modules);
    connect(job, &WhisperSpeechToTextInstallJob::installMessage, this, &WhisperSpeechToTextInstallPythonWidget::appendLog);
    connect(job, &WhisperSpeechToTextInstallJob::installDone, this, [this] {
        finishInstall(true);
    });
    connect(job, &WhisperSpeechToTextInstallJob::installFailed, this, [this] {
        finishInstall(false);
    });
    job->start();
}

void WhisperSpeechToTextInstallPythonWidget::finishInstall(bool success)
{
    if (success) {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installation done."));
        // A catalogue that could not be listed before the environment existed can be now;
        // without this the download button would stay disabled until the panel is reopened.
        if (mModelComboBox->count() == 0)
            mModelComboBox->fill();
        // The listing of the models on disk needs the environment; before it existed it could
        // not run, and models already in the cache would show as not downloaded.
        else
            mModelComboBox->refreshCachedModels();
    } else {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installation failed."));
    }
    mInstalling = false;
    updateButtons();
    // A host may close the panel when told the installation ended.
    const QPointer<WhisperSpeechToTextInstallPythonWidget> self(this);
    Q_EMIT installInProgress(false);
    if (!success) {
        Q_EMIT installFailed();
        return;
    }
    Q_EMIT installDone();
    if (self)
        startSelfTest();
}

void WhisperSpeechToTextInstallPythonWidget::downloadModel()
{
    const QString model = mModelComboBox->currentModel();
    if (model.isEmpty() || isBusy())
        return;

    auto job = new WhisperSpeechToTextDownloadModelJob(this);
    job->setModel(model);
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadMessage, this, &WhisperSpeechToTextInstallPythonWidget::appendLog);
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadProgress, this,
            &WhisperSpeechToTextInstallPythonWidget::showDownloadProgress);
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelDone, this, [this] {
        setDownloading(false);
        mModelComboBox->refreshCachedModels();
        startSelfTest();
    });
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelFailed, this, [this, model] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to download the %1 model.", model));
        setDownloading(false);
    });

    setDownloading(true);
    mDownloadProgressBar->setValue(0);
    mDownloadProgressBar->setFormat(u"%p%"_s);
    Q_EMIT installInProgress(true);
    job->start();
}

void WhisperSpeechToTextInstallPythonWidget::showDownloadProgress(int percent, qint64 received, qint64 total)
{
    // QProgressBar keeps its value for -1 (percentage unknown) and shows the sizes anyway.
    mDownloadProgressBar->setValue(percent);
    mDownloadProgressBar->setFormat(HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:progress <downloaded> of <size of the model>", "%1 of %2",
                                                    dataSize(received), dataSize(total)));
}

void WhisperSpeechToTextInstallPythonWidget::setDownloading(bool downloading)
{
    mDownloading = downloading;
    updateButtons();
    mModelComboBox->setEnabled(!downloading);
    mDownloadProgressBar->setVisible(downloading);
    if (!downloading)
        Q_EMIT installInProgress(false);
}

void WhisperSpeechToTextInstallPythonWidget::startSelfTest()
{
    if (isBusy() || mTesting)
        return;
    auto job = new WhisperSpeechToTextSelfTestJob(this);
    const QString model = mModelComboBox->currentModel();
    if (!model.isEmpty())
        job->setModel(model);
    connect(job, &WhisperSpeechToTextSelfTestJob::testMessage, this, &WhisperSpeechToTextInstallPythonWidget::appendLog);
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [this](const QString &summary) {
        finishSelfTest(true, summary);
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testFailed, this, [this](const QString &summary) {
        finishSelfTest(false, summary);
    });
    mTesting = true;
    updateButtons();
    job->start();
}

void WhisperSpeechToTextInstallPythonWidget::finishSelfTest(bool works, const QString &summary)
{
    appendLog(summary);
    mTesting = false;
    updateButtons();
    Q_EMIT selfTestFinished(works, summary);
}

void WhisperSpeechToTextInstallPythonWidget::updateButtons()
{
    // A download during an installation would run the helper in an environment pip is still
    // filling.
    mDownloadModelButton->setEnabled(mCatalogueLoaded && !isBusy());
    mTestButton->setEnabled(!isBusy() && !mTesting && WhisperSpeechToTextSelfTestJob().canStart());
}
