#pragma once

#include "larynx_setup_export.h"

#include <messagebanner.h>

#include <QStringList>

namespace TextEditTextToSpeech
{
// The banner a host shows when read-aloud lacks python packages or espeak-ng. Its one
// action, "Install", hands the missing packages back to the host.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallMessageWidget : public HostKit::MessageBanner
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallMessageWidget(QWidget *parent = nullptr);
    ~TextToSpeechKokoroInstallMessageWidget() override;

    void setMissingPackages(const QStringList &packages);

Q_SIGNALS:
    void installPackages(const QStringList &list);

private:
    QStringList mMissingPackages;
};
} // namespace TextEditTextToSpeech
