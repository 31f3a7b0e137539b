#pragma once

#include "earlobe_setup_export.h"

#include <messagebanner.h>

#include <QStringList>

// The banner a host shows when dictation lacks python packages. Its one action, "Install",
// hands the missing packages back to the host, which opens the install dialog with them.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallMessageWidget : public HostKit::MessageBanner
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallMessageWidget(QWidget *parent = nullptr);
    ~WhisperSpeechToTextInstallMessageWidget() override;

    void setMissingPackages(const QStringList &packages);

Q_SIGNALS:
    void installPackages(const QStringList &list);

private:
    QStringList mMissingPackages;
};
