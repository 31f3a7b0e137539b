#include "texttospeechkokoroinstallpythonwidget.h"
#include "texttospeechkokorodownloadvoicejob.h"
#include "texttospeechkokoroinstalljob.h"
#include "texttospeechkokoroinstallpythonevenvjob.h"
#include "texttospeechkokoroselftestjob.h"
#include "texttospeechkokoroutils.h"
#include "texttospeechkokorovoicecombobox.h"

#include <translation.h>

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSizePolicy>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
// A system program, not a pip module: it can only be reported, never installed here.
constexpr auto espeakNg = "espeak-ng"_L1;

QStringList withoutEspeakNg(QStringList modules)
{
    modules.removeAll(espeakNg);
    return modules;
}
} // namespace

TextToSpeechKokoroInstallPythonWidget::TextToSpeechKokoroInstallPythonWidget(QWidget *parent)
    : QWidget(parent)
    , mPlainTextEdit(new QPlainTextEdit(this))
    , mKokoroVoiceComboBox(new TextToSpeechKokoroVoiceComboBox(this))
    , mDownloadButton(new QPushButton(HostKit::i18nd(TRANSLATION_DOMAIN, "Download Voice(s)"), this))
    , mTestButton(new QPushButton(QIcon::fromTheme(u"system-run"_s), HostKit::i18ndc(TRANSLATION_DOMAIN, "@action:button", "Test"), this))
{
    auto mainLayout = new QVBoxLayout(this);
    mainLayout->setObjectName(u"mainLayout"_s);
    mainLayout->setContentsMargins(0, 0, 0, 0);

    mPlainTextEdit->setObjectName(u"mPlainTextEdit"_s);
    mPlainTextEdit->setReadOnly(true);
    mKokoroVoiceComboBox->setObjectName(u"mKokoroVoiceComboBox"_s);
    mainLayout->addWidget(mPlainTextEdit);

    auto voiceLayout = new QHBoxLayout;
    voiceLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addLayout(voiceLayout);

    auto label = new QLabel(HostKit::i18nd(TRANSLATION_DOMAIN, "Select Voice(s):"), this);
    voiceLayout->addWidget(label);
    voiceLayout->addWidget(mKokoroVoiceComboBox, 1);

    voiceLayout->addWidget(mDownloadButton);
    connect(mDownloadButton, &QPushButton::clicked, this, &TextToSpeechKokoroInstallPythonWidget::downloadVoices);

    mTestButton->setObjectName(u"mTestButton"_s);
    voiceLayout->addWidget(mTestButton);
    connect(mTestButton, &QPushButton::clicked, this, &TextToSpeechKokoroInstallPythonWidget::startSelfTest);
    updateDownloadButton();

    mKokoroVoiceComboBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

TextToSpeechKokoroInstallPythonWidget::~TextToSpeechKokoroInstallPythonWidget() = default;

QStringList TextToSpeechKokoroInstallPythonWidget::modules() const
{
    return mModules;
}

void TextToSpeechKokoroInstallPythonWidget::setModules(const QStringList &modules)
{
    mModules = modules;
}

void TextToSpeechKokoroInstallPythonWidget::appendLog(const QString &text)
{
    const QString line = text.trimmed();
    if (!line.isEmpty())
        mPlainTextEdit->appendPlainText(line);
}

bool TextToSpeechKokoroInstallPythonWidget::isInstalling() const
{
    return mInstalling;
}

bool TextToSpeechKokoroInstallPythonWidget::isDownloading() const
{
    return mDownloading;
}

bool TextToSpeechKokoroInstallPythonWidget::isTesting() const
{
    return mTesting;
}

void TextToSpeechKokoroInstallPythonWidget::reportCloseRefused()
{
    if (mInstalling)
        appendLog(HostKit::i18nd(
            TRANSLATION_DOMAIN, "The window stays open until the installation ends: closing it now would leave a half-built environment."));
    else if (mDownloading)
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "The window stays open until the voice download ends."));
}

void TextToSpeechKokoroInstallPythonWidget::setInstalling(bool installing)
{
    mInstalling = installing;
    updateDownloadButton();
}

void TextToSpeechKokoroInstallPythonWidget::setDownloading(bool downloading)
{
    mDownloading = downloading;
    updateDownloadButton();
}

void TextToSpeechKokoroInstallPythonWidget::setTesting(bool testing)
{
    mTesting = testing;
    updateDownloadButton();
}

void TextToSpeechKokoroInstallPythonWidget::updateDownloadButton()
{
    // A download runs the environment's interpreter, which the installation may be rebuilding.
    mDownloadButton->setEnabled(!mInstalling && !mDownloading);
    // Looked up again each time: the environment appears with the first installation.
    mTestButton->setEnabled(!mInstalling && !mDownloading && !mTesting && TextToSpeechKokoroSelfTestJob().canStart());
}

void TextToSpeechKokoroInstallPythonWidget::startInstall()
{
    // A second environment job would delete the environment the first one's pip writes into.
    if (mInstalling)
        return;
    if (mModules.contains(espeakNg))
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "espeak-ng is missing. Please install it with your package manager."));

    if (withoutEspeakNg(mModules).isEmpty()) {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Nothing to install."));
        Q_EMIT installInProgress(false);
        Q_EMIT installDone();
        return;
    }

    appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Creating the python virtual environment…"));
    setInstalling(true);
    auto job = new TextToSpeechKokoroInstallPythonEvenvJob(this);
    connect(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Python virtual environment created."));
        installModules();
    });
    connect(job, &TextToSpeechKokoroInstallPythonEvenvJob::installMessage, this, &TextToSpeechKokoroInstallPythonWidget::appendLog);
    connect(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to create the python virtual environment."));
        setInstalling(false);
        Q_EMIT installFailed();
    });
    job->start();
}

void TextToSpeechKokoroInstallPythonWidget::installModules()
{
    // The required modules always come first; the host's extra ones follow in its order.
    QStringList modules = TextToSpeechKokoroUtils::requiredModules();
    for (const QString &module : withoutEspeakNg(mModules)) {
        if (!modules.contains(module))
            modules.append(module);
    }
    appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installing modules: %1", modules.join(", "_L1)));

    auto job = new TextToSpeechKokoroInstallJob(this);
    job->setModules(modules);
    connect(job, &TextToSpeechKokoroInstallJob::installMessage, this, &TextToSpeechKokoroInstallPythonWidget::appendLog);
    connect(job, &TextToSpeechKokoroInstallJob::installDone, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installation done."));
        setInstalling(false);
        Q_EMIT installDone();
        runSelfTest(testVoice());
    });
    connect(job, &TextToSpeechKokoroInstallJob::installFailed, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Installation failed."));
        setInstalling(false);
        Q_EMIT installFailed();
    });
    job->start();
}

void TextToSpeechKokoroInstallPythonWidget::downloadVoices()
{
    // The button is disabled while work runs, but a click may already be queued.
    if (mInstalling || mDownloading)
        return;
    // With nothing ticked the job refuses, and says so through its failure signal like any
    // other failed download.
    auto job = new TextToSpeechKokoroDownloadVoiceJob(this);
    const QStringList voices = mKokoroVoiceComboBox->selectedVoices();
    job->setVoices(voices);
    setDownloading(true);
    Q_EMIT installInProgress(true);
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesDone, this, [this, voices] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Download Voices done."));
        setDownloading(false);
        Q_EMIT installInProgress(false);
        // What was just fetched is what the user wants to hear working.
        runSelfTest(voices.constFirst());
    });
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesFailed, this, [this] {
        appendLog(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to download voice."));
        setDownloading(false);
        Q_EMIT installInProgress(false);
    });
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadMessage, this, &TextToSpeechKokoroInstallPythonWidget::appendLog);
    job->start();
}

void TextToSpeechKokoroInstallPythonWidget::setTestVoice(const QString &voice)
{
    mTestVoice = voice;
}

QString TextToSpeechKokoroInstallPythonWidget::testVoice() const
{
    if (!mTestVoice.isEmpty())
        return mTestVoice;
    const QStringList ticked = mKokoroVoiceComboBox->selectedVoices();
    return ticked.isEmpty() ? u"af_heart"_s : ticked.constFirst();
}

void TextToSpeechKokoroInstallPythonWidget::startSelfTest()
{
    // The button is disabled while work runs, but a click may already be queued; an
    // installation may be rebuilding the interpreter the test would run.
    if (mInstalling || mDownloading)
        return;
    runSelfTest(testVoice());
}

void TextToSpeechKokoroInstallPythonWidget::runSelfTest(const QString &voice)
{
    // A download that ends while an installation rebuilds the environment waits for the
    // test after that installation.
    if (mTesting || mInstalling)
        return;
    auto job = new TextToSpeechKokoroSelfTestJob(this);
    job->setVoice(voice);
    setTesting(true);
    connect(job, &TextToSpeechKokoroSelfTestJob::testMessage, this, &TextToSpeechKokoroInstallPythonWidget::appendLog);
    connect(job, &TextToSpeechKokoroSelfTestJob::testDone, this, [this](const QString &summary) {
        appendLog(summary);
        setTesting(false);
        Q_EMIT selfTestFinished(true, summary);
    });
    connect(job, &TextToSpeechKokoroSelfTestJob::testFailed, this, [this](const QString &summary) {
        appendLog(summary);
        setTesting(false);
        Q_EMIT selfTestFinished(false, summary);
    });
    job->start();
}
} // namespace TextEditTextToSpeech
